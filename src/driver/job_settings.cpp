// PLACEHOLDER until the job settings are written.
#include "driver/job_settings.h"
bool bDebug, bRaw, PCXraw;
unsigned char newSFCC = 126;
char debugDirLoc[kDebugDirSize];
int32_t printSpeed, slewSpeed, intensity = 99, labelCut = -1, batchSize, tearOffset = 99, rotateimage = -1, sRow = 1, sCol = 1,
    mediaHandling, gapSensing, mediaType, pauseMode, slashzero, orient, mirror;
int32_t pageLen = 432, pageWid = 288, xRes = 300, yRes = 300;
std::string pTmpFname, dirLoc, saveFname;
FILE* saveFile;
void resetJobSettings() {}
std::string baseName() { return pTmpFname.substr(pTmpFname.rfind('/') + 1); }
