// Fuzz target of the band coder. Every input is used twice: as a band, which
// must give the same bytes as the plain reference coder and decode back, and
// as a compressed band, which the decoder must refuse or decode without
// touching memory outside its buffers. Built with libFuzzer, or replayed over
// the committed corpus by band_fuzz_replay_test.cpp.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "band_decoder/band_decoder.h"
#include "compressor/band_compressor.h"
#include "reference_coder.h"

namespace {

void require(bool ok, const char* what, size_t size) {
  if (!ok) {
    std::fprintf(stderr, "band fuzz: %s (input of %zu bytes)\n", what, size);
    std::abort();
  }
}

void checkBand(const uint8_t* data, size_t size) {
  std::vector<uint8_t> band(data, data + size);
  const int len = static_cast<int>(size);
  std::vector<uint8_t> dst(65536), ref(65536);
  const int got = Encode(len, band.data(), 65536, dst.data());
  const int want = reference::Encode(len, band.data(), 65536, ref.data());
  require(got == want, "result differs from the reference coder", size);
  require(std::memcmp(dst.data(), ref.data(), static_cast<size_t>(got)) == 0,
          "bytes differ from the reference coder", size);
  require(got >= 4 && got <= (len > 4 ? len : 4), "result out of bounds", size);

  const std::vector<uint8_t> complete = completeStream(band, false);
  require(complete == completeStream(band, true),
          "complete stream differs from the reference coder", size);
  std::vector<uint8_t> decoded;
  BandDecodeError error;
  require(decodeBand(complete.data(), complete.size(), &decoded, &error),
          "decoder refused a complete stream", size);
  require(decoded == band, "complete stream does not decode back", size);
}

void checkStream(const uint8_t* data, size_t size) {
  std::vector<uint8_t> decoded;
  BandDecodeError error;
  if (!decodeBand(data, size, &decoded, &error)) {
    require(error.byteOffset <= size, "decoder error points past the band", size);
    return;
  }
  const uint32_t n = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                     static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
  require(decoded.size() == n, "decoded length differs from the header", size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  checkBand(data, size > 32768 ? 32768 : size);
  checkStream(data, size);
  return 0;
}
