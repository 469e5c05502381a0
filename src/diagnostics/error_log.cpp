// PLACEHOLDER
#include "diagnostics/error_log.h"
std::string getTime() { return ""; }
void logMsg(bool, std::string) {}
