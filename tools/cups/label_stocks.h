// The label stocks the printer models take, and the limits of a custom label.
// Read by the PPD generator and by the printer application, so that a queue
// and a driverless printer offer the same sizes.
#pragma once

#include <cstddef>
#include <string>

// Widest label the print head covers, and the custom size limits, in points.
constexpr double kMaxWidthPoints = 295.2;  // 4.1 in
constexpr double kMinWidthPoints = 36;     // 0.5 in
constexpr double kMinLengthPoints = 18;    // 0.25 in
constexpr double kMaxLengthPoints = 2880;  // 40 in, the longest page vormel renders
constexpr double kPointsPerInch = 72;
constexpr double kPointsPerMm = 72 / 25.4;

struct LabelStock {
  double width, length;  // across the print head, then along the feed
  bool metric;           // millimetres, else inches
};

// The stocks as sold, inch sizes first; `count` receives their number.
const LabelStock* labelStocks(size_t& count);

// The default stock: 4 x 6 in.
const LabelStock& defaultLabelStock();

// A stock's size in points.
double stockWidthPoints(const LabelStock& stock);
double stockLengthPoints(const LabelStock& stock);

// A size as PPDs and PostScript write it: at most two decimals, no trailing
// zeros (288, 283.46, 4.1).
std::string formatSize(double value);
