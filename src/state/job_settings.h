// Process-wide job settings: the option words of the command line, the page
// geometry found in the job, and the names of the job's files. Written by the
// driver while it parses options, sets up files and reads the job; read by
// every later stage until the process exits.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Capture directory text, terminator included: at most 254 characters.
constexpr int kDebugDirSize = 255;

// Flags and option values. 0 in an enumerated setting, 99 in intensity and
// tearOffset and -1 in labelCut mean "not given": nothing is sent for them.
extern bool bDebug;
extern bool bRaw;
extern bool PCXraw;
extern unsigned char newSFCC;
extern char debugDirLoc[kDebugDirSize];
extern int32_t printSpeed;
extern int32_t slewSpeed;
extern int32_t intensity;
extern int32_t labelCut;
extern int32_t batchSize;
extern int32_t tearOffset;
extern int32_t rotateimage;
extern int32_t sRow;
extern int32_t sCol;
extern int32_t mediaHandling;
extern int32_t gapSensing;
extern int32_t mediaType;
extern int32_t pauseMode;
extern int32_t slashzero;
extern int32_t orient;
extern int32_t mirror;

// Page geometry from the job: points (1/72 inch) and dots per inch.
extern int32_t pageLen;
extern int32_t pageWid;
extern int32_t xRes;
extern int32_t yRes;

// Job files. tmpDirLoc is the temporary directory (TMPDIR or /tmp), where the
// error log goes; dirLoc the job's own directory in it, tmpDirLoc + "/" +
// base name, which holds the page images; pTmpFname is dirLoc + "/" + base
// name;
// saveFname the capture file, whose stream saveFile is open only while the
// job is being copied and while a debug block is written.
extern std::string tmpDirLoc;
extern std::string pTmpFname;
extern std::string dirLoc;
extern std::string saveFname;
extern FILE* saveFile;

// Puts every setting above back to its program-start default (for tests that
// run several jobs' worth of setup in one process).
void resetJobSettings();

// The part of pTmpFname after its last "/".
std::string baseName();

// The name of page `page`'s image: pTmpFname + "_" + page number.
std::string pageImageName(int page);
