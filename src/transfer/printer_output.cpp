// PLACEHOLDER
#include "transfer/printer_output.h"
int printerWrite(const void*, size_t) { return 0; }
int printerPrintf(const char*, ...) { return 0; }
int printerFlush() { return 0; }
bool printerFailed() { return false; }
