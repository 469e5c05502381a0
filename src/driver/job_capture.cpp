// PLACEHOLDER
#include "driver/job_capture.h"
void captureJob(FILE*) {}
int sendRawJob() { return 0; }
void scanBoundingBox(const std::string&) {}
void scanResolution(const std::string&) {}
