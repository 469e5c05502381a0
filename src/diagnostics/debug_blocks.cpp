// PLACEHOLDER
#include "diagnostics/debug_blocks.h"
void writeDirectoryBlock() {}
void writeRenderCommandBlock(const std::string&) {}
void writeReturnCodeBlock(int) {}
void writeMissingImageBlock() {}
void writePageErrorBlock(const std::string&) {}
void writeCompletionBlock() {}
