// PLACEHOLDER
#include "driver/render.h"
std::string buildRenderCommand() { return ""; }
int renderJob() { return 0; }
int searchDir(const std::string&, const std::string&) { return 0; }
