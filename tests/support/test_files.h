// Files and directories for the tests: one scratch directory type, whole-file
// reads and writes, directory listings, and where a run of vormel put its
// job directory and page images.
#pragma once

#include <string>
#include <vector>

// A fresh directory under /tmp, removed with everything in it on destruction.
struct ScratchDir {
  explicit ScratchDir(const std::string& tag = "vt");
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  // Empties the directory and leaves it in place.
  void clear() const;
  std::string path;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
bool fileExists(const std::string& path);
// Names in `dir` (no "." or ".."), sorted.
std::vector<std::string> listDir(const std::string& dir);
void removeTree(const std::string& path);
// The job directory a run of vormel made in `tmpdir` (its temporary
// directory), or "" when there is none.
std::string jobDirIn(const std::string& tmpdir);
// Paths of the page images in that job directory, in page order.
std::vector<std::string> pageImagesIn(const std::string& tmpdir);
