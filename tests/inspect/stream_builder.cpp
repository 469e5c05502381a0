// Builders for inspector tests; see stream_builder.h.
#include "stream_builder.h"

#include <cstdio>
#include <fstream>
#include <iterator>

#include "compressor/band_compressor.h"

namespace {

void put16(std::vector<uint8_t>* v, size_t at, int value) {
  (*v)[at] = static_cast<uint8_t>(value & 0xFF);
  (*v)[at + 1] = static_cast<uint8_t>((value >> 8) & 0xFF);
}

void append(std::vector<uint8_t>* out, const std::string& text) {
  out->insert(out->end(), text.begin(), text.end());
}

}  // namespace

std::vector<uint8_t> makePcxHeader(int width, int height, int bytesPerLine, int xDpi, int yDpi) {
  std::vector<uint8_t> pcx(128, 0);
  pcx[0] = 0x0A;
  pcx[1] = 2;
  pcx[2] = 1;
  pcx[3] = 1;
  put16(&pcx, 8, width - 1);
  put16(&pcx, 10, height - 1);
  put16(&pcx, 12, xDpi);
  put16(&pcx, 14, yDpi);
  pcx[19] = pcx[20] = pcx[21] = 0xFF;  // palette: 0 black, 1 white
  pcx[65] = 1;
  put16(&pcx, 66, bytesPerLine);
  put16(&pcx, 68, 1);
  return pcx;
}

std::vector<uint8_t> makePcx(int width, int height, int pattern, int dpi) {
  const int bpl = ((width + 7) / 8 + 1) & ~1;  // even, as the renderer pads
  std::vector<uint8_t> pcx = makePcxHeader(width, height, bpl, dpi, dpi);
  uint32_t seed = 12345;
  for (int y = 0; y < height; ++y) {
    std::vector<uint8_t> line(bpl, 0xFF);
    for (int x = 0; x < bpl; ++x) {
      if (pattern == 1) line[x] = (y / 4 + x) % 3 == 0 ? 0x00 : 0xFF;
      if (pattern == 2) {
        seed = seed * 1103515245u + 12345u;
        line[x] = static_cast<uint8_t>(seed >> 16);
      }
    }
    for (int x = 0; x < bpl;) {
      int run = 1;
      while (x + run < bpl && run < 63 && line[x + run] == line[x]) ++run;
      if (run > 1 || line[x] >= 0xC0) pcx.push_back(static_cast<uint8_t>(0xC0 | run));
      pcx.push_back(line[x]);
      x += run;
    }
  }
  return pcx;
}

namespace {

void appendSetup(std::vector<uint8_t>* out, const StreamParts& parts) {
  const std::string cc(1, static_cast<char>(parts.control));
  append(out, "!QXR_SETUP\r\nENGINE-LENGTH;" + std::to_string(parts.engineLength) + ":WIDTH;" +
                  std::to_string(parts.engineWidth) +
                  "\r\nWINMODE-BEGIN\r\nSAVESTATE\r\nQXR_END\r\n" + cc + "CONFIG\r\n");
  if (parts.slashZero >= 0) append(out, "SLASH ZERO;" + std::to_string(parts.slashZero) + "\r\n");
  append(out, "END\r\n");
  append(out, (parts.paperItems.empty() ? "" : cc + "PAPER" + parts.paperItems) + "\r\n");
  append(out, cc + "WINDRV\r\n");
}

// One band as the filter sends it: compressed when that is shorter.
std::vector<uint8_t> wireBand(const StreamParts& parts, const std::vector<uint8_t>& band) {
  std::vector<uint8_t> source = band;  // the encoder takes a writable pointer
  std::vector<uint8_t> packed(65536);
  const int b = static_cast<int>(band.size());
  const int c = parts.uncompressedBands ? -1 : Encode(b, source.data(), 65536, packed.data());
  std::vector<uint8_t> out;
  if (c == -1 || c >= b) {
    append(&out, "BAND" + std::to_string(b) + ";COMP0\r\n");
    out.insert(out.end(), band.begin(), band.end());
  } else {
    append(&out, "BAND" + std::to_string(c) + ";COMP1\r\n");
    out.insert(out.end(), packed.begin(), packed.begin() + c);
  }
  return out;
}

void appendTrailer(std::vector<uint8_t>* out, const StreamParts& parts) {
  const std::string cc(1, static_cast<char>(parts.control));
  append(out, "WINDRVEND\r\n");
  if (parts.cutOnce) append(out, cc + "PAPER;CUTONCE\r\n");
  append(out, "!QXR_SETUP\r\nWINMODE-END\r\nRESTORESTATE\r\nQXR_END\r\n");
}

}  // namespace

std::vector<uint8_t> buildStream(const StreamParts& parts,
                                 const std::vector<std::vector<uint8_t>>& pages) {
  std::vector<uint8_t> out;
  appendSetup(&out, parts);
  for (const std::vector<uint8_t>& page : pages) {
    const int s = static_cast<int>(page.size());
    append(&out, "REPEAT;1\r\nPCX" + std::to_string(s) + ";ROW1\r\n");
    if (parts.rawPages) {
      append(&out, "BAND" + std::to_string(s) + ";COMP0\n");
      out.insert(out.end(), page.begin(), page.end());
    } else {
      for (int at = 0; at < s; at += 32768) {
        const int b = s - at < 32768 ? s - at : 32768;
        const std::vector<uint8_t> band =
            wireBand(parts, std::vector<uint8_t>(page.begin() + at, page.begin() + at + b));
        out.insert(out.end(), band.begin(), band.end());
      }
    }
    append(&out, "ENDPCX\nPRINT\r\n");
  }
  appendTrailer(&out, parts);
  return out;
}

std::vector<uint8_t> buildStreamOfBands(const StreamParts& parts,
                                        const std::vector<BandRun>& page) {
  int64_t size = 0;
  for (const BandRun& run : page) size += static_cast<int64_t>(run.band.size()) * run.count;
  std::vector<uint8_t> out;
  appendSetup(&out, parts);
  append(&out, "REPEAT;1\r\nPCX" + std::to_string(size) + ";ROW1\r\n");
  for (const BandRun& run : page) {
    const std::vector<uint8_t> band = wireBand(parts, run.band);
    for (int32_t i = 0; i < run.count; ++i) out.insert(out.end(), band.begin(), band.end());
  }
  append(&out, "ENDPCX\nPRINT\r\n");
  appendTrailer(&out, parts);
  return out;
}

std::vector<size_t> lineEnds(const std::vector<uint8_t>& stream) {
  std::vector<size_t> ends;
  for (size_t i = 0; i < stream.size(); ++i)
    if (stream[i] == '\n') ends.push_back(i + 1);
  return ends;
}

std::vector<uint8_t> readFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}
