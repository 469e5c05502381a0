// PLACEHOLDER
#include "driver/options.h"
void parseOptions(int, char**) {}
