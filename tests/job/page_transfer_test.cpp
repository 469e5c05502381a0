// One page image out as bands: framing, band cutting, the compress-or-not
// choice, raw page mode, removal, pages that cannot be sent (unreadable, too
// large for the count, short read, no memory, printer gone), pages of any
// size in bounded memory, a page cut short while it is sent, and pages read
// ahead.
#include "transfer/page_transfer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "compressor/band_compressor.h"
#include "driver/job_stream.h"
#include "inspect/job_stream_parser.h"
#include "job_support.h"
#include "state/job_settings.h"
#include "state/printer_output.h"
#include "transfer/band_coding.h"

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
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i / 97) % 3 == 0 ? 0xFF : i % 7);
  return s;
}

// A page of label-like stretches and noise, in pieces that cross band
// boundaries, so that most bands shrink and some do not.
std::string mixedBytes(size_t n) {
  std::string s;
  for (uint32_t piece = 0; s.size() < n; ++piece)
    s += piece % 4 == 3 ? noiseBytes(20000 + piece * 37, piece) : stripedBytes(45000 + piece * 101);
  s.resize(n);
  return s;
}

// The page as the whole-image path sends it: each band coded on its own with
// a 65536-byte capacity, sent compressed only when that is shorter.
std::string expectedPage(const std::string& bytes, int* compressedBands = nullptr) {
  std::string expected = "REPEAT;1\r\nPCX" + std::to_string(bytes.size()) + ";ROW1\r\n";
  for (size_t at = 0; at < bytes.size(); at += 32768) {
    const int b = static_cast<int>(std::min<size_t>(32768, bytes.size() - at));
    std::string band = bytes.substr(at, static_cast<size_t>(b));
    std::string coded(65536, '\0');
    const int c = Encode(b, reinterpret_cast<unsigned char*>(&band[0]), 65536,
                         reinterpret_cast<unsigned char*>(&coded[0]));
    if (c != -1 && c < b) {
      expected += "BAND" + std::to_string(c) + ";COMP1\r\n" + coded.substr(0, c);
      if (compressedBands != nullptr) ++*compressedBands;
    } else {
      expected += "BAND" + std::to_string(b) + ";COMP0\r\n" + band;
    }
  }
  return expected + "ENDPCX\nPRINT\r\n";
}

class PageTransfer : public ::testing::Test {
 protected:
  void SetUp() override {
    setUpJobGlobals(dir.path);
    helpers = bandCodingHelpers();
  }
  void TearDown() override {
    setPageMemoryFailing(false);
    setBandCodingHelpers(helpers);
  }
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
  int helpers = 0;
};

TEST_F(PageTransfer, empty_image_is_a_frame_without_bands) {
  int result = -1;
  const std::string path = image("");
  EXPECT_EQ("",
            describeDifference("REPEAT;1\r\nPCX0;ROW1\r\nENDPCX\nPRINT\r\n", send(path, &result)));
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
  } rows[] = {{1, "1"},
              {32767, "32767"},
              {32768, "32768"},
              {32769, "32768 1"},
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
  const std::string bytes =
      stripedBytes(32768) + noiseBytes(32768) + stripedBytes(32768) + std::string(1000, '\x55');
  int result = -1;
  const std::string out = send(image(bytes), &result);
  ASSERT_EQ(0, result);

  int compressedBands = 0;
  EXPECT_EQ("", describeDifference(expectedPage(bytes, &compressedBands), out));
  EXPECT_EQ(3, compressedBands) << "striped bands and the repeated byte should shrink";

  // The page read back by the printer's parser, inside the blocks of a job.
  const std::string job =
      "!QXR_SETUP\r\nENGINE-LENGTH;6000:WIDTH;4000\r\nWINMODE-BEGIN\r\n"
      "SAVESTATE\r\nQXR_END\r\n~CONFIG\r\nEND\r\n\r\n~WINDRV\r\n" +
      out + "WINDRVEND\r\n!QXR_SETUP\r\nWINMODE-END\r\nRESTORESTATE\r\nQXR_END\r\n";
  std::vector<StreamPage> parsed;
  ASSERT_EQ("", streamProblem(job, &parsed));
  ASSERT_EQ(1u, parsed.size());
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), parsed[0].bytes);
  EXPECT_EQ((std::vector<std::string>{"COMP1", "COMP0", "COMP1", "COMP1"}), parsed[0].bandKinds);
}

TEST_F(PageTransfer, a_page_of_several_mib_is_sent_as_its_bands_coded_alone_with_any_helper_count) {
  // Read band by band, on whichever thread codes it, the page must still be
  // the bytes the whole image coded band after band gives.
  const std::string bytes = mixedBytes((5u << 20) + 12345);
  const std::string expected = expectedPage(bytes);
  for (int count = 0; count <= 3; ++count) {
    SCOPED_TRACE("helpers " + std::to_string(count));
    setBandCodingHelpers(count);
    int result = -1;
    const std::string path = image(bytes);
    EXPECT_EQ("", describeDifference(expected, send(path, &result)));
    EXPECT_EQ(0, result);
    EXPECT_FALSE(fileExists(path));
  }
}

