// The PCX page writer against Ghostscript's monochrome PCX device: the same
// page rendered once as a PCX image and once as a PBM bitmap; the bitmap
// through the writer must give the PCX image byte for byte.
#include "pcx_writer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cups_test_support.h"

namespace {

struct PageRow {
  const char* claim;
  int width, length;  // points
  int dpi;
  const char* drawing;  // PostScript painting the page
};

const PageRow kPages[] = {
    {"row_of_whole_bytes_even_count", 64, 40, 300, "0 0 moveto 64 40 lineto 3 setlinewidth stroke"},
    {"row_ending_inside_a_byte_keeps_pad_bits_clear", 97, 40, 300,
     "0 0 moveto 97 40 lineto 2 setlinewidth stroke"},
    {"odd_byte_count_repeats_last_byte_to_make_row_even", 100, 50, 300, "5 5 60 30 rectfill"},
    {"single_dot_wide_page", 1, 30, 72, "0 0 1 10 rectfill"},
    {"long_white_runs_are_cut_at_fifteen", 288, 72, 203, "100 10 2 2 rectfill"},
    {"black_runs_and_bytes_above_0xbf", 288, 72, 600,
     "0 0 288 20 rectfill 0 30 moveto 288 72 lineto stroke"},
    {"text_on_a_label", 288, 144, 203,
     "/Helvetica-Bold findfont 28 scalefont setfont 10 60 moveto (SHIP TO 0123) show"},
    {"blank_page", 150, 30, 300, ""},
};

// Renders `row` with the real Ghostscript to `device` in `dir`; returns the file's bytes.
std::string renderPage(const PageRow& row, const std::string& dir, const char* device) {
  const std::string job = dir + "/page.ps";
  writeFile(job, "%!PS\n<< /PageSize [" + std::to_string(row.width) + " " +
                     std::to_string(row.length) + "] >> setpagedevice\n" + row.drawing +
                     "\nshowpage\n");
  const std::string out = dir + "/page." + device;
  const ChildResult result = runChild(commandSpec(
      {"/usr/bin/gs", "-q", "-dNOPAUSE", "-dBATCH", "-dSAFER", std::string("-sDEVICE=") + device,
       "-r" + std::to_string(row.dpi), "-sOutputFile=" + out, job}));
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  return readFile(out);
}

// The PBM bitmap's rows through the writer. The header is "P4", comment
// lines, then "width height".
std::string writeFromPbm(const std::string& pbm, int dpi) {
  size_t at = 0;
  int width = 0, height = 0;
  auto nextLine = [&]() {
    const size_t end = pbm.find('\n', at);
    std::string line = pbm.substr(at, end - at);
    at = end + 1;
    return line;
  };
  EXPECT_EQ(nextLine(), "P4");
  std::string dims;
  do dims = nextLine();
  while (!dims.empty() && dims[0] == '#');
  EXPECT_EQ(sscanf(dims.c_str(), "%d %d", &width, &height), 2);
  const size_t rowBytes = (width + 7) / 8;
  EXPECT_EQ(pbm.size() - at, rowBytes * height);

  ScratchDir dir("pcxw", 0755);
  const std::string path = dir.path + "/out.pcx";
  FILE* out = fopen(path.c_str(), "wb");
  EXPECT_EQ(writePcxHeader(out, width, height, dpi), 0);
  for (int y = 0; y < height; ++y)
    EXPECT_EQ(
        writePcxRow(out, reinterpret_cast<const uint8_t*>(pbm.data() + at + y * rowBytes), width),
        0);
  fclose(out);
  return readFile(path);
}

class PcxWriterMatchesGhostscript : public ::testing::TestWithParam<PageRow> {};

TEST_P(PcxWriterMatchesGhostscript, same_bytes_as_ghostscript_pcxmono) {
  const PageRow& row = GetParam();
  ScratchDir dir("pcxgs", 0755);
  const std::string expected = renderPage(row, dir.path, "pcxmono");
  const std::string bitmap = renderPage(row, dir.path, "pbmraw");
  ASSERT_GT(expected.size(), static_cast<size_t>(kPcxHeaderSize));
  const std::string actual = writeFromPbm(bitmap, row.dpi);
  EXPECT_EQ(describeDifference(expected, actual), "");
}

INSTANTIATE_TEST_SUITE_P(Pages, PcxWriterMatchesGhostscript, ::testing::ValuesIn(kPages),
                         [](const ::testing::TestParamInfo<PageRow>& row) {
                           return row.param.claim;
                         });

// Rows whose byte count is even already get no extra byte; the others get one.
TEST(PcxRowSize, rows_are_whole_bytes_rounded_up_to_an_even_count) {
  const struct {
    int32_t width, bytes;
  } rows[] = {{1, 2},     {8, 2},      {9, 2},      {16, 2},    {17, 4},
              {812, 102}, {1200, 150}, {1218, 154}, {2400, 300}};
  for (const auto& r : rows) EXPECT_EQ(pcxBytesPerRow(r.width), r.bytes) << "width " << r.width;
}

}  // namespace
