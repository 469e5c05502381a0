// The page-against-label check of vormel-inspect; see label_fit.h.
#include "inspect/label_fit.h"

#include <cstdio>

namespace {

std::string inches(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", value);
  return text;
}

// The words for one side of the label.
struct Side {
  const char* dimension;    // "width"
  const char* adjective;    // "wide"
  const char* comparative;  // "wider"
};
constexpr Side kAcross{"width", "wide", "wider"};
constexpr Side kAlong{"length", "long", "longer"};

// A fault message when `dots` at `dpi` exceed `thousandths` of an inch by
// more than the tolerance, else "".
std::string checkSide(int32_t dots, int32_t dpi, int32_t thousandths, const Side& side) {
  if (dpi <= 0)
    return std::string("image gives no resolution for its ") + side.dimension +
           ", so it cannot be placed on the label";
  const int64_t limit = static_cast<int64_t>(thousandths) * dpi + 1000LL * kLabelToleranceDots;
  if (static_cast<int64_t>(dots) * 1000 <= limit) return "";
  return "image is " + inches(dotsToInches(dots, dpi)) + " in " + side.adjective + " (" +
         std::to_string(dots) + " dots at " + std::to_string(dpi) + " dpi), " + side.comparative +
         " than the " + inches(thousandths / 1000.0) + " in label";
}

}  // namespace

double dotsToInches(int32_t dots, int32_t dpi) {
  return dpi > 0 ? static_cast<double>(dots) / dpi : 0.0;
}

std::vector<std::string> findLabelFaults(const JobReport& job, const PcxImage& image) {
  std::vector<std::string> faults;
  for (const std::string& fault : {checkSide(image.width, image.xDpi, job.engineWidth, kAcross),
                                   checkSide(image.height, image.yDpi, job.engineLength, kAlong)})
    if (!fault.empty()) faults.push_back(fault);
  return faults;
}
