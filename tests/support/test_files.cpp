// Files and directories for the tests; see test_files.h.
#include "test_files.h"

#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

ScratchDir::ScratchDir(const std::string& tag, mode_t mode) {
  std::string pattern = "/tmp/" + tag + "XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) != nullptr) path = buffer.data();
  if (!path.empty() && mode != 0700) chmod(path.c_str(), mode);
}

ScratchDir::~ScratchDir() {
  if (!path.empty()) removeTree(path);
}

void ScratchDir::clear() const {
  for (const std::string& name : listDir(path)) removeTree(path + "/" + name);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void writeFile(const std::string& path, const std::string& bytes, mode_t mode) {
  writeFile(path, bytes);
  chmod(path.c_str(), mode);
}

bool fileExists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

std::vector<std::string> listDir(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string jobDirIn(const std::string& tmpdir) {
  for (const std::string& name : listDir(tmpdir)) {
    struct stat info;
    if (name.compare(0, 3, "vdq") == 0 && lstat((tmpdir + "/" + name).c_str(), &info) == 0 &&
        S_ISDIR(info.st_mode))
      return tmpdir + "/" + name;
  }
  return "";
}

std::vector<std::string> pageImagesIn(const std::string& tmpdir) {
  const std::string dir = jobDirIn(tmpdir);
  std::vector<std::pair<long, std::string>> pages;
  if (dir.empty()) return {};
  const std::string prefix = dir.substr(dir.rfind('/') + 1) + "_";
  for (const std::string& name : listDir(dir)) {
    if (name.compare(0, prefix.size(), prefix) == 0)
      pages.emplace_back(strtol(name.c_str() + prefix.size(), nullptr, 10), dir + "/" + name);
  }
  std::sort(pages.begin(), pages.end());
  std::vector<std::string> paths;
  for (const auto& page : pages) paths.push_back(page.second);
  return paths;
}

void removeTree(const std::string& path) {
  nftw(
      path.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); },
      16, FTW_DEPTH | FTW_PHYS);
}
