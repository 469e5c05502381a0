// Standard input far larger than memory: a single line of 100 MB and 4 GiB
// of job through a pipe. The geometry lines after them are still found and
// memory stays flat (peak resident size far below the input). Labelled
// `long`: scripts/test runs these in the native stage only.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "job_support.h"

namespace {

// Peak resident size allowed for a job whose input is far larger; sanitizer
// builds carry their own shadow memory on top.
constexpr int64_t kFlatMemoryKiB = 160 * 1024;

void writeAllTo(int fd, const char* data, size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, data, n);
    if (w <= 0) return;
    data += w;
    n -= static_cast<size_t>(w);
  }
}

TEST(HostileInput, a_line_of_100_mb_keeps_memory_flat_and_the_lines_after_it_count) {
  for (bool rawMode : {false, true}) {
    SCOPED_TRACE(rawMode);
    JobPlace place;
    ChildSpec runSpec =
        jobSpec(place, rawMode ? std::vector<std::string>{"-raw"} : std::vector<std::string>{}, "",
                stubGsDir(), {{"STUB_GS_PAGES", "1"}});
    const size_t lineLength = 100u << 20;
    runSpec.inputWriter = [lineLength](int fd) {
      const std::string start = "%!PS\n%%BoundingBox: 0 0 ";  // a box line of 100 MB
      writeAllTo(fd, start.data(), start.size());
      const std::string block(1 << 20, '7');
      for (size_t done = start.size(); done < lineLength; done += block.size())
        writeAllTo(fd, block.data(), block.size());
      const std::string end = " 9\n%%BoundingBox: 0 0 144 72\n";
      writeAllTo(fd, end.data(), end.size());
    };
    const ChildResult r = runChild(runSpec);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_LT(r.maxRssKiB, kFlatMemoryKiB);
    if (rawMode) {
      EXPECT_GT(r.out.size(), lineLength);
      const std::string tail = " 9\r\n%%BoundingBox: 0 0 144 72\r\n\n";
      EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    } else {
      EXPECT_EQ(streamProblem(r.out), "");
      EXPECT_NE(r.out.find("ENGINE-LENGTH;1000:WIDTH;2000\r\n"), std::string::npos);
      EXPECT_EQ(listDir(place.capture.path), std::vector<std::string>{});
    }
  }
}

TEST(HostileInput, four_gib_through_a_pipe_finishes_with_flat_memory) {
  JobPlace place;
  ScratchDir copyDir("vhk");
  const std::string sizeFile = copyDir.path + "/size";
  ChildSpec runSpec = jobSpec(place, {}, "", stubGsDir(), {{"STUB_GS_PAGES", "1"}});
  const uint64_t total = uint64_t{4} << 30;
  runSpec.inputWriter = [total](int fd) {
    std::string block;
    while (block.size() < (1u << 20))
      block += "0 0 moveto 288 432 lineto stroke % padding of a job that never ends\n";
    block.resize(1u << 20);
    block.back() = '\n';
    for (uint64_t done = 0; done < total; done += block.size())
      writeAllTo(fd, block.data(), block.size());
    const std::string end = "%%BoundingBox: 0 0 216 144\n<< /HWResolution [203 203] >>\n";
    writeAllTo(fd, end.data(), end.size());
  };
  const ChildResult r = runChild(runSpec);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_LT(r.maxRssKiB, kFlatMemoryKiB);
  EXPECT_EQ(streamProblem(r.out), "");
  // The lines after 4 GiB still count: size 216 x 144 points.
  EXPECT_NE(r.out.find("ENGINE-LENGTH;2000:WIDTH;3000\r\n"), std::string::npos);
  EXPECT_EQ(listDir(place.work.path), std::vector<std::string>{});
  EXPECT_EQ(listDir(place.capture.path), std::vector<std::string>{});
  RecordProperty("peak_rss_kib", std::to_string(r.maxRssKiB));
}

}  // namespace
