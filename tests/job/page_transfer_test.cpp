// One page image out as bands: framing, band cutting, the compress-or-not
// choice, raw page mode, removal, and pages that cannot be sent (unreadable,
// too large for the count, short read, printer gone).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "compressor/band_compressor.h"
#include "driver/job_settings.h"
#include "job_support.h"
#include "transfer/page_transfer.h"
#include "transfer/printer_output.h"

namespace {

// Bytes that the band coder cannot shrink, and bytes that it can.
std::string noiseBytes(size_t n, uint32_t seed = 12345) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    s[i] = static_cast<char>(seed >> 23);
  }
  return s;
}

std::string stripedBytes(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i)
    s[i] = static_cast<char>((i / 97) % 3 == 0 ? 0xFF : i % 7);
  return s;
}

class PageTransfer : public ::testing::Test {
 protected:
  void SetUp() override { setUpJobGlobals(dir.path); }
  std::string image(const std::string& bytes) {
    const std::string path = pTmpFname + "_1";
    writeFile(path, bytes);
    return path;
  }
  std::string send(const std::string& path, int* result) {
    StdoutCapture capture;
    *result = outputFile(path.c_str());
    return capture.finish();
  }
  ScratchDir dir;
};

TEST_F(PageTransfer, empty_image_is_a_frame_without_bands) {
  int result = -1;
  const std::string path = image("");
  EXPECT_EQ("", describeDifference("REPEAT;1\r\nPCX0;ROW1\r\nENDPCX\nPRINT\r\n", send(path, &result)));
  EXPECT_EQ(0, result);
  EXPECT_FALSE(fileExists(path));
}

TEST_F(PageTransfer, empty_image_in_raw_page_mode_still_has_its_band_line) {
  PCXraw = true;
  int result = -1;
  EXPECT_EQ("", describeDifference("REPEAT;1\r\nPCX0;ROW1\r\nBAND0;COMP0\nENDPCX\nPRINT\r\n",
                                   send(image(""), &result)));
  EXPECT_EQ(0, result);
}

TEST_F(PageTransfer, incompressible_bands_go_out_as_they_are) {
  struct Row {
    size_t size;
    std::string expectedBands;  // band lengths
  } rows[] = {{1, "1"}, {32767, "32767"}, {32768, "32768"}, {32769, "32768 1"},
              {70000, "32768 32768 4464"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.size);
    const std::string bytes = noiseBytes(row.size);
    int result = -1;
    const std::string out = send(image(bytes), &result);
    ASSERT_EQ(0, result);

    std::string expected = "REPEAT;1\r\nPCX" + std::to_string(row.size) + ";ROW1\r\n";
    std::string lengths;
    for (size_t at = 0; at < row.size; at += 32768) {
      const size_t b = std::min<size_t>(32768, row.size - at);
      expected += "BAND" + std::to_string(b) + ";COMP0\r\n" + bytes.substr(at, b);
      lengths += (lengths.empty() ? "" : " ") + std::to_string(b);
    }
    expected += "ENDPCX\nPRINT\r\n";
    EXPECT_EQ(row.expectedBands, lengths);
    EXPECT_EQ("", describeDifference(expected, out));
  }
}

TEST_F(PageTransfer, a_band_is_compressed_exactly_when_the_coder_makes_it_shorter) {
  // Three full bands and a short one, alternating between bytes that shrink
  // and bytes that do not; each band's header and bytes must follow Encode's
  // own result for that band, and the whole page must decode back.
  const std::string bytes = stripedBytes(32768) + noiseBytes(32768) + stripedBytes(32768) +
                            std::string(1000, '\x55');
  int result = -1;
  const std::string out = send(image(bytes), &result);
  ASSERT_EQ(0, result);

  std::string expected = "REPEAT;1\r\nPCX" + std::to_string(bytes.size()) + ";ROW1\r\n";
  int compressedBands = 0;
  for (size_t at = 0; at < bytes.size(); at += 32768) {
    const int b = static_cast<int>(std::min<size_t>(32768, bytes.size() - at));
    std::string band = bytes.substr(at, static_cast<size_t>(b));
    std::string coded(65536, '\0');
    const int c = Encode(b, reinterpret_cast<unsigned char*>(&band[0]), 65536,
                         reinterpret_cast<unsigned char*>(&coded[0]));
    if (c != -1 && c < b) {
      expected += "BAND" + std::to_string(c) + ";COMP1\r\n" + coded.substr(0, c);
      ++compressedBands;
    } else {
      expected += "BAND" + std::to_string(b) + ";COMP0\r\n" + band;
    }
  }
  expected += "ENDPCX\nPRINT\r\n";
  EXPECT_EQ("", describeDifference(expected, out));
  EXPECT_EQ(3, compressedBands) << "striped bands and the repeated byte should shrink";

  ParsedStream parsed;
  ASSERT_EQ("", parseStream(out, &parsed));
  ASSERT_EQ(1u, parsed.pages.size());
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.end()), parsed.pages[0].bytes);
  EXPECT_EQ((std::vector<std::string>{"COMP1", "COMP0", "COMP1", "COMP1"}),
            parsed.pages[0].bandKinds);
}

