// Replays the committed fuzz corpus of the band coder through the fuzz
// target, so every case found once stays checked.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

TEST(BandFuzzCorpus, every_corpus_input_passes_the_fuzz_checks) {
  const std::string dir = std::string(VORMEL_SOURCE_DIR) + "/tests/compressor/corpus";
  DIR* d = opendir(dir.c_str());
  ASSERT_NE(d, nullptr) << dir;
  int replayed = 0;
  while (const dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    const std::string path = dir + "/" + e->d_name;
    FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr) << path;
    std::vector<uint8_t> data;
    int c;
    while ((c = std::fgetc(f)) != EOF) data.push_back(static_cast<uint8_t>(c));
    std::fclose(f);
    SCOPED_TRACE(path);
    LLVMFuzzerTestOneInput(data.data(), data.size());
    replayed++;
  }
  closedir(d);
  EXPECT_GE(replayed, 10);
}
