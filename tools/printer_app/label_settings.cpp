// IPP label settings into vormel option words through the same setting table
// as the spooler front end, and the label stocks as PWG media names.
#include "label_settings.h"

#include <cups/cups.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "label_stocks.h"
#include "option_words.h"

namespace {

constexpr double kHundredthsMmPerPoint = 2540.0 / 72.0;

const char* sensingChoice(MediaTracking tracking) {
  switch (tracking) {
    case MediaTracking::Continuous:
      return "NoGap";
    case MediaTracking::Gap:
      return "Gap";
    case MediaTracking::Mark:
      return "Mark";
    case MediaTracking::Unset:
      break;
  }
  return nullptr;
}

const char* mediaHandlingChoice(LabelMode mode) {
  switch (mode) {
    case LabelMode::TearOff:
      return "TearOff";
    case LabelMode::PeelOff:
      return "Peel";
    case LabelMode::Cutter:
      return "CutLabel";
    case LabelMode::CutterDelayed:
      return "CutJob";
    case LabelMode::Rewind:
      return "Rewind";
    case LabelMode::Unset:
      break;
  }
  return nullptr;
}

const char* mediaTypeChoice(RibbonUse ribbon) {
  switch (ribbon) {
    case RibbonUse::ThermalTransfer:
      return "ThermalTransfer";
    case RibbonUse::DirectThermal:
      return "DirectThermal";
    case RibbonUse::Unset:
      break;
  }
  return nullptr;
}

const char* orientationChoice(PrintOrientation orientation) {
  switch (orientation) {
    case PrintOrientation::Normal:
      return "Normal";
    case PrintOrientation::Inverted:
      return "Inverted";
    case PrintOrientation::Unset:
      break;
  }
  return nullptr;
}

std::string formatSizeName(const char* prefix, const char* name, double widthPoints,
                           double lengthPoints, const char* units) {
  char text[128];
  pwgFormatSizeName(text, sizeof text, prefix, name,
                    static_cast<int>(std::lround(widthPoints * kHundredthsMmPerPoint)),
                    static_cast<int>(std::lround(lengthPoints * kHundredthsMmPerPoint)), units);
  return text;
}

std::string stockMediaName(const LabelStock& stock) {
  return formatSizeName(nullptr, nullptr, stockWidthPoints(stock), stockLengthPoints(stock),
                        stock.metric ? "mm" : "in");
}

}  // namespace

const char* const kLabelMediaTypeKeywords[3] = {"printer-default", "thermal-transfer",
                                                "direct-thermal"};
const char* const kLabelPrintOrientationKeywords[3] = {"printer-default", "normal", "inverted"};

RibbonUse ribbonUseFor(const char* keyword) {
  if (keyword == nullptr) return RibbonUse::Unset;
  if (strcmp(keyword, kLabelMediaTypeKeywords[1]) == 0) return RibbonUse::ThermalTransfer;
  if (strcmp(keyword, kLabelMediaTypeKeywords[2]) == 0) return RibbonUse::DirectThermal;
  return RibbonUse::Unset;
}

PrintOrientation printOrientationFor(const char* keyword) {
  if (keyword == nullptr) return PrintOrientation::Unset;
  if (strcmp(keyword, kLabelPrintOrientationKeywords[1]) == 0) return PrintOrientation::Normal;
  if (strcmp(keyword, kLabelPrintOrientationKeywords[2]) == 0) return PrintOrientation::Inverted;
  return PrintOrientation::Unset;
}

std::vector<std::string> labelOptionWords(const IppLabelSettings& settings) {
  std::string speed, darkness;
  if (settings.printSpeed > 0) {
    const long inches = std::lround(static_cast<double>(settings.printSpeed) / kSpeedUnitsPerInch);
    speed = std::to_string(std::clamp<long>(inches, kMinSpeedInches, kMaxSpeedInches));
  }
  if (settings.darknessConfigured >= 0) {
    const int percent = std::clamp(settings.darknessConfigured + settings.printDarkness, 0, 100);
    darkness = std::to_string(std::lround(percent * (kDarknessLevels - 1) / 100.0));
  }
  const char* sensing = sensingChoice(settings.tracking);
  const char* handling = mediaHandlingChoice(settings.mode);
  const char* mediaType = mediaTypeChoice(settings.ribbon);
  const char* orientation = orientationChoice(settings.orientation);

  std::vector<std::string> words;
  collectSettingWords(
      [&](const char* keyword) -> const char* {
        if (strcmp(keyword, "MediaHandling") == 0) return handling;
        if (strcmp(keyword, "Sensing") == 0) return sensing;
        if (strcmp(keyword, "MediaType") == 0) return mediaType;
        if (strcmp(keyword, "PrintOrientation") == 0) return orientation;
        if (strcmp(keyword, "PrintSpeed") == 0) return speed.empty() ? nullptr : speed.c_str();
        if (strcmp(keyword, "Darkness") == 0) return darkness.empty() ? nullptr : darkness.c_str();
        return nullptr;
      },
      words);
  return words;
}

bool darknessChosen(bool jobAsks, int configured, int jobDefault) {
  return jobAsks || configured != kInitialDarknessConfigured || jobDefault != 0;
}

std::vector<std::string> labelMediaNames() {
  size_t count = 0;
  const LabelStock* stocks = labelStocks(count);
  std::vector<std::string> names;
  for (size_t i = 0; i < count; ++i) names.push_back(stockMediaName(stocks[i]));
  names.push_back(formatSizeName("custom", "min", kMinWidthPoints, kMinLengthPoints, "in"));
  names.push_back(formatSizeName("custom", "max", kMaxWidthPoints, kMaxLengthPoints, "in"));
  return names;
}

std::string defaultLabelMediaName() { return stockMediaName(defaultLabelStock()); }
