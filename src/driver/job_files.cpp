// PLACEHOLDER
#include "driver/job_files.h"
int makeJobFiles(int, char**) { return 1; }
