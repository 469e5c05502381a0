// The label printer's settings in IPP terms (media tracking, darkness, speed)
// turned into vormel option words, and the label sizes the printer offers as
// media names. Used by the printer application's driver.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

// Darkness levels the printers take: 0 to kDarknessLevels - 1.
constexpr int kDarknessLevels = 31;
// One inch per second in IPP speed units (hundredths of millimetres per second).
constexpr int kSpeedUnitsPerInch = 2540;
// The printer darkness the application starts with (printer-darkness-configured).
constexpr int kInitialDarknessConfigured = 50;
// Print speeds the printers take, in inches per second.
constexpr int kMinSpeedInches = 1;
constexpr int kMaxSpeedInches = 12;

enum class MediaTracking { Unset, Continuous, Gap, Mark };

// What the printer does with a printed label (IPP label-mode-configured).
enum class LabelMode { Unset, TearOff, PeelOff, Cutter, CutterDelayed, Rewind };

// The printer's ribbon use and print orientation: its own setting unless
// chosen (vendor attributes label-media-type and label-print-orientation).
enum class RibbonUse { Unset, ThermalTransfer, DirectThermal };
enum class PrintOrientation { Unset, Normal, Inverted };

// The keywords of those attributes, "printer-default" first.
extern const char* const
    kLabelMediaTypeKeywords[3];  // printer-default, thermal-transfer, direct-thermal
extern const char* const kLabelPrintOrientationKeywords[3];  // printer-default, normal, inverted

// The setting a keyword of those lists stands for; Unset for
// "printer-default" and for a keyword not in the list.
RibbonUse ribbonUseFor(const char* keyword);
PrintOrientation printOrientationFor(const char* keyword);

// The other printer settings of the printer descriptions, offered the same
// way: a vendor attribute each, whose keywords are "printer-default" and then
// one per choice of the PPD option `ppdKeyword`, in the PPD's order. A
// number choice's keyword is the number itself; a named choice's keyword is
// its name in IPP style ("each-label" for EachLabel). The rotation
// ("label-rotation", PPD option Rotation) has no option word: the driver
// turns the picture on the label itself (labelRotation).
struct VendorSetting {
  const char* attribute;        // the vendor attribute, e.g. "label-tear-offset"
  const char* ppdKeyword;       // the PPD option, e.g. "TearOffset"
  const char* const* keywords;  // "printer-default" first
  const char* const* choices;   // the PPD choice of each keyword; nullptr for "printer-default"
  size_t count;                 // keywords (and choices)
};

// How many there are (the driver's vendor attributes are these and the two
// above, within PAPPL's limit).
constexpr size_t kVendorSettingCount = 8;

// The table of those settings; `count` receives its length.
const VendorSetting* vendorSettings(size_t& count);

// The PPD choice that `keyword` of `setting` stands for; nullptr for
// "printer-default", for nullptr and for a keyword not in the list.
const char* vendorPpdChoice(const VendorSetting& setting, const char* keyword);

// The degrees the picture is turned on the label for the vendor settings
// chosen in `ppdChoices` (PPD option keyword to choice): 90, 180 or 270 as
// chosen, else 0.
int labelRotation(const std::map<std::string, std::string>& ppdChoices);

struct IppLabelSettings {
  LabelMode mode = LabelMode::Unset;
  MediaTracking tracking = MediaTracking::Unset;
  int darknessConfigured = -1;  // printer-darkness-configured, 0..100, or -1 when not set
  int printDarkness = 0;        // print-darkness, -100..100, added to the configured darkness
  int printSpeed = 0;           // print-speed in IPP units, 0 for the printer's own speed
  RibbonUse ribbon = RibbonUse::Unset;
  PrintOrientation orientation = PrintOrientation::Unset;
  // The settings of the vendor setting table that are chosen: PPD option
  // keyword to PPD choice ("TearOffset" to "-10").
  std::map<std::string, std::string> ppdChoices;
};

// The option words for `settings`, in vormel's fixed order: the media
// handling word for the label mode (tear off, peel off, cut after each label,
// cut after the job, rewind), the sensing word for the media tracking, the
// media type word ("-tm", "-dt"), the orientation word ("-normOrient",
// "-invertOrient"), the words of the vendor settings chosen in `ppdChoices`
// (each in the place the front end gives it), "-speed" with whole inches
// per second (rounded, within 1..12), "-intensity" with the darkness level (configured plus job
// darkness, within 0..100, scaled to 0..30 and rounded). A setting that is
// not set gives no word.
std::vector<std::string> labelOptionWords(const IppLabelSettings& settings);

// Whether anyone chose a darkness for a job: the job asked for print-darkness
// (`jobAsks`), or the printer's owner moved printer-darkness-configured
// (`configured`) away from where the application starts it or set a
// print-darkness-default (`jobDefault`) other than 0. When nobody did, no
// darkness word is sent and the printer keeps its own setting, as the
// spooler front end does for the printer-default choice.
bool darknessChosen(bool jobAsks, int configured, int jobDefault);

// The PWG media name of every label stock, in the order of the stock list,
// each naming its size in the stock's own unit; then the custom size limits
// as "custom_min_..." and "custom_max_..." names.
std::vector<std::string> labelMediaNames();

// The media name of the default label stock (4 x 6 in).
std::string defaultLabelMediaName();
