// A page image against the label the stream announces: sizes that the
// renderer gives for real page sizes, the tolerance at its edge, and what a
// page without a resolution gets.
#include "inspect/label_fit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

PcxImage imageOf(int32_t width, int32_t height, int32_t xDpi, int32_t yDpi) {
  PcxImage image;
  image.width = width;
  image.height = height;
  image.xDpi = xDpi;
  image.yDpi = yDpi;
  image.bytesPerLine = ((width + 7) / 8 + 1) & ~1;
  return image;
}

TEST(LabelFit, pages_wider_or_longer_than_the_label_are_faults) {
  struct Row {
    const char* name;
    int32_t engineLength, engineWidth;  // thousandths of an inch
    PcxImage image;
    std::vector<std::string> faults;  // a part of each message, in order
  };
  const std::vector<Row> table = {
      {"4 x 6 in at 300 dpi on a 4 x 6 label", 6000, 4000, imageOf(1200, 1800, 300, 300), {}},
      {"4 x 6 in at 203 dpi, lines padded to 816", 6000, 4000, imageOf(812, 1218, 203, 203), {}},
      {"3 x 2 in at 600 dpi on a 3 x 2 label", 2000, 3000, imageOf(1800, 1200, 600, 600), {}},
      {"200 x 100 pt rounded up by the renderer", 1388, 2777, imageOf(833, 417, 300, 300), {}},
      {"smaller than the label", 6000, 4000, imageOf(600, 900, 300, 300), {}},
      {"two dots over is rounding", 6000, 4000, imageOf(1202, 1802, 300, 300), {}},
      {"three dots wider is a fault",
       6000,
       4000,
       imageOf(1203, 1800, 300, 300),
       {"image is 4.010 in wide (1203 dots at 300 dpi), wider than the 4.000 in label"}},
      {"three dots longer is a fault",
       6000,
       4000,
       imageOf(1200, 1803, 300, 300),
       {"image is 6.010 in long (1803 dots at 300 dpi), longer than the 6.000 in label"}},
      {"turned a quarter: 6 in across a 4 in label",
       6000,
       4000,
       imageOf(1800, 1200, 300, 300),
       {"6.000 in wide (1800 dots at 300 dpi), wider than the 4.000 in label"}},
      {"A4 on a 4 x 6 label",
       6000,
       4000,
       imageOf(2479, 3508, 300, 300),
       {"8.263 in wide", "11.693 in long (3508 dots at 300 dpi), longer than the 6.000 in label"}},
      {"each side at its own resolution", 6000, 4000, imageOf(812, 2436, 203, 406), {}},
      {"the same dots at half the resolution",
       6000,
       4000,
       imageOf(1200, 1800, 150, 150),
       {"8.000 in wide", "12.000 in long"}},
      {"no resolution across",
       6000,
       4000,
       imageOf(1200, 1800, 0, 300),
       {"no resolution for its width"}},
      {"a label of no length",
       0,
       4000,
       imageOf(1200, 1800, 300, 300),
       {"longer than the 0.000 in label"}},
  };
  for (const Row& row : table) {
    JobReport job;
    job.engineLength = row.engineLength;
    job.engineWidth = row.engineWidth;
    const std::vector<std::string> faults = findLabelFaults(job, row.image);
    ASSERT_EQ(faults.size(), row.faults.size())
        << row.name << (faults.empty() ? "" : ": " + faults[0]);
    for (size_t i = 0; i < faults.size(); ++i)
      EXPECT_NE(faults[i].find(row.faults[i]), std::string::npos) << row.name << ": " << faults[i];
  }
}

}  // namespace
