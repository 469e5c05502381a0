// The printer application's label settings: IPP values into vormel option
// words, and the label sizes it offers against the printer descriptions'.
#include "label_settings.h"

#include <cups/cups.h>
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "label_stocks.h"
#include "test_files.h"

namespace {

using Words = std::vector<std::string>;

struct SettingsRow {
  const char* claim;
  IppLabelSettings settings;
  Words words;
};

IppLabelSettings make(MediaTracking tracking, int configured, int job, int speed,
                      LabelMode mode = LabelMode::Unset) {
  IppLabelSettings s;
  s.mode = mode;
  s.tracking = tracking;
  s.darknessConfigured = configured;
  s.printDarkness = job;
  s.printSpeed = speed;
  return s;
}

IppLabelSettings withChoices(IppLabelSettings s, std::map<std::string, std::string> choices) {
  s.ppdChoices = std::move(choices);
  return s;
}

IppLabelSettings withRibbon(IppLabelSettings s, RibbonUse ribbon, PrintOrientation orientation) {
  s.ribbon = ribbon;
  s.orientation = orientation;
  return s;
}

const SettingsRow kSettingsRows[] = {
    {"nothing_set_gives_no_word", make(MediaTracking::Unset, -1, 0, 0), {}},
    {"gap_tracking_is_gap_sensing", make(MediaTracking::Gap, -1, 0, 0), {"-gap"}},
    {"mark_tracking_is_black_mark_sensing", make(MediaTracking::Mark, -1, 0, 0), {"-mark"}},
    {"continuous_tracking_is_no_gap_sensing",
     make(MediaTracking::Continuous, -1, 0, 0),
     {"-nogap"}},
    {"configured_darkness_scales_to_thirty_levels",
     make(MediaTracking::Unset, 50, 0, 0),
     {"-intensity", "15"}},
    {"full_darkness_is_level_thirty", make(MediaTracking::Unset, 100, 0, 0), {"-intensity", "30"}},
    {"job_darkness_adds_to_configured",
     make(MediaTracking::Unset, 50, 20, 0),
     {"-intensity", "21"}},
    {"darkness_below_zero_stops_at_level_zero",
     make(MediaTracking::Unset, 10, -100, 0),
     {"-intensity", "0"}},
    {"darkness_above_hundred_stops_at_level_thirty",
     make(MediaTracking::Unset, 90, 100, 0),
     {"-intensity", "30"}},
    {"speed_in_whole_inches_per_second", make(MediaTracking::Unset, -1, 0, 5080), {"-speed", "2"}},
    {"speed_rounds_to_nearest_inch", make(MediaTracking::Unset, -1, 0, 4000), {"-speed", "2"}},
    {"speed_below_one_inch_is_one", make(MediaTracking::Unset, -1, 0, 100), {"-speed", "1"}},
    {"speed_above_twelve_inches_is_twelve",
     make(MediaTracking::Unset, -1, 0, 100000),
     {"-speed", "12"}},
    {"tear_off_mode_is_tear_off_handling",
     make(MediaTracking::Unset, -1, 0, 0, LabelMode::TearOff),
     {"-tearoff"}},
    {"peel_off_mode_is_peel_handling",
     make(MediaTracking::Unset, -1, 0, 0, LabelMode::PeelOff),
     {"-peel"}},
    {"cutter_mode_cuts_each_label",
     make(MediaTracking::Unset, -1, 0, 0, LabelMode::Cutter),
     {"-cutlabel"}},
    {"delayed_cutter_mode_cuts_after_the_job",
     make(MediaTracking::Unset, -1, 0, 0, LabelMode::CutterDelayed),
     {"-cutjob"}},
    {"rewind_mode_is_rewind_handling",
     make(MediaTracking::Unset, -1, 0, 0, LabelMode::Rewind),
     {"-rewind"}},
    {"every_setting_in_vormel_order",
     make(MediaTracking::Mark, 100, 0, 2540, LabelMode::PeelOff),
     {"-peel", "-mark", "-speed", "1", "-intensity", "30"}},
    {"all_settings_in_vormel_order",
     make(MediaTracking::Gap, 40, 0, 7620),
     {"-gap", "-speed", "3", "-intensity", "12"}},
    {"media_type_and_orientation_between_sensing_and_speed",
     withRibbon(make(MediaTracking::Gap, 40, 0, 7620), RibbonUse::DirectThermal,
                PrintOrientation::Inverted),
     {"-gap", "-dt", "-invertOrient", "-speed", "3", "-intensity", "12"}},
    {"thermal_transfer_and_normal_orientation",
     withRibbon(make(MediaTracking::Unset, -1, 0, 0), RibbonUse::ThermalTransfer,
                PrintOrientation::Normal),
     {"-tm", "-normOrient"}},
    {"tear_offset_is_its_value", withChoices({}, {{"TearOffset", "-10"}}), {"-tearoffset", "-10"}},
    {"pause_after_each_label", withChoices({}, {{"PauseMode", "EachLabel"}}), {"-labelpause"}},
    {"pause_by_batch_with_its_size",
     withChoices({}, {{"PauseMode", "Batch"}, {"BatchSize", "25"}}),
     {"-batchpause", "-batchsize", "25"}},
    {"pause_off", withChoices({}, {{"PauseMode", "Off"}}), {"-pauseoff"}},
    {"labels_per_cut_follows_the_handling",
     withChoices(make(MediaTracking::Unset, -1, 0, 0, LabelMode::Cutter), {{"LabelsPerCut", "0"}}),
     {"-cutlabel", "-labelpercut", "0"}},
    {"slashed_zero_on_and_off_mirror_normal",
     withChoices({}, {{"SlashZero", "On"}, {"MirrorImage", "Normal"}}),
     {"-slashzero", "-normImage"}},
    {"slew_speed_after_print_speed",
     withChoices(make(MediaTracking::Unset, -1, 0, 2540), {{"SlewSpeed", "12"}}),
     {"-speed", "1", "-slew", "12"}},
    {"rotation_is_no_word", withChoices({}, {{"Rotation", "90"}}), {}},
    {"every_vendor_setting_in_vormel_order",
     withChoices(withRibbon(make(MediaTracking::Gap, 40, 0, 7620, LabelMode::Cutter),
                            RibbonUse::DirectThermal, PrintOrientation::Inverted),
                 {{"TearOffset", "5"},
                  {"PauseMode", "Batch"},
                  {"BatchSize", "2"},
                  {"LabelsPerCut", "3"},
                  {"SlashZero", "Off"},
                  {"MirrorImage", "Mirrored"},
                  {"SlewSpeed", "4"}}),
     {"-cutlabel", "-labelpercut", "3", "-gap", "-dt", "-batchpause", "-batchsize", "2",
      "-noslashzero", "-invertOrient", "-mirrorImage", "-speed", "3", "-slew", "4", "-intensity",
      "12", "-tearoffset", "5"}},
};

class LabelOptionWords : public ::testing::TestWithParam<SettingsRow> {};

TEST_P(LabelOptionWords, settings_give_exactly_these_words) {
  EXPECT_EQ(labelOptionWords(GetParam().settings), GetParam().words);
}

INSTANTIATE_TEST_SUITE_P(Settings, LabelOptionWords, ::testing::ValuesIn(kSettingsRows),
                         [](const ::testing::TestParamInfo<SettingsRow>& row) {
                           return row.param.claim;
                         });

// The attribute keywords map to the settings; "printer-default" and unknown
// keywords leave the printer its own.
TEST(VendorSettings, keywords_name_the_settings_and_anything_else_is_unset) {
  EXPECT_EQ(ribbonUseFor("direct-thermal"), RibbonUse::DirectThermal);
  EXPECT_EQ(ribbonUseFor("thermal-transfer"), RibbonUse::ThermalTransfer);
  EXPECT_EQ(printOrientationFor("inverted"), PrintOrientation::Inverted);
  EXPECT_EQ(printOrientationFor("normal"), PrintOrientation::Normal);
  for (const char* other : {"printer-default", "", "Direct-Thermal", "inverted "}) {
    EXPECT_EQ(ribbonUseFor(other), RibbonUse::Unset) << other;
    EXPECT_EQ(printOrientationFor(other), PrintOrientation::Unset) << other;
  }
  EXPECT_EQ(ribbonUseFor(nullptr), RibbonUse::Unset);
}

// The keywords of every other vendor setting stand for the PPD's choices of
// its option: the first is "printer-default" and stands for none, each other
// for one choice, in the PPD's order, and every choice of the PPD but
// PrinterDefault has one. The printer descriptions are made from the
// template read here.
TEST(VendorSettings, keywords_stand_for_every_choice_of_the_printer_descriptions) {
  const std::string ppd = readFile(std::string(VORMEL_SOURCE_DIR) + "/packaging/vormel.ppd.in");
  ASSERT_FALSE(ppd.empty());
  size_t count = 0;
  const VendorSetting* settings = vendorSettings(count);
  ASSERT_EQ(count, kVendorSettingCount);
  std::set<std::string> attributes;
  for (size_t i = 0; i < count; ++i) {
    const VendorSetting& v = settings[i];
    EXPECT_TRUE(attributes.insert(v.attribute).second) << v.attribute;
    EXPECT_NE(std::string(v.attribute), "label-media-type");
    EXPECT_NE(std::string(v.attribute), "label-print-orientation");
    // The PPD's choices of the option, "*Keyword Choice/Text: ..." lines.
    std::vector<std::string> ppdChoices;
    const std::string start = std::string("*") + v.ppdKeyword + " ";
    for (size_t at = ppd.find("\n" + start); at != std::string::npos;
         at = ppd.find("\n" + start, at + 1)) {
      const size_t from = at + 1 + start.size();
      ppdChoices.push_back(ppd.substr(from, ppd.find('/', from) - from));
    }
    ASSERT_FALSE(ppdChoices.empty()) << v.ppdKeyword;
    EXPECT_EQ(ppdChoices[0], "PrinterDefault") << v.ppdKeyword;
    ASSERT_EQ(v.count, ppdChoices.size()) << v.ppdKeyword;
    EXPECT_STREQ(v.keywords[0], "printer-default");
    EXPECT_EQ(vendorPpdChoice(v, "printer-default"), nullptr) << v.ppdKeyword;
    for (size_t k = 1; k < v.count; ++k) {
      ASSERT_NE(v.choices[k], nullptr) << v.ppdKeyword << " " << k;
      EXPECT_EQ(v.choices[k], ppdChoices[k]) << v.ppdKeyword;
      EXPECT_STREQ(vendorPpdChoice(v, v.keywords[k]), v.choices[k]) << v.ppdKeyword;
    }
    for (const char* other : {"", "PrinterDefault", "printer-default ", "101"})
      EXPECT_EQ(vendorPpdChoice(v, other), nullptr) << v.ppdKeyword << " " << other;
    EXPECT_EQ(vendorPpdChoice(v, nullptr), nullptr);
  }
  // Named choices get IPP-style keywords.
  EXPECT_STREQ(vendorPpdChoice(settings[1], "each-label"), "EachLabel");
  EXPECT_STREQ(vendorPpdChoice(settings[5], "mirrored"), "Mirrored");
}

// The rotation is the chosen number of degrees, and none without a choice
// or for a choice that is not a turn the printer descriptions offer.
TEST(VendorSettings, rotation_is_the_chosen_turn) {
  EXPECT_EQ(labelRotation({}), 0);
  EXPECT_EQ(labelRotation({{"Rotation", "90"}}), 90);
  EXPECT_EQ(labelRotation({{"Rotation", "180"}, {"MirrorImage", "Mirrored"}}), 180);
  EXPECT_EQ(labelRotation({{"Rotation", "270"}}), 270);
  for (const char* other : {"45", "0", "", "PrinterDefault", "-90"})
    EXPECT_EQ(labelRotation({{"Rotation", other}}), 0) << other;
  EXPECT_EQ(labelRotation({{"TearOffset", "90"}}), 0);
}

// A darkness is chosen by the job, or by the owner moving either printer
// value away from where the application starts them.
TEST(DarknessChoice, darkness_is_chosen_by_the_job_or_a_changed_printer_value) {
  EXPECT_FALSE(darknessChosen(false, kInitialDarknessConfigured, 0));
  EXPECT_TRUE(darknessChosen(true, kInitialDarknessConfigured, 0));
  EXPECT_TRUE(darknessChosen(false, kInitialDarknessConfigured + 1, 0));
  EXPECT_TRUE(darknessChosen(false, kInitialDarknessConfigured, -10));
}

// Every stock is offered under a PWG name whose size is the stock's, within
// a hundredth of a millimetre's rounding; the names are unique and the
// custom limits close the list.
TEST(LabelMedia, every_label_stock_is_offered_at_its_size) {
  size_t count = 0;
  const LabelStock* stocks = labelStocks(count);
  const std::vector<std::string> names = labelMediaNames();
  ASSERT_EQ(names.size(), count + 2);
  std::set<std::string> unique(names.begin(), names.end());
  EXPECT_EQ(unique.size(), names.size());
  for (size_t i = 0; i < count; ++i) {
    const pwg_media_t* media = pwgMediaForPWG(names[i].c_str());
    ASSERT_NE(media, nullptr) << names[i];
    EXPECT_NEAR(media->width * 72.0 / 2540, stockWidthPoints(stocks[i]), 0.05) << names[i];
    EXPECT_NEAR(media->length * 72.0 / 2540, stockLengthPoints(stocks[i]), 0.05) << names[i];
  }
}

TEST(LabelMedia, custom_limits_are_those_of_the_printer_descriptions) {
  const std::vector<std::string> names = labelMediaNames();
  ASSERT_GE(names.size(), 2u);
  // pwgMediaForPWG answers a custom name in one static record: copy each.
  const pwg_media_t* found = pwgMediaForPWG(names[names.size() - 2].c_str());
  ASSERT_NE(found, nullptr);
  const pwg_media_t low = *found;
  found = pwgMediaForPWG(names.back().c_str());
  ASSERT_NE(found, nullptr);
  const pwg_media_t high = *found;
  EXPECT_EQ(names[names.size() - 2].rfind("custom_min_", 0), 0u);
  EXPECT_EQ(names.back().rfind("custom_max_", 0), 0u);
  EXPECT_NEAR(low.width * 72.0 / 2540, kMinWidthPoints, 0.05);
  EXPECT_NEAR(low.length * 72.0 / 2540, kMinLengthPoints, 0.05);
  EXPECT_NEAR(high.width * 72.0 / 2540, kMaxWidthPoints, 0.05);
  EXPECT_NEAR(high.length * 72.0 / 2540, kMaxLengthPoints, 0.05);
}

TEST(LabelMedia, default_is_four_by_six_inches) {
  const pwg_media_t* media = pwgMediaForPWG(defaultLabelMediaName().c_str());
  ASSERT_NE(media, nullptr);
  EXPECT_EQ(media->width, 10160);
  EXPECT_EQ(media->length, 15240);
}

}  // namespace