TEST_F(PageTransfer, raw_page_mode_sends_one_line_feed_band_of_the_whole_image) {
  PCXraw = true;
  const std::string bytes = stripedBytes(80000);
  int result = -1;
  const std::string out = send(image(bytes), &result);
  EXPECT_EQ(0, result);
  EXPECT_EQ("", describeDifference("REPEAT;1\r\nPCX80000;ROW1\r\nBAND80000;COMP0\n" + bytes +
                                       "ENDPCX\nPRINT\r\n",
                                   out));
}

TEST_F(PageTransfer, debug_mode_keeps_the_image) {
  bDebug = true;
  int result = -1;
  const std::string path = image("abc");
  send(path, &result);
  EXPECT_EQ(0, result);
  EXPECT_TRUE(fileExists(path));
}

TEST_F(PageTransfer, failed_removal_is_logged_and_the_page_still_counts) {
  // A file of the process file system can be read but never removed.
  int result = -1;
  const std::string out = send("/proc/self/status", &result);
  EXPECT_EQ(0, result);
  EXPECT_EQ(0u, out.find("REPEAT;1\r\nPCX"));
  const std::string log = readFile(dir.path + "/err_vdqTEST.txt");
  ASSERT_GT(log.size(), 19u);
  EXPECT_TRUE(isTimeStamp(log.substr(0, 19))) << log;
  EXPECT_EQ(" ERROR-1 ... unable to remove file [/proc/self/status]\n", log.substr(19));
}

TEST_F(PageTransfer, pages_that_cannot_be_read_whole_write_nothing_and_stay) {
  // Missing file; a directory (opens, but cannot be read); an image of 2^31
  // bytes, whose size does not fit the 32-bit count (sparse, so cheap).
  const std::string big = dir.path + "/vdqTEST_big";
  const int fd = open(big.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, ftruncate(fd, static_cast<off_t>(1) << 31));
  close(fd);
  mkdir((dir.path + "/vdqTEST_dir").c_str(), 0700);

  for (const std::string& path :
       {dir.path + "/vdqTEST_missing", dir.path + "/vdqTEST_dir", big}) {
    SCOPED_TRACE(path);
    int result = 0;
    EXPECT_EQ("", send(path, &result));
    EXPECT_EQ(kPageUnreadable, result);
    EXPECT_FALSE(printerFailed());
  }
  EXPECT_TRUE(fileExists(big));
  EXPECT_TRUE(fileExists(dir.path + "/vdqTEST_dir"));
}

TEST_F(PageTransfer, a_file_shorter_than_its_size_is_not_padded_with_zeros) {
  // Attribute files of /sys announce 4096 bytes and hold far fewer.
  const char* path = "/sys/kernel/mm/transparent_hugepage/enabled";
  struct stat info;
  if (stat(path, &info) != 0 || info.st_size != 4096)
    GTEST_SKIP() << "no short-reading file on this system";
  int result = 0;
  EXPECT_EQ("", send(path, &result));
  EXPECT_EQ(kPageUnreadable, result);
}

TEST_F(PageTransfer, printer_write_failure_fails_the_page_and_keeps_the_image) {
  const std::string path = image(noiseBytes(40000));
  StdoutCapture capture;
  const int full = open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  dup2(full, 1);
  close(full);
  const int result = outputFile(path.c_str());
  const bool failed = printerFailed();
  const std::string text = printerFailureText();
  capture.finish();
  EXPECT_EQ(kPagePrinterFailed, result);
  EXPECT_TRUE(failed);
  EXPECT_EQ("No space left on device", text);
  EXPECT_TRUE(fileExists(path));
}

TEST(PrinterOutput, failure_sticks_and_later_writes_are_skipped) {
  StdoutCapture capture;
  const int full = open("/dev/full", O_WRONLY);
  dup2(full, 1);
  close(full);
  EXPECT_EQ(0, printerPrintf("%s", "x"));  // buffered: the failure shows at the flush
  EXPECT_EQ(-1, printerFlush());
  EXPECT_EQ(-1, printerWrite("y", 1));
  EXPECT_EQ(-1, printerPrintf("z"));
  EXPECT_TRUE(printerFailed());
  capture.finish();
  EXPECT_FALSE(printerFailed());
}

}  // namespace
