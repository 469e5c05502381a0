// Process-wide job settings with their program-start defaults, and the names
// of the job's files. Written by option parsing, job-file setup and job
// capture; read by every later stage.
#include "driver/job_settings.h"

#include <cstring>

bool bDebug = false;
bool bRaw = false;
bool PCXraw = false;
unsigned char newSFCC = 126;
char debugDirLoc[kDebugDirSize] = "";
int32_t printSpeed = 0;
int32_t slewSpeed = 0;
int32_t intensity = 99;
int32_t labelCut = -1;
int32_t batchSize = 0;
int32_t tearOffset = 99;
int32_t rotateimage = -1;
int32_t sRow = 1;
int32_t sCol = 1;
int32_t mediaHandling = 0;
int32_t gapSensing = 0;
int32_t mediaType = 0;
int32_t pauseMode = 0;
int32_t slashzero = 0;
int32_t orient = 0;
int32_t mirror = 0;

int32_t pageLen = 432;
int32_t pageWid = 288;
int32_t xRes = 300;
int32_t yRes = 300;

std::string pTmpFname;
std::string dirLoc;
std::string saveFname = "/tmp";
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

  pTmpFname.clear();
  dirLoc.clear();
  saveFname = "/tmp";
  if (saveFile != nullptr) fclose(saveFile);
  saveFile = nullptr;
}

std::string baseName() {
  const size_t slash = pTmpFname.rfind('/');
  return slash == std::string::npos ? pTmpFname : pTmpFname.substr(slash + 1);
}
