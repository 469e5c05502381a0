// Process-wide job settings with their program-start defaults, and the names
// of the job's files. Written by option parsing, job-file setup and job
// capture; read by every later stage.
#include "state/job_settings.h"

#include <cstring>

// Defined here, given their defaults once, by resetJobSettings below.
bool bDebug;
bool bRaw;
bool PCXraw;
unsigned char newSFCC;
char debugDirLoc[kDebugDirSize];
int32_t printSpeed;
int32_t slewSpeed;
int32_t intensity;
int32_t labelCut;
int32_t batchSize;
int32_t tearOffset;
int32_t rotateimage;
int32_t sRow;
int32_t sCol;
int32_t mediaHandling;
int32_t gapSensing;
int32_t mediaType;
int32_t pauseMode;
int32_t slashzero;
int32_t orient;
int32_t mirror;

int32_t pageLen;
int32_t pageWid;
int32_t xRes;
int32_t yRes;

std::string tmpDirLoc;
std::string pTmpFname;
std::string dirLoc;
std::string saveFname;
FILE* saveFile = nullptr;

void resetJobSettings() {
  bDebug = false;
  bRaw = false;
  PCXraw = false;
  newSFCC = 126;
  memset(debugDirLoc, 0, sizeof debugDirLoc);
  printSpeed = 0;
  slewSpeed = 0;
  intensity = 99;
  labelCut = -1;
  batchSize = 0;
  tearOffset = 99;
  rotateimage = -1;
  sRow = 1;
  sCol = 1;
  mediaHandling = 0;
  gapSensing = 0;
  mediaType = 0;
  pauseMode = 0;
  slashzero = 0;
  orient = 0;
  mirror = 0;

  pageLen = 432;
  pageWid = 288;
  xRes = 300;
  yRes = 300;

  tmpDirLoc.clear();
  pTmpFname.clear();
  dirLoc.clear();
  saveFname = "/tmp";
  if (saveFile != nullptr) fclose(saveFile);
  saveFile = nullptr;
}

// The defaults hold from program start: this runs during static
// initialisation, after the definitions above (same file, so in order).
namespace {
const bool kDefaultsSet = (resetJobSettings(), true);
}  // namespace

std::string baseName() {
  const size_t slash = pTmpFname.rfind('/');
  return slash == std::string::npos ? pTmpFname : pTmpFname.substr(slash + 1);
}

std::string pageImageName(int page) { return pTmpFname + "_" + std::to_string(page); }
