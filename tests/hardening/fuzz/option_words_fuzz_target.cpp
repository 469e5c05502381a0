// Fuzz target for the option words: any list of words (the input split at NUL
// bytes) is parsed twice from the defaults; the results must agree, every
// enumerated setting stays in its range, the capture directory text always
// ends within its 255 bytes and holds the last -dir value whenever that fits,
// and the flags are on exactly when one of their words was given.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "driver/options.h"
#include "fuzz_check.h"
#include "state/job_settings.h"

namespace {

struct Settings {
  bool debug, raw, pcx;
  unsigned char sfcc;
  std::string dir;
  int32_t values[19];
};

Settings parse(std::vector<std::string> words) {
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  resetJobSettings();
  parseOptions(static_cast<int>(words.size()), argv.data());
  FUZZ_CHECK(memchr(debugDirLoc, '\0', kDebugDirSize) != nullptr);
  return Settings{bDebug,
                  bRaw,
                  PCXraw,
                  newSFCC,
                  debugDirLoc,
                  {printSpeed, slewSpeed, intensity, labelCut, batchSize, tearOffset, rotateimage,
                   sRow, sCol, mediaHandling, gapSensing, mediaType, pauseMode, slashzero, orient,
                   mirror, pageLen, pageWid, xRes}};
}

}  // namespace

int fuzzOptionWords(const uint8_t* data, size_t size) {
  std::vector<std::string> words{"vormel"};
  std::string word;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      words.push_back(word);
      word.clear();
    } else {
      word += static_cast<char>(data[i]);
    }
  }
  if (size > 0) words.push_back(word);

  const Settings first = parse(words);
  const Settings again = parse(words);
  FUZZ_CHECK(first.debug == again.debug && first.raw == again.raw && first.pcx == again.pcx);
  FUZZ_CHECK(first.sfcc == again.sfcc && first.dir == again.dir);
  FUZZ_CHECK(memcmp(first.values, again.values, sizeof first.values) == 0);

  FUZZ_CHECK(mediaHandling >= 0 && mediaHandling <= 7);
  FUZZ_CHECK(gapSensing >= 0 && gapSensing <= 5);
  FUZZ_CHECK(mediaType >= 0 && mediaType <= 2);
  FUZZ_CHECK(pauseMode >= 0 && pauseMode <= 3);
  FUZZ_CHECK(slashzero >= 0 && slashzero <= 2);
  FUZZ_CHECK(orient >= 0 && orient <= 2);
  FUZZ_CHECK(mirror >= 0 && mirror <= 2);
  // Geometry comes from the job, never from the command line.
  FUZZ_CHECK(pageLen == 432 && pageWid == 288 && xRes == 300);

  bool debugWord = false, rawWord = false, pcxWord = false;
  const std::string* lastDir = nullptr;
  for (size_t i = 1; i < words.size(); ++i) {
    debugWord = debugWord || words[i] == "-debug" || words[i] == "-diag";
    rawWord = rawWord || words[i] == "-raw";
    pcxWord = pcxWord || words[i] == "-PCX" || words[i] == "-diag";
    if (words[i] == "-dir" && i + 1 < words.size()) lastDir = &words[i + 1];
  }
  FUZZ_CHECK(bDebug == debugWord && bRaw == rawWord && PCXraw == pcxWord);
  // A value with a NUL cannot occur (words are split there); one that fits
  // is stored whole.
  if (lastDir != nullptr && lastDir->size() < static_cast<size_t>(kDebugDirSize))
    FUZZ_CHECK(first.dir == *lastDir);
  FUZZ_CHECK(first.dir.size() < static_cast<size_t>(kDebugDirSize));
  return 0;
}

#ifdef VORMEL_FUZZ_MAIN
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzzOptionWords(data, size);
}
#endif
