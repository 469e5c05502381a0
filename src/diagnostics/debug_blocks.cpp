// Debug annotations in the capture file. Every non-empty line starts with a
// percent sign so that Ghostscript, which renders the capture file after the
// first two blocks are in it, takes them for comments.
#include "diagnostics/debug_blocks.h"

#include <cstdio>
#include <initializer_list>

#include "diagnostics/append_file.h"
#include "state/job_settings.h"

namespace {

// Writes each line and a line feed, flushing after every line so that the
// file on disk is complete up to the last line before the next step runs. A
// line break inside a line (from a directory name, say) is written as a
// space: it would end the comment, and Ghostscript would run the rest.
void writeLines(std::initializer_list<std::string> lines) {
  if (saveFile == nullptr) return;
  for (std::string line : lines) {
    for (char& c : line)
      if (c == '\n' || c == '\r' || c == '\f') c = ' ';
    fwrite(line.data(), 1, line.size(), saveFile);
    fputc('\n', saveFile);
    fflush(saveFile);
  }
}

// Every block after the first: reopen in append mode, write, close again.
void appendBlock(std::initializer_list<std::string> lines) {
  saveFile = openForAppend(saveFname);
  if (saveFile == nullptr) return;
  writeLines(lines);
  fclose(saveFile);
  saveFile = nullptr;
}

}  // namespace

void writeDirectoryBlock() {
  // The first, empty line ends the header's argument line, left open by the
  // header so that a job's first comment line can continue it.
  writeLines({"", "% ", "% ImageFileDirLoc=[" + dirLoc + "]",
              std::string("% debugDirLoc=[") + debugDirLoc + "]",
              "% ImageFileName=[/" + baseName() + "_1]", "", "% "});
}

void writeRenderCommandBlock(const std::string& command) {
  appendBlock({"% ", "% tmpDir=[" + pTmpFname + "_1]", "% ", "% gsCmd=[" + command + "]", "% "});
}

void writeReturnCodeBlock(int status) {
  appendBlock({"% ", "% gsCmd RC=[" + std::to_string(status) + "]", "% "});
}

void writeMissingImageBlock() {
  appendBlock({"% ", "% ERROR: Unable to find image file: " + dirLoc + "/" + baseName(), "% "});
}

void writePageErrorBlock(const std::string& imagePath) {
  appendBlock({"% ", "% ERROR-2 ... unable to open file [" + imagePath + "]", "% "});
}

void writeCompletionBlock() { appendBlock({"% ", "% PROCESS COMPLETE ", "% "}); }
