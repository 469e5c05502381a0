// Corpus files and their fixed mutations for the fuzz replay tests.
#include "fuzz_replay.h"

#include <dirent.h>

#include <algorithm>

std::vector<std::string> corpusFiles(const std::string& dir) {
  std::vector<std::string> files;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d))
      if (e->d_name[0] != '.') files.push_back(dir + "/" + e->d_name);
    closedir(d);
  }
  std::sort(files.begin(), files.end());
  return files;
}

void replayMutations(const std::vector<uint8_t>& input, int (*target)(const uint8_t*, size_t),
                     int mutations, std::mt19937& rng) {
  target(input.data(), input.size());
  for (int i = 0; i < mutations && !input.empty(); ++i) {
    std::vector<uint8_t> m = input;
    switch (i % 3) {
      case 0:
        m.resize(rng() % m.size());
        break;
      case 1:
        m[rng() % m.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
        break;
      default:
        m.insert(m.begin() + static_cast<std::ptrdiff_t>(rng() % m.size()),
                 static_cast<uint8_t>(rng()));
    }
    target(m.data(), m.size());
  }
}
