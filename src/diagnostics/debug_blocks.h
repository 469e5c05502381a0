// Debug annotations: PostScript comment blocks in the capture file, written
// only in debug mode (callers check bDebug). The directory block goes into the
// still open saveFile; every later block reopens saveFname in append mode and
// closes it again. Each line ends with a line feed and a flush. A capture file
// that cannot be reopened loses that block silently.
#pragma once

#include <string>

// Ends the header's argument line, then the work directory, the capture
// directory and the placeholder image's name.
void writeDirectoryBlock();
// The placeholder path and the render command text, before gs runs.
void writeRenderCommandBlock(const std::string& command);
// The render's status as a shell would report it (0, exit code x 256, ...).
void writeReturnCodeBlock(int status);
// No page image was found.
void writeMissingImageBlock();
// A page image could not be sent; the page loop stops.
void writePageErrorBlock(const std::string& imagePath);
// The printer job is complete (after its trailer).
void writeCompletionBlock();
