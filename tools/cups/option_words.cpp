// Maps the marked PPD choices of the label settings to vormel option words.
// One table row per PPD option: either a word per choice, or a value word
// whose value is the choice name itself (a number).
#include "option_words.h"

#include <cstring>

namespace {

struct ChoiceWord {
  const char* choice;
  const char* word;
};

struct SettingRow {
  const char* keyword;      // PPD option keyword
  const char* valueWord;    // set when the choice name is the value of this word
  const ChoiceWord* words;  // otherwise: one word per choice, ended by {nullptr, nullptr}
};

const ChoiceWord kMediaHandling[] = {
    {"Continuous", "-cont"}, {"CutLabel", "-cutlabel"}, {"CutJob", "-cutjob"},
    {"Peel", "-peel"},       {"TearOff", "-tearoff"},   {"TearOffStrip", "-tearoffstrip"},
    {"Rewind", "-rewind"},   {nullptr, nullptr},
};
const ChoiceWord kSensing[] = {
    {"Gap", "-gap"},
    {"Mark", "-mark"},
    {"NoGap", "-nogap"},
    {"AdvancedGap", "-advgap"},
    {"AdvancedNotch", "-advnotch"},
    {nullptr, nullptr},
};
const ChoiceWord kMediaType[] = {
    {"ThermalTransfer", "-tm"},
    {"DirectThermal", "-dt"},
    {nullptr, nullptr},
};
const ChoiceWord kPauseMode[] = {
    {"Off", "-pauseoff"},
    {"EachLabel", "-labelpause"},
    {"Batch", "-batchpause"},
    {nullptr, nullptr},
};
const ChoiceWord kSlashZero[] = {
    {"Off", "-noslashzero"},
    {"On", "-slashzero"},
    {nullptr, nullptr},
};
const ChoiceWord kPrintOrientation[] = {
    {"Normal", "-normOrient"},
    {"Inverted", "-invertOrient"},
    {nullptr, nullptr},
};
const ChoiceWord kMirrorImage[] = {
    {"Normal", "-normImage"},
    {"Mirrored", "-mirrorImage"},
    {nullptr, nullptr},
};

const SettingRow kSettings[] = {
    {"MediaHandling", nullptr, kMediaHandling},
    {"LabelsPerCut", "-labelpercut", nullptr},
    {"Sensing", nullptr, kSensing},
    {"MediaType", nullptr, kMediaType},
    {"PauseMode", nullptr, kPauseMode},
    {"BatchSize", "-batchsize", nullptr},
    {"SlashZero", nullptr, kSlashZero},
    {"PrintOrientation", nullptr, kPrintOrientation},
    {"MirrorImage", nullptr, kMirrorImage},
    {"PrintSpeed", "-speed", nullptr},
    {"SlewSpeed", "-slew", nullptr},
    {"Darkness", "-intensity", nullptr},
    {"TearOffset", "-tearoffset", nullptr},
};

const char* findWord(const ChoiceWord* words, const char* choice) {
  for (const ChoiceWord* w = words; w->choice != nullptr; ++w)
    if (strcmp(w->choice, choice) == 0) return w->word;
  return nullptr;
}

}  // namespace

bool isPlainInteger(const char* text) {
  const char* p = text;
  if (*p == '-') ++p;
  const size_t digits = strspn(p, "0123456789");
  return digits > 0 && digits <= 6 && p[digits] == '\0';
}

void collectSettingWords(const SettingChoice& choiceOf, std::vector<std::string>& words) {
  for (const SettingRow& row : kSettings) {
    const char* choice = choiceOf(row.keyword);
    if (choice == nullptr || strcmp(choice, "PrinterDefault") == 0) continue;

    // A value-taking word must be followed by its number: vormel reads the
    // next word as the value whatever it is, so never pass anything else.
    if (row.valueWord != nullptr) {
      if (!isPlainInteger(choice)) continue;
      words.emplace_back(row.valueWord);
      words.emplace_back(choice);
      continue;
    }
    const char* word = findWord(row.words, choice);
    if (word != nullptr) words.emplace_back(word);
  }
}

void collectOptionWords(ppd_file_t* ppd, std::vector<std::string>& words) {
  collectSettingWords(
      [ppd](const char* keyword) -> const char* {
        const ppd_choice_t* marked = ppdFindMarkedChoice(ppd, keyword);
        return marked == nullptr ? nullptr : marked->choice;
      },
      words);
}
