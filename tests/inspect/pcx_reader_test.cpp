// The PCX reader on images in the renderer's layout: dimensions, pixels and
// the meaning of a set bit; and every way a header or its data can be wrong.
#include "inspect/pcx_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stream_builder.h"

namespace {

TEST(PcxReader, reads_size_resolution_and_scan_lines) {
  const std::vector<uint8_t> pcx = makePcx(201, 37, 1, 300);
  PcxImage image;
  std::string message;
  ASSERT_TRUE(readPcx(pcx.data(), pcx.size(), &image, &message)) << message;
  EXPECT_EQ(image.width, 201);
  EXPECT_EQ(image.height, 37);
  EXPECT_EQ(image.bytesPerLine, 26);  // 26 bytes hold 201 pixels, padded to even
  EXPECT_EQ(image.xDpi, 300);
  EXPECT_TRUE(image.oneIsWhite);
  EXPECT_EQ(image.dataBytes, pcx.size() - kPcxHeaderSize);
  ASSERT_EQ(image.lines.size(), 37u * 26u);
  for (int y = 0; y < 37; ++y)
    for (int x = 0; x < 26; ++x)
      ASSERT_EQ(image.lines[y * 26 + x], (y / 4 + x) % 3 == 0 ? 0x00 : 0xFF) << x << "," << y;
}

TEST(PcxReader, palette_decides_which_bit_is_white) {
  std::vector<uint8_t> pcx = makePcx(16, 2, 0);
  PcxImage image;
  std::string message;
  for (int i = 16; i < 22; ++i) pcx[i] = 0;  // unset palette: 1 is white
  ASSERT_TRUE(readPcx(pcx.data(), pcx.size(), &image, &message));
  EXPECT_TRUE(image.oneIsWhite);
  pcx[16] = pcx[17] = pcx[18] = 0xFF;  // entry 0 white, entry 1 black
  ASSERT_TRUE(readPcx(pcx.data(), pcx.size(), &image, &message));
  EXPECT_FALSE(image.oneIsWhite);
}

TEST(PcxReader, bad_images_are_refused_with_the_offset) {
  const std::vector<uint8_t> good = makePcx(64, 10, 1);
  auto with = [&](size_t at, uint8_t value) {
    std::vector<uint8_t> v = good;
    v[at] = value;
    return v;
  };
  struct Row {
    const char* name;
    std::vector<uint8_t> pcx;
    const char* messagePart;
  };
  std::vector<uint8_t> huge = with(8, 0xFF);  // 65536 x 65536 pixels
  huge[9] = huge[10] = huge[11] = 0xFF;
  huge[66] = 0x00;
  huge[67] = 0x20;
  std::vector<uint8_t> tall = with(10, 0x5F);  // 64 x 60000 pixels from a few bytes
  tall[11] = 0xEA;
  std::vector<uint8_t> paddedLines = with(66, 0xB2);  // 1202 bytes per line of 64 pixels
  paddedLines[67] = 0x04;
  std::vector<uint8_t> runPastEnd = good;
  runPastEnd.resize(kPcxHeaderSize);
  for (int i = 0; i < 11; ++i) {
    runPastEnd.push_back(0xFF);  // runs of 63: 693 bytes for 640
    runPastEnd.push_back(0x00);
  }
  const std::vector<Row> table = {
      {"shorter than the header", std::vector<uint8_t>(good.begin(), good.begin() + 100),
       "image byte 100: image of 100 bytes ends inside"},
      {"wrong mark", with(0, 0x0B), "image byte 0: expected the PCX mark"},
      {"not run-length coded", with(2, 0), "image byte 2"},
      {"8 bits per pixel", with(3, 8), "only 1 bit per pixel"},
      {"two planes", with(65, 2), "only 1 bit per pixel in 1 plane"},
      {"empty window", with(4, 100), "is empty"},
      {"too few bytes per line", with(66, 4), "cannot hold 64 pixels"},
      {"dimensions the data cannot fill", tall, "more than"},
      {"wider and longer than the largest page", huge, "larger than the largest page taken"},
      {"lines longer than the largest page's", paddedLines, "larger than the largest page taken"},
      {"data ends early", std::vector<uint8_t>(good.begin(), good.end() - 3),
       "image data ends after"},
      {"run past the last line", runPastEnd, "passes the last scan line"},
  };
  for (const Row& row : table) {
    PcxImage image;
    std::string message;
    EXPECT_FALSE(readPcx(row.pcx.data(), row.pcx.size(), &image, &message)) << row.name;
    EXPECT_NE(message.find(row.messagePart), std::string::npos) << row.name << ": " << message;
  }
}

TEST(PcxReader, every_truncation_is_refused) {
  const std::vector<uint8_t> good = makePcx(40, 6, 2);
  for (size_t cut = 0; cut < good.size(); ++cut) {
    const std::vector<uint8_t> prefix(good.begin(), good.begin() + cut);
    PcxImage image;
    std::string message;
    EXPECT_FALSE(readPcx(prefix.data(), prefix.size(), &image, &message)) << cut;
  }
}

}  // namespace
