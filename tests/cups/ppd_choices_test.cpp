// The printer description: it passes cupstestppd, every label setting's
// default sends nothing, and its choices reach every vormel option word.
#include <cups/ppd.h>
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "cups_test_support.h"
#include "option_words.h"

namespace {

const std::string kPpd = std::string(VORMEL_SOURCE_DIR) + "/packaging/vormel.ppd";

// Options whose choices are PostScript code for the job rather than option words.
bool isJobCodeOption(const char* keyword) {
  return strcmp(keyword, "PageSize") == 0 || strcmp(keyword, "PageRegion") == 0 ||
         strcmp(keyword, "Resolution") == 0;
}

struct PpdFile {
  PpdFile() : ppd(ppdOpenFile(kPpd.c_str())) {}
  ~PpdFile() {
    if (ppd != nullptr) ppdClose(ppd);
  }
  ppd_file_t* ppd;
};

TEST(PpdChoices, passes_cupstestppd_without_errors) {
  if (!fileExists(CUPSTESTPPD)) GTEST_SKIP() << "cupstestppd is not installed (cups-client)";
  const RunResult r = runProgram({CUPSTESTPPD, "-W", "all", kPpd}, {}, "");
  EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
  EXPECT_NE(r.out.find(": PASS"), std::string::npos) << r.out;
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
  // The default resolution sends nothing either, so the job's own request stays.
  const ppd_choice_t* res = ppdFindMarkedChoice(file.ppd, "Resolution");
  ASSERT_NE(res, nullptr);
  EXPECT_TRUE(res->code == nullptr || res->code[0] == '\0');
}

TEST(PpdChoices, choices_reach_every_printer_setting_word) {
  PpdFile file;
  ASSERT_NE(file.ppd, nullptr);
  std::set<std::string> seen;
  for (int g = 0; g < file.ppd->num_groups; ++g) {
    for (int o = 0; o < file.ppd->groups[g].num_options; ++o) {
      const ppd_option_t& option = file.ppd->groups[g].options[o];
      if (isJobCodeOption(option.keyword)) continue;
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
      "-cont", "-cutlabel", "-cutjob", "-peel", "-tearoff", "-tearoffstrip", "-rewind",
      "-labelpercut", "-gap", "-mark", "-nogap", "-advgap", "-advnotch", "-tm", "-dt",
      "-pauseoff", "-labelpause", "-batchpause", "-batchsize", "-noslashzero", "-slashzero",
      "-normOrient", "-invertOrient", "-normImage", "-mirrorImage", "-speed", "-slew",
      "-intensity", "-tearoffset", "-rotate"};
  EXPECT_EQ(seen, expected);
}

TEST(PpdChoices, label_sizes_and_resolution_code_as_vormel_reads_them) {
  PpdFile file;
  ASSERT_NE(file.ppd, nullptr);
  struct Size {
    const char* name;
    float width, length;
  };
  const Size sizes[] = {{"w288h432", 288, 432}, {"w288h288", 288, 288}, {"w288h144", 288, 144},
                        {"w216h144", 216, 144}, {"w144h72", 144, 72},   {"w283h425", 283.46f, 425.2f}};
  for (const Size& s : sizes) {
    const ppd_size_t* size = ppdPageSize(file.ppd, s.name);
    ASSERT_NE(size, nullptr) << s.name;
    EXPECT_FLOAT_EQ(size->width, s.width) << s.name;
    EXPECT_FLOAT_EQ(size->length, s.length) << s.name;
    EXPECT_EQ(size->left, 0) << s.name;
    EXPECT_EQ(size->bottom, 0) << s.name;
  }
  ppd_option_t* res = ppdFindOption(file.ppd, "Resolution");
  ASSERT_NE(res, nullptr);
  for (const char* dpi : {"203", "600"}) {
    const ppd_choice_t* choice = ppdFindChoice(res, (std::string(dpi) + "dpi").c_str());
    ASSERT_NE(choice, nullptr) << dpi;
    EXPECT_EQ(std::string(choice->code),
              std::string("<< /HWResolution [") + dpi + " " + dpi + "] >> setpagedevice");
  }
}

}  // namespace
