// Debug annotations: PostScript comment blocks appended to the capture file in
// debug mode. Each block after the first reopens the capture file in append
// mode and closes it again; lines end with a line feed and a flush.
#pragma once

#include <string>

void writeDirectoryBlock();                          // into the open saveFile
void writeRenderCommandBlock(const std::string& command);
void writeReturnCodeBlock(int status);
void writeMissingImageBlock();
void writePageErrorBlock(const std::string& imagePath);
void writeCompletionBlock();
