// Bands cut from real Ghostscript renderings of a label page: the tuned coder
// gives the same bytes as the plain reference coder, and what it sends
// compressed decodes back through the independent decoder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "band_decoder/band_decoder.h"
#include "byte_diff.h"
#include "compressor/band_compressor.h"
#include "reference_coder.h"
#include "run_conditions.h"
#include "sample_bands.h"

namespace {

bool readFile(const std::string& path, Bytes* out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  out->clear();
  int c;
  while ((c = std::fgetc(f)) != EOF) out->push_back(static_cast<uint8_t>(c));
  std::fclose(f);
  return true;
}

}  // namespace

TEST(RenderedBands, label_page_bands_match_the_reference_coder_and_decode_back) {
  if (std::system("gs --version >/dev/null 2>&1") != 0) {
    VORMEL_CANNOT_RUN("gs is not on the PATH");
  }
  char dirTemplate[] = "/tmp/rendered_band_test_XXXXXX";
  ASSERT_NE(mkdtemp(dirTemplate), nullptr);
  const std::string dir = dirTemplate;
  int bands = 0;
  for (const int dpi : {203, 300}) {
    const std::string base = dir + "/page" + std::to_string(dpi);
    const std::string cmd = "gs -q -sDEVICE=pcxmono -r" + std::to_string(dpi) +
                            " -dNOPAUSE -dBATCH -dSAFER -sOutputFile=" + base +
                            "_%d.pcx " VORMEL_SOURCE_DIR "/bench/labels/shipping_label.ps";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    Bytes image;
    for (int page = 1; readFile(base + "_" + std::to_string(page) + ".pcx", &image); page++) {
      std::remove((base + "_" + std::to_string(page) + ".pcx").c_str());
      for (size_t at = 0; at < image.size(); at += 32768) {
        SCOPED_TRACE(std::to_string(dpi) + " dpi, page " + std::to_string(page) + ", band at " +
                     std::to_string(at));
        Bytes band(image.begin() + static_cast<std::ptrdiff_t>(at),
                   image.begin() + static_cast<std::ptrdiff_t>(std::min(image.size(), at + 32768)));
        int result = 0;
        const Bytes got = encodeBand(band, &result);
        Bytes want(65536);
        const int wantResult =
            reference::Encode(static_cast<int>(band.size()), band.data(), 65536, want.data());
        want.resize(static_cast<size_t>(wantResult));
        ASSERT_EQ(result, wantResult);
        EXPECT_EQ(describeDifference(want, got), "");
        ASSERT_LT(static_cast<size_t>(result), band.size()) << "a rendered band should shrink";
        Bytes decoded;
        BandDecodeError error;
        ASSERT_TRUE(decodeBand(got.data(), got.size(), &decoded, &error)) << error.message;
        EXPECT_EQ(describeDifference(band, decoded), "");
        bands++;
      }
    }
  }
  rmdir(dir.c_str());
  EXPECT_GE(bands, 10);
}