TEST_F(PageTransfer, raw_page_mode_sends_one_line_feed_band_of_the_whole_image) {
  PCXraw = true;
  const std::string bytes = stripedBytes(80000);
  int result = -1;
  const std::string out = send(image(bytes), &result);
  EXPECT_EQ(0, result);
  EXPECT_EQ(
      "", describeDifference(
              "REPEAT;1\r\nPCX80000;ROW1\r\nBAND80000;COMP0\n" + bytes + "ENDPCX\nPRINT\r\n", out));
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

  for (const std::string& path : {dir.path + "/vdqTEST_missing", dir.path + "/vdqTEST_dir", big}) {
    SCOPED_TRACE(path);
    int result = 0;
    EXPECT_EQ("", send(path, &result));
    EXPECT_EQ(kPageUnreadable, result);
    EXPECT_FALSE(printerFailed());
  }
  EXPECT_TRUE(fileExists(big));
  EXPECT_TRUE(fileExists(dir.path + "/vdqTEST_dir"));
}

TEST_F(PageTransfer, a_link_or_fifo_at_a_page_name_is_never_read_or_waited_on) {
  // A link to a real image elsewhere, and a FIFO that nobody writes into:
  // neither is sent, and the FIFO does not hold the job.
  ScratchDir elsewhere("vtelse");
  writeFile(elsewhere.path + "/foreign", std::string(5000, 'x'));
  const std::string link = dir.path + "/vdqTEST_link";
  const std::string fifo = dir.path + "/vdqTEST_fifo";
  ASSERT_EQ(0, symlink((elsewhere.path + "/foreign").c_str(), link.c_str()));
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  for (const std::string& path : {link, fifo}) {
    SCOPED_TRACE(path);
    int result = 0;
    EXPECT_EQ("", send(path, &result));
    EXPECT_EQ(kPageUnreadable, result);
  }
  EXPECT_EQ(std::string(5000, 'x'), readFile(elsewhere.path + "/foreign"));
}

TEST_F(PageTransfer, a_file_shorter_than_its_size_says_writes_nothing) {
  // Attribute files of /sys announce 4096 bytes and hold far fewer; which
  // ones a kernel has varies, so the first of a few that does is taken.
  const char* path = nullptr;
  for (const char* candidate :
       {"/sys/devices/system/cpu/online", "/sys/kernel/mm/transparent_hugepage/enabled",
        "/sys/power/state", "/sys/kernel/profiling"}) {
    struct stat info;
    if (stat(candidate, &info) != 0 || info.st_size != 4096) continue;
    const size_t held = readFile(candidate).size();
    if (held > 0 && held < 4096) {
      path = candidate;
      break;
    }
  }
  if (path == nullptr) VORMEL_CANNOT_RUN("no short-reading file under /sys on this system");
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

TEST_F(PageTransfer, a_page_of_300_mb_is_sent_in_the_memory_of_a_few_bands) {
  // A sparse image of 300 MB, cheap to make and to read. Held whole it would
  // take 300 MB; read band by band it takes at most 8 slots of 3 band sizes
  // plus the coder's work memory. The probe sends it in a process of its
  // own, whose peak resident size tells.
  constexpr off_t kPageBytes = off_t{300} << 20;
  constexpr long kBoundKiB = 64 * 1024;
  const std::string path = dir.path + "/vdqTEST_big";
  const int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, ftruncate(fd, kPageBytes));
  close(fd);
  // AddressSanitizer holds freed blocks back to catch their use; the probe
  // measures memory, not use after free.
  const char* asan = getenv("ASAN_OPTIONS");
  const std::string asanOptions =
      std::string(asan != nullptr ? asan : "") + ":quarantine_size_mb=0";

  const std::vector<std::string> rows[] = {{path, "3"}, {path, "0", "raw"}};
  for (const std::vector<std::string>& args : rows) {
    SCOPED_TRACE(args.size() > 2 ? "raw page mode" : "bands, 3 helpers");
    ChildSpec probe;
    probe.program = PAGE_MEMORY_PROBE;
    probe.args = args;
    probe.env = {{"ASAN_OPTIONS", asanOptions}};
    const ChildResult r = runChild(probe);
    ASSERT_EQ(0, r.exitStatus) << r.err;
    int result = -1;
    long grownKiB = -1;
    ASSERT_EQ(2, sscanf(r.err.c_str(), "result %d grown_kib %ld", &result, &grownKiB)) << r.err;
    EXPECT_EQ(0, result);
    EXPECT_LT(grownKiB, kBoundKiB);
    RecordProperty(args.size() > 2 ? "raw_grown_kib" : "bands_grown_kib", std::to_string(grownKiB));
  }
}

