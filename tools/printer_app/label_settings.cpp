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

namespace {

// Keyword lists and their PPD choices, as the printer descriptions list them.
const char* const kTearOffsetKeywords[] = {"printer-default",
                                           "-50",
                                           "-40",
                                           "-30",
                                           "-25",
                                           "-20",
                                           "-15",
                                           "-10",
                                           "-9",
                                           "-8",
                                           "-7",
                                           "-6",
                                           "-5",
                                           "-4",
                                           "-3",
                                           "-2",
                                           "-1",
                                           "0",
                                           "1",
                                           "2",
                                           "3",
                                           "4",
                                           "5",
                                           "6",
                                           "7",
                                           "8",
                                           "9",
                                           "10",
                                           "15",
                                           "20",
                                           "25",
                                           "30",
                                           "40",
                                           "50"};
const char* const kTearOffsetChoices[] = {
    nullptr, "-50", "-40", "-30", "-25", "-20", "-15", "-10", "-9", "-8", "-7", "-6",
    "-5",    "-4",  "-3",  "-2",  "-1",  "0",   "1",   "2",   "3",  "4",  "5",  "6",
    "7",     "8",   "9",   "10",  "15",  "20",  "25",  "30",  "40", "50"};
const char* const kPauseModeKeywords[] = {"printer-default", "off", "each-label", "batch"};
const char* const kPauseModeChoices[] = {nullptr, "Off", "EachLabel", "Batch"};
const char* const kCountKeywords[] = {"printer-default",
                                      "1",
                                      "2",
                                      "3",
                                      "4",
                                      "5",
                                      "6",
                                      "7",
                                      "8",
                                      "9",
                                      "10",
                                      "12",
                                      "15",
                                      "20",
                                      "25",
                                      "50",
                                      "100"};
const char* const kCountChoices[] = {nullptr, "1",  "2",  "3",  "4",  "5",  "6",  "7",  "8",
                                     "9",     "10", "12", "15", "20", "25", "50", "100"};
const char* const kLabelsPerCutKeywords[] = {"printer-default",
                                             "0",
                                             "1",
                                             "2",
                                             "3",
                                             "4",
                                             "5",
                                             "6",
                                             "7",
                                             "8",
                                             "9",
                                             "10",
                                             "12",
                                             "15",
                                             "20",
                                             "25",
                                             "50",
                                             "100"};
const char* const kLabelsPerCutChoices[] = {nullptr, "0",  "1",  "2",  "3",  "4",
                                            "5",     "6",  "7",  "8",  "9",  "10",
                                            "12",    "15", "20", "25", "50", "100"};
const char* const kSlashZeroKeywords[] = {"printer-default", "off", "on"};
const char* const kSlashZeroChoices[] = {nullptr, "Off", "On"};
const char* const kMirrorImageKeywords[] = {"printer-default", "normal", "mirrored"};
const char* const kMirrorImageChoices[] = {nullptr, "Normal", "Mirrored"};
const char* const kSlewSpeedKeywords[] = {
    "printer-default", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12"};
const char* const kSlewSpeedChoices[] = {nullptr, "1", "2", "3",  "4",  "5", "6",
                                         "7",     "8", "9", "10", "11", "12"};

// The turn of the picture on the label; "printer-default" is no turn.
const char* const kRotationKeywords[] = {"printer-default", "90", "180", "270"};
const char* const kRotationChoices[] = {nullptr, "90", "180", "270"};

template <size_t N, size_t M>
constexpr VendorSetting setting(const char* attribute, const char* ppdKeyword,
                                const char* const (&keywords)[N], const char* const (&choices)[M]) {
  static_assert(N == M, "one PPD choice per keyword");
  return VendorSetting{attribute, ppdKeyword, keywords, choices, N};
}

const VendorSetting kVendorSettings[] = {
    setting("label-tear-offset", "TearOffset", kTearOffsetKeywords, kTearOffsetChoices),
    setting("label-pause-mode", "PauseMode", kPauseModeKeywords, kPauseModeChoices),
    setting("label-batch-size", "BatchSize", kCountKeywords, kCountChoices),
    setting("label-labels-per-cut", "LabelsPerCut", kLabelsPerCutKeywords, kLabelsPerCutChoices),
    setting("label-slashed-zero", "SlashZero", kSlashZeroKeywords, kSlashZeroChoices),
    setting("label-mirror-image", "MirrorImage", kMirrorImageKeywords, kMirrorImageChoices),
    setting("label-slew-speed", "SlewSpeed", kSlewSpeedKeywords, kSlewSpeedChoices),
    setting("label-rotation", "Rotation", kRotationKeywords, kRotationChoices),
};

static_assert(sizeof kVendorSettings / sizeof kVendorSettings[0] == kVendorSettingCount,
              "kVendorSettingCount counts the table");

}  // namespace

const VendorSetting* vendorSettings(size_t& count) {
  count = sizeof kVendorSettings / sizeof kVendorSettings[0];
  return kVendorSettings;
}

const char* vendorPpdChoice(const VendorSetting& setting, const char* keyword) {
  if (keyword == nullptr) return nullptr;
  for (size_t i = 0; i < setting.count; ++i)
    if (strcmp(setting.keywords[i], keyword) == 0) return setting.choices[i];
  return nullptr;
}

int labelRotation(const std::map<std::string, std::string>& ppdChoices) {
  const auto chosen = ppdChoices.find("Rotation");
  if (chosen == ppdChoices.end()) return 0;
  for (const int degrees : {90, 180, 270})
    if (chosen->second == std::to_string(degrees)) return degrees;
  return 0;
}

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
        const auto chosen = settings.ppdChoices.find(keyword);
        return chosen != settings.ppdChoices.end() ? chosen->second.c_str() : nullptr;
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
