// Standard input that no PostScript job should be: binary bytes with NULs and
// no final newline. The capture copy stays exact, the geometry lines after
// the binary are still found, and raw mode sends the bytes back. The inputs
// of gigabytes are in long_input_test.cpp.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "job_support.h"

namespace {

TEST(HostileInput, binary_bytes_with_nuls_and_no_final_newline_are_copied_and_sent_exactly) {
  std::string input = imageBytes(1, 1 << 20, 17);
  input += "\n%%BoundingBox: 0 0 100 200\n";
  input += std::string("\0\0tail without newline\r", 24);
  JobPlace place;
  ScratchDir copyDir("vhk");
  const std::string copy = copyDir.path + "/copy";
  const ChildResult r = runChild(
      jobSpec(place, {}, input, stubGsDir(), {{"STUB_GS_PAGES", "1"}, {"STUB_GS_COPY", copy}}));
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(streamProblem(r.out), "");
  EXPECT_NE(r.out.find("ENGINE-LENGTH;2777:WIDTH;1388\r\n"), std::string::npos);
  // The capture file gs read: the header comment, then the job plus the one
  // line feed its last line lacked.
  const std::string captured = readFile(copy);
  ASSERT_GT(captured.size(), input.size());
  EXPECT_EQ(captured.compare(0, 4, "% \n%"), 0);
  EXPECT_EQ(describeDifference(input + "\n", captured.substr(captured.size() - input.size() - 1)),
            "");
  EXPECT_EQ(listDir(place.work.path), std::vector<std::string>{});
  EXPECT_EQ(listDir(place.capture.path), std::vector<std::string>{});

  // Raw mode sends the same bytes back, every line ended by CR LF.
  JobPlace rawPlace;
  const ChildResult raw = runChild(jobSpec(rawPlace, {"-raw"}, input, stubGsDir()));
  EXPECT_EQ(raw.exitStatus, 0) << raw.err;
  std::string expected;
  size_t start = 0;
  while (start < input.size()) {
    size_t end = input.find('\n', start);
    if (end == std::string::npos) end = input.size();
    expected += input.substr(start, end - start) + "\r\n";
    start = end + 1;
  }
  EXPECT_EQ(describeDifference(expected + "\n", raw.out), "");
}

}  // namespace
