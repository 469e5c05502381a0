// The printer descriptions, one per native resolution: each passes
// cupstestppd, offers the label stocks and a custom size within the print
// head's width, every label setting's default sends nothing, and the
// choices reach every vormel option word.
#include <cups/ppd.h>
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "cups_test_support.h"
#include "option_words.h"

namespace {

const int kResolutions[] = {203, 300, 600};

std::string ppdPath(int dpi) {
  return std::string(VORMEL_PPD_DIR) + "/vormel-" + std::to_string(dpi) + "dpi.ppd";
}
const std::string kPpd = ppdPath(300);

// Options whose choices are PostScript code for the job rather than option words.
bool isJobCodeOption(const char* keyword) {
  return strcmp(keyword, "PageSize") == 0 || strcmp(keyword, "PageRegion") == 0 ||
         strcmp(keyword, "Resolution") == 0;
}

struct PpdFile {
  explicit PpdFile(const std::string& path = kPpd) : ppd(ppdOpenFile(path.c_str())) {}
  ~PpdFile() {
    if (ppd != nullptr) ppdClose(ppd);
  }
  ppd_file_t* ppd;
};

TEST(PpdChoices, every_model_passes_cupstestppd_without_errors) {
  if (!fileExists(CUPSTESTPPD)) VORMEL_CANNOT_RUN("cupstestppd is not installed (cups-client)");
  for (const int dpi : kResolutions) {
    const ChildResult r = runChild(commandSpec({CUPSTESTPPD, "-W", "all", ppdPath(dpi)}));
    EXPECT_EQ(r.exitStatus, 0) << dpi << "\n" << r.out << r.err;
    EXPECT_NE(r.out.find(": PASS"), std::string::npos) << r.out;
  }
}

TEST(PpdChoices, each_model_names_its_own_resolution_and_differs_in_nothing_else) {
  const std::string reference = readFile(kPpd);
  for (const int dpi : kResolutions) {
    PpdFile file(ppdPath(dpi));
    ASSERT_NE(file.ppd, nullptr) << dpi;
    const ppd_attr_t* res = ppdFindAttr(file.ppd, "DefaultResolution", nullptr);
    ASSERT_NE(res, nullptr) << dpi;
    EXPECT_EQ(std::string(res->value), std::to_string(dpi) + "dpi");
    EXPECT_EQ(ppdFindOption(file.ppd, "Resolution"), nullptr)
        << "a resolution choice the model cannot print";
    EXPECT_NE(std::string(file.ppd->nickname).find(std::to_string(dpi) + " dpi"),
              std::string::npos);
    // Apart from the resolution and the names, the descriptions are the same text.
    std::string text = readFile(ppdPath(dpi));
    const std::string d = std::to_string(dpi);
    const std::pair<std::string, std::string> names[] = {{d + "dpi", "300dpi"},
                                                         {d + " dpi", "300 dpi"},
                                                         {"VORML" + d, "VORML300"},
                                                         {"vormel-" + d, "vormel-300"}};
    for (const auto& name : names)
      for (size_t at = text.find(name.first); at != std::string::npos;
           at = text.find(name.first, at + name.second.size()))
        text.replace(at, name.first.size(), name.second);
    EXPECT_EQ(describeDifference(reference, text), "") << dpi;
  }
}

TEST(PpdChoices, maintenance_offers_the_self_test_label_and_nothing_else) {
  PpdFile file;
  ASSERT_NE(file.ppd, nullptr);
  const ppd_attr_t* commands = ppdFindAttr(file.ppd, "cupsCommands", nullptr);
  ASSERT_NE(commands, nullptr);
  EXPECT_STREQ(commands->value, "PrintSelfTestPage");
  bool commandFilter = false;
  for (int i = 0; i < file.ppd->num_filters; ++i)
    if (std::string(file.ppd->filters[i]).rfind("application/vnd.cups-command ", 0) == 0)
      commandFilter = std::string(file.ppd->filters[i]).find(" vormel-cups") != std::string::npos;
  EXPECT_TRUE(commandFilter) << "command files would go to the spooler's PostScript command filter";
}

TEST(PpdChoices, every_label_setting_defaults_to_sending_nothing) {
  PpdFile file;
  ASSERT_NE(file.ppd, nullptr);
  int settings = 0;
  for (int g = 0; g < file.ppd->num_groups; ++g) {
    for (int o = 0; o < file.ppd->groups[g].num_options; ++o) {
      const ppd_option_t& option = file.ppd->groups[g].options[o];
      if (isJobCodeOption(option.keyword)) continue;
      ++settings;
      EXPECT_STREQ(option.defchoice, "PrinterDefault") << option.keyword;
      for (int c = 0; c < option.num_choices; ++c)
        EXPECT_TRUE(option.choices[c].code == nullptr || option.choices[c].code[0] == '\0')
            << option.keyword << " " << option.choices[c].choice << " sends PostScript";
    }
  }
  EXPECT_EQ(settings, 14);

  ppdMarkDefaults(file.ppd);
  std::vector<std::string> words;
  collectOptionWords(file.ppd, words);
  EXPECT_TRUE(words.empty());
}

TEST(PpdChoices, choices_reach_every_printer_setting_word) {
  PpdFile file;
  ASSERT_NE(file.ppd, nullptr);
  std::set<std::string> seen;
  for (int g = 0; g < file.ppd->num_groups; ++g) {
    for (int o = 0; o < file.ppd->groups[g].num_options; ++o) {
      const ppd_option_t& option = file.ppd->groups[g].options[o];
      // The rotation is the front end's own work, not an option word.
      if (isJobCodeOption(option.keyword) || strcmp(option.keyword, "Rotation") == 0) continue;
      for (int c = 0; c < option.num_choices; ++c) {
        ppdMarkDefaults(file.ppd);
        ppdMarkOption(file.ppd, option.keyword, option.choices[c].choice);
        std::vector<std::string> words;
        collectOptionWords(file.ppd, words);
        if (strcmp(option.choices[c].choice, "PrinterDefault") == 0) {
          EXPECT_TRUE(words.empty()) << option.keyword;
          continue;
        }
        // One standalone word, or one value word and its number.
        ASSERT_FALSE(words.empty()) << option.keyword << "=" << option.choices[c].choice;
        ASSERT_LE(words.size(), 2u);
        if (words.size() == 2) {
          EXPECT_TRUE(isPlainInteger(words[1].c_str())) << words[1];
        }
        seen.insert(words[0]);
      }
    }
  }
  const std::set<std::string> expected = {
      "-cont",        "-cutlabel",    "-cutjob",    "-peel",       "-tearoff",      "-tearoffstrip",
      "-rewind",      "-labelpercut", "-gap",       "-mark",       "-nogap",        "-advgap",
      "-advnotch",    "-tm",          "-dt",        "-pauseoff",   "-labelpause",   "-batchpause",
      "-batchsize",   "-noslashzero", "-slashzero", "-normOrient", "-invertOrient", "-normImage",
      "-mirrorImage", "-speed",       "-slew",      "-intensity",  "-tearoffset"};
  EXPECT_EQ(seen, expected);
}

TEST(PpdChoices, label_stocks_cover_the_whole_label_within_the_print_heads_width) {
  PpdFile file;
  ASSERT_NE(file.ppd, nullptr);
  struct Size {
    const char* name;
    float width, length;
  };
  // Inch and metric stocks from the smallest to the longest, and the default.
  const Size sizes[] = {{"w72h36", 72, 36},
                        {"w72h72", 72, 72},
                        {"w144h72", 144, 72},
                        {"w216h144", 216, 144},
                        {"w252h81", 252, 81},
                        {"w288h216", 288, 216},
                        {"w288h288", 288, 288},
                        {"w288h432", 288, 432},
                        {"w288h576", 288, 576},
                        {"w283h425", 283.46f, 425.2f},
                        {"w176h82", 175.75f, 82.2f},
                        {"w176h283", 175.75f, 283.46f},
                        {"w292h564", 291.97f, 564.09f}};
  for (const Size& s : sizes) {
    const ppd_size_t* size = ppdPageSize(file.ppd, s.name);
    ASSERT_NE(size, nullptr) << s.name;
    EXPECT_NEAR(size->width, s.width, 0.01) << s.name;
    EXPECT_NEAR(size->length, s.length, 0.01) << s.name;
  }
  EXPECT_STREQ(ppdFindOption(file.ppd, "PageSize")->defchoice, "w288h432");
  // Every size is a whole label (no margins), named after its size in points
  // and no wider than the custom size allows.
  ASSERT_TRUE(file.ppd->variable_sizes);
  int named = 0;
  for (int i = 0; i < file.ppd->num_sizes; ++i) {
    const ppd_size_t& size = file.ppd->sizes[i];
    if (strcmp(size.name, "Custom") == 0) continue;
    ++named;
    char expectedName[48];
    snprintf(expectedName, sizeof expectedName, "w%dh%d", int(size.width + 0.5f),
             int(size.length + 0.5f));
    EXPECT_STREQ(size.name, expectedName);
    EXPECT_EQ(size.left, 0) << size.name;
    EXPECT_EQ(size.bottom, 0) << size.name;
    EXPECT_EQ(size.right, size.width) << size.name;
    EXPECT_EQ(size.top, size.length) << size.name;
    EXPECT_LE(size.width, file.ppd->custom_max[0]) << size.name;
    EXPECT_GE(size.width, file.ppd->custom_min[0]) << size.name;
  }
  EXPECT_GE(named, 40);
  EXPECT_LE(named, 60);
  EXPECT_NEAR(file.ppd->custom_max[0], 295.2, 0.01);  // 4.1 in
  EXPECT_NEAR(file.ppd->custom_min[0], 36, 0.01);
  EXPECT_NEAR(file.ppd->custom_max[1], 2880, 0.01);  // 40 in
  EXPECT_NEAR(file.ppd->custom_min[1], 18, 0.01);
}

}  // namespace
