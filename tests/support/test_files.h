// Files and directories for the tests: one scratch directory type, whole-file
// reads and writes, directory listings, and where a run of vormel put its
// job directory and page images.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// A fresh directory under /tmp, removed with everything in it on
// destruction. Mode 0700 unless another user must enter it (the spooler's
// user: 0755).
struct ScratchDir {
  explicit ScratchDir(const std::string& tag = "vt", mode_t mode = 0700);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  // Empties the directory and leaves it in place.
  void clear() const;
  std::string path;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
// The same, then the file's mode set to `mode`.
void writeFile(const std::string& path, const std::string& bytes, mode_t mode);
bool fileExists(const std::string& path);
// Names in `dir` (no "." or ".."), sorted.
std::vector<std::string> listDir(const std::string& dir);
void removeTree(const std::string& path);
// The job directory a run of vormel made in `tmpdir` (its temporary
// directory), or "" when there is none.
std::string jobDirIn(const std::string& tmpdir);
// Paths of the page images in that job directory, in page order.
std::vector<std::string> pageImagesIn(const std::string& tmpdir);