TEST_F(PageTransfer, a_page_whose_memory_cannot_be_had_writes_nothing_and_stays) {
  // Nothing may be written before the page's memory is had: a REPEAT line
  // without its bytes would make the printer take what follows for image
  // data. Once memory is there again, the same image goes out whole.
  const std::string bytes = mixedBytes(100000);
  for (const bool raw : {false, true}) {
    for (const int count : {0, 2}) {
      SCOPED_TRACE(std::string(raw ? "raw page mode" : "bands") + ", helpers " +
                   std::to_string(count));
      PCXraw = raw;
      setBandCodingHelpers(count);
      const std::string path = image(bytes);
      setPageMemoryFailing(true);
      int result = 0;
      EXPECT_EQ("", send(path, &result));
      EXPECT_EQ(kPageNoMemory, result);
      EXPECT_TRUE(fileExists(path));

      setPageMemoryFailing(false);
      const std::string out = send(path, &result);
      EXPECT_EQ(0, result);
      if (!raw) {
        EXPECT_EQ("", describeDifference(expectedPage(bytes), out));
      }
    }
  }
}

// Length the page image is cut to while it is being sent.
constexpr off_t kCutLength = 40000;

// Runs `send` with standard output a pipe and returns what it wrote. Once the
// first `before` bytes have arrived, `cut` runs while `send` is held in a
// write to the full pipe: the printer stalls, and the page changes meanwhile.
std::string sendThroughStalledPrinter(const std::function<void()>& send, size_t before,
                                      const std::function<void()>& cut) {
  int fds[2];
  EXPECT_EQ(0, pipe(fds));
  fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  dup2(fds[1], STDOUT_FILENO);
  close(fds[1]);
  std::thread sender([&] {
    send();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);  // closes the pipe's last write end
  });
  std::string out;
  char buffer[4096];
  bool cutDone = false;
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    out.append(buffer, static_cast<size_t>(n));
    if (!cutDone && out.size() >= before) {
      cut();
      cutDone = true;
    }
  }
  sender.join();
  close(fds[0]);
  close(saved);
  return out;
}

TEST_F(PageTransfer, a_page_cut_short_while_it_is_sent_still_gets_its_whole_frame_and_fails) {
  // The file loses all but its first 40000 bytes once the page has begun,
  // while the sender waits for the printer to take more (the pipe holds 64
  // KiB, far less than the page). The printer must still get every byte the
  // PCX line announced, ENDPCX and PRINT, so that the trailer after the page
  // is read as commands: the whole job stream must parse. The missing bytes
  // are zeros; the bands read before or while the file is cut (those in the
  // pipe, and those in the coder's slots, 8 at most) may still hold some or
  // all of the old bytes: a read under way when the cut comes returns part.
  constexpr size_t kBands = 20;
  constexpr size_t kReadBeforeCut = 4 + 8;
  // Noise: no band shrinks, so the pipe fills after two of them.
  const std::string bytes = noiseBytes(kBands * 32768, 3);
  for (int count = 0; count <= 3; ++count) {
    SCOPED_TRACE("helpers " + std::to_string(count));
    setBandCodingHelpers(count);
    const std::string path = image(bytes);
    int result = 0;
    const std::string out = sendThroughStalledPrinter(
        [&] {
          writeSetupBlock();
          writeConfigBlock();
          writePaperLine();
          writeWindrv();
          result = outputFile(path.c_str());
          writeTrailer();
          printerFlush();
        },
        1, [&] { ASSERT_EQ(0, truncate(path.c_str(), kCutLength)); });
    EXPECT_EQ(kPageUnreadable, result);
    EXPECT_TRUE(fileExists(path)) << "an image not sent whole is kept";

    std::vector<uint8_t> sent;
    JobReport report;
    StreamError error;
    const bool valid =
        parseJobStream(reinterpret_cast<const uint8_t*>(out.data()), out.size(), &report, &error,
                       [&sent](const PageInfo&, const std::vector<uint8_t>& image, std::string*) {
                         sent = image;
                         return true;
                       });
    ASSERT_TRUE(valid) << error.message << " at offset " << error.offset;
    EXPECT_TRUE(report.complete);
    ASSERT_EQ(1u, report.pages.size());
    EXPECT_EQ(static_cast<int32_t>(bytes.size()), report.pages[0].imageSize);
    ASSERT_EQ(bytes.size(), sent.size());

    std::string cut = bytes.substr(0, kCutLength);
    cut.resize(bytes.size(), '\0');
    for (size_t band = 0; band < kBands; ++band) {
      SCOPED_TRACE("band " + std::to_string(band));
      const std::string got(sent.begin() + static_cast<long>(band * 32768),
                            sent.begin() + static_cast<long>((band + 1) * 32768));
      const std::string old = bytes.substr(band * 32768, 32768);
      if (band >= kReadBeforeCut) {
        EXPECT_EQ(got, cut.substr(band * 32768, 32768)) << "read after the cut";
        continue;
      }
      // Each byte is the old one or a zero, nothing else.
      size_t stray = 0;
      for (size_t i = 0; i < got.size(); ++i)
        if (got[i] != old[i] && got[i] != '\0') ++stray;
      EXPECT_EQ(0u, stray);
    }
  }
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
