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

#include "label_stocks.h"

namespace {

// The PPD name of the default stock.
std::string defaultSizeName() {
  const LabelStock& stock = defaultLabelStock();
  return "w" + std::to_string(std::lround(stockWidthPoints(stock))) + "h" +
         std::to_string(std::lround(stockLengthPoints(stock)));
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
  const double w = stockWidthPoints(stock), l = stockLengthPoints(stock);
  SizeEntry e;
  e.name = "w" + std::to_string(std::lround(w)) + "h" + std::to_string(std::lround(l));
  e.label = formatNumber(stock.width) + " x " + formatNumber(stock.length) +
            (stock.metric ? " mm" : " in");
  e.width = formatSize(w);
  e.length = formatSize(l);
  return e;
}

// The label size section: page sizes, regions, imageable areas, paper
// dimensions and the custom size, every one covering the whole label.
std::string writeSizeSection() {
  std::ostringstream sizes, regions, areas, dims;
  std::set<std::string> names;
  size_t count = 0;
  const LabelStock* stocks = labelStocks(count);
  for (size_t i = 0; i < count; ++i) {
    const SizeEntry e = describeStock(stocks[i]);
    if (!names.insert(e.name).second) {
      fprintf(stderr, "vormel-ppd-generator: two label sizes are named %s\n", e.name.c_str());
      exit(1);
    }
    const std::string code =
        "\"<</PageSize[" + e.width + " " + e.length + "]/ImageableArea null>>setpagedevice\"";
    sizes << "*PageSize " << e.name << "/" << e.label << ": " << code << "\n";
    regions << "*PageRegion " << e.name << "/" << e.label << ": " << code << "\n";
    areas << "*ImageableArea " << e.name << "/" << e.label << ": \"0 0 " << e.width << " "
          << e.length << "\"\n";
    dims << "*PaperDimension " << e.name << "/" << e.label << ": \"" << e.width << " " << e.length
         << "\"\n";
  }
  std::ostringstream out;
  out << "*% Every label size covers the whole label: no margins. Any other size\n"
         "*% within the print head's width is a custom size.\n"
         "*OpenUI *PageSize/Label Size: PickOne\n"
         "*OrderDependency: 10 AnySetup *PageSize\n"
         "*DefaultPageSize: "
      << defaultSizeName() << "\n"
      << sizes.str()
      << "*CloseUI: *PageSize\n\n"
         "*OpenUI *PageRegion/Label Region: PickOne\n"
         "*OrderDependency: 10 AnySetup *PageRegion\n"
         "*DefaultPageRegion: "
      << defaultSizeName() << "\n"
      << regions.str()
      << "*CloseUI: *PageRegion\n\n"
         "*DefaultImageableArea: "
      << defaultSizeName() << "\n"
      << areas.str() << "\n*DefaultPaperDimension: " << defaultSizeName() << "\n"
      << dims.str()
      << "\n*VariablePaperSize: True\n"
         "*HWMargins: 0 0 0 0\n"
         "*MaxMediaWidth: \""
      << formatSize(kMaxWidthPoints)
      << "\"\n"
         "*MaxMediaHeight: \""
      << formatSize(kMaxLengthPoints)
      << "\"\n"
         "*NonUIOrderDependency: 10 AnySetup *CustomPageSize\n"
         "*CustomPageSize True: \"pop pop pop <</PageSize[5 -2 roll]/ImageableArea "
         "null>>setpagedevice\"\n"
         "*ParamCustomPageSize Width: 1 points "
      << formatSize(kMinWidthPoints) << " " << formatSize(kMaxWidthPoints)
      << "\n"
         "*ParamCustomPageSize Height: 2 points "
      << formatSize(kMinLengthPoints) << " " << formatSize(kMaxLengthPoints)
      << "\n"
         "*ParamCustomPageSize WidthOffset: 3 points 0 0\n"
         "*ParamCustomPageSize HeightOffset: 4 points 0 0\n"
         "*ParamCustomPageSize Orientation: 5 int 0 0\n";
  return out.str();
}

void replaceAll(std::string& text, const std::string& marker, const std::string& value) {
  for (size_t at = text.find(marker); at != std::string::npos;
       at = text.find(marker, at + value.size()))
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
