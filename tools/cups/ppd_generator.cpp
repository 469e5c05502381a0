// vormel-ppd-generator: writes the printer description of one printer model
// from the common template, filling in the model's native resolution and the
// label sizes. Run by the build once per resolution (203, 300, 600 dpi).
//
//   vormel-ppd-generator TEMPLATE DPI OUTPUT
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace {

// Widest label the print head covers, and the custom size limits.
constexpr double kMaxWidthPoints = 295.2;    // 4.1 in
constexpr double kMinWidthPoints = 36;       // 0.5 in
constexpr double kMinLengthPoints = 18;      // 0.25 in
constexpr double kMaxLengthPoints = 2880;    // 40 in, the longest page vormel renders
constexpr double kPointsPerInch = 72;
constexpr double kPointsPerMm = 72 / 25.4;

struct LabelStock {
  double width, length;  // across the print head, then along the feed
  bool metric;           // millimetres, else inches
};

// Label stocks as sold: inch sizes, then metric ones. The default is 4 x 6 in.
const LabelStock kStocks[] = {
    {1, 0.5, false},     {1, 1, false},      {1.25, 1, false},   {1.5, 0.5, false},
    {1.5, 1, false},     {1.5, 1.5, false},  {2, 0.5, false},    {2, 0.75, false},
    {2, 1, false},       {2, 1.25, false},   {2, 1.5, false},    {2, 2, false},
    {2, 3, false},       {2, 4, false},      {2.25, 0.5, false}, {2.25, 0.75, false},
    {2.25, 1.25, false}, {2.25, 2, false},   {2.25, 4, false},   {2.5, 1, false},
    {2.5, 2, false},     {3, 1, false},      {3, 2, false},      {3, 3, false},
    {3, 4, false},       {3, 5, false},      {3.5, 1, false},    {3.5, 1.125, false},
    {4, 1, false},       {4, 1.5, false},    {4, 2, false},      {4, 2.5, false},
    {4, 3, false},       {4, 4, false},      {4, 5, false},      {4, 6, false},
    {4, 6.5, false},     {4, 8, false},
    {100, 150, true},    {100, 100, true},   {100, 70, true},    {100, 50, true},
    {100, 200, true},    {103, 199, true},   {80, 50, true},     {70, 50, true},
    {62, 29, true},      {62, 100, true},    {60, 40, true},     {57, 32, true},
    {50, 30, true},      {50, 25, true},     {40, 30, true},     {38, 25, true},
    {29, 90, true},
};
constexpr const char* kDefaultSize = "w288h432";

// A length in points as the PPD writes it: at most two decimals, no trailing zeros.
std::string formatPoints(double points) {
  char text[32];
  snprintf(text, sizeof text, "%.2f", points);
  std::string s = text;
  s.erase(s.find_last_not_of('0') + 1);
  if (s.back() == '.') s.pop_back();
  return s;
}

std::string formatNumber(double value) {
  char text[32];
  snprintf(text, sizeof text, "%g", value);
  return text;
}

struct SizeEntry {
  std::string name, label, width, length;
};

SizeEntry describeStock(const LabelStock& stock) {
  const double scale = stock.metric ? kPointsPerMm : kPointsPerInch;
  const double w = stock.width * scale, l = stock.length * scale;
  SizeEntry e;
  e.name = "w" + std::to_string(std::lround(w)) + "h" + std::to_string(std::lround(l));
  e.label = formatNumber(stock.width) + " x " + formatNumber(stock.length) + (stock.metric ? " mm" : " in");
  e.width = formatPoints(w);
  e.length = formatPoints(l);
  return e;
}

// The label size section: page sizes, regions, imageable areas, paper
// dimensions and the custom size, every one covering the whole label.
std::string writeSizeSection() {
  std::ostringstream sizes, regions, areas, dims;
  std::set<std::string> names;
  for (const LabelStock& stock : kStocks) {
    const SizeEntry e = describeStock(stock);
    if (!names.insert(e.name).second) {
      fprintf(stderr, "vormel-ppd-generator: two label sizes are named %s\n", e.name.c_str());
      exit(1);
    }
    const std::string code = "\"<</PageSize[" + e.width + " " + e.length + "]/ImageableArea null>>setpagedevice\"";
    sizes << "*PageSize " << e.name << "/" << e.label << ": " << code << "\n";
    regions << "*PageRegion " << e.name << "/" << e.label << ": " << code << "\n";
    areas << "*ImageableArea " << e.name << "/" << e.label << ": \"0 0 " << e.width << " " << e.length << "\"\n";
    dims << "*PaperDimension " << e.name << "/" << e.label << ": \"" << e.width << " " << e.length << "\"\n";
  }
  std::ostringstream out;
  out << "*% Every label size covers the whole label: no margins. Any other size\n"
         "*% within the print head's width is a custom size.\n"
         "*OpenUI *PageSize/Label Size: PickOne\n"
         "*OrderDependency: 10 AnySetup *PageSize\n"
         "*DefaultPageSize: " << kDefaultSize << "\n"
      << sizes.str()
      << "*CloseUI: *PageSize\n\n"
         "*OpenUI *PageRegion/Label Region: PickOne\n"
         "*OrderDependency: 10 AnySetup *PageRegion\n"
         "*DefaultPageRegion: " << kDefaultSize << "\n"
      << regions.str()
      << "*CloseUI: *PageRegion\n\n"
         "*DefaultImageableArea: " << kDefaultSize << "\n"
      << areas.str()
      << "\n*DefaultPaperDimension: " << kDefaultSize << "\n"
      << dims.str()
      << "\n*VariablePaperSize: True\n"
         "*HWMargins: 0 0 0 0\n"
         "*MaxMediaWidth: \"" << formatPoints(kMaxWidthPoints) << "\"\n"
         "*MaxMediaHeight: \"" << formatPoints(kMaxLengthPoints) << "\"\n"
         "*NonUIOrderDependency: 10 AnySetup *CustomPageSize\n"
         "*CustomPageSize True: \"pop pop pop <</PageSize[5 -2 roll]/ImageableArea null>>setpagedevice\"\n"
         "*ParamCustomPageSize Width: 1 points " << formatPoints(kMinWidthPoints) << " "
      << formatPoints(kMaxWidthPoints) << "\n"
         "*ParamCustomPageSize Height: 2 points " << formatPoints(kMinLengthPoints) << " "
      << formatPoints(kMaxLengthPoints) << "\n"
         "*ParamCustomPageSize WidthOffset: 3 points 0 0\n"
         "*ParamCustomPageSize HeightOffset: 4 points 0 0\n"
         "*ParamCustomPageSize Orientation: 5 int 0 0\n";
  return out.str();
}

void replaceAll(std::string& text, const std::string& marker, const std::string& value) {
  for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + value.size()))
    text.replace(at, marker.size(), value);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "Usage: %s TEMPLATE DPI OUTPUT\n", argv[0]);
    return 2;
  }
  const std::string dpi = argv[2];
  if (dpi != "203" && dpi != "300" && dpi != "600") {
    fprintf(stderr, "vormel-ppd-generator: no printer model has %s dpi\n", argv[2]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    fprintf(stderr, "vormel-ppd-generator: cannot read %s\n", argv[1]);
    return 1;
  }
  std::stringstream buffer;
  buffer << in.rdbuf();
  std::string text = buffer.str();

  std::string fileName = argv[3];
  fileName = fileName.substr(fileName.rfind('/') + 1);
  replaceAll(text, "@PAGE_SIZES@", writeSizeSection());
  replaceAll(text, "@DPI@", dpi);
  replaceAll(text, "@PC_FILE_NAME@", "VORML" + dpi + ".PPD");
  replaceAll(text, "@FILE_NAME@", fileName);

  std::ofstream out(argv[3], std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) {
    fprintf(stderr, "vormel-ppd-generator: cannot write %s\n", argv[3]);
    return 1;
  }
  return 0;
}
