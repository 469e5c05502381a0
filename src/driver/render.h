// Has Ghostscript render the capture file into one PCX image per page and
// counts the images it wrote.
#pragma once

#include <string>

// The render command text, exactly as a shell would be given it.
std::string buildRenderCommand();

// Runs Ghostscript (directly, with the arguments the command text names) and
// waits for it; in debug mode writes the render-command and return-code debug
// blocks. Returns the wait status as a shell would report it (0, exit code x
// 256, or 127 x 256 when gs cannot be started).
int renderJob();

// Number of entries of `dir` whose names begin with `prefix`; 0 when the
// directory cannot be opened.
int searchDir(const std::string& dir, const std::string& prefix);
