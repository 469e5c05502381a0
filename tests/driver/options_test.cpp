// Option words: every word of both tables, the pending-value slot and its
// consequences, and the decimal conversion. Each row runs parseOptions from
// the defaults and compares every setting, so a word that touches more than
// it should is caught as well.
#include "driver/options.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "state/job_settings.h"

namespace {

struct Settings {
  bool debug, raw, pcx;
  unsigned char sfcc;
  std::string dir;
  int32_t speed, slew, intensity, labelCut, batchSize, tearOffset, rotate, sRow, sCol;
  int32_t media, gap, type, pause, slash, orient, mirror;
};

Settings current() {
  return {bDebug,        bRaw,       PCXraw,    newSFCC,    debugDirLoc, printSpeed, slewSpeed,
          intensity,     labelCut,   batchSize, tearOffset, rotateimage, sRow,       sCol,
          mediaHandling, gapSensing, mediaType, pauseMode,  slashzero,   orient,     mirror};
}

std::string describe(const Settings& s) {
  return "debug=" + std::to_string(s.debug) + " raw=" + std::to_string(s.raw) +
         " pcx=" + std::to_string(s.pcx) + " sfcc=" + std::to_string(s.sfcc) + " dir=[" + s.dir +
         "] speed=" + std::to_string(s.speed) + " slew=" + std::to_string(s.slew) +
         " intensity=" + std::to_string(s.intensity) + " labelCut=" + std::to_string(s.labelCut) +
         " batch=" + std::to_string(s.batchSize) + " tear=" + std::to_string(s.tearOffset) +
         " rotate=" + std::to_string(s.rotate) + " sr=" + std::to_string(s.sRow) +
         " sc=" + std::to_string(s.sCol) + " media=" + std::to_string(s.media) +
         " gap=" + std::to_string(s.gap) + " type=" + std::to_string(s.type) +
         " pause=" + std::to_string(s.pause) + " slash=" + std::to_string(s.slash) +
         " orient=" + std::to_string(s.orient) + " mirror=" + std::to_string(s.mirror);
}

Settings parse(const std::vector<std::string>& words) {
  resetJobSettings();
  std::vector<std::string> storage = {"/usr/lib/cups/filter/vormel"};
  storage.insert(storage.end(), words.begin(), words.end());
  std::vector<char*> argv;
  for (std::string& w : storage) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  parseOptions(static_cast<int>(storage.size()), argv.data());
  return current();
}

struct Row {
  const char* claim;
  std::vector<std::string> words;
  std::function<void(Settings&)> expect;  // changes from the defaults
};

void checkRows(const std::vector<Row>& rows) {
  resetJobSettings();
  const Settings defaults = current();
  for (const Row& row : rows) {
    Settings expected = defaults;
    row.expect(expected);
    const Settings got = parse(row.words);
    EXPECT_EQ(describe(expected), describe(got)) << row.claim;
  }
}

TEST(DriverOptions, defaults_hold_without_arguments) {
  const Settings s = parse({});
  EXPECT_EQ(describe(s),
            "debug=0 raw=0 pcx=0 sfcc=126 dir=[] speed=0 slew=0 intensity=99 labelCut=-1 batch=0 "
            "tear=99 rotate=-1 sr=1 sc=1 media=0 gap=0 type=0 pause=0 slash=0 orient=0 mirror=0");
}

TEST(DriverOptions, every_standalone_word_has_its_effect_alone) {
  checkRows({
      {"-debug", {"-debug"}, [](Settings& s) { s.debug = true; }},
      {"-raw", {"-raw"}, [](Settings& s) { s.raw = true; }},
      {"-PCX", {"-PCX"}, [](Settings& s) { s.pcx = true; }},
      {"-diag sets PCX and debug", {"-diag"}, [](Settings& s) { s.pcx = s.debug = true; }},
      {"-gap", {"-gap"}, [](Settings& s) { s.gap = 1; }},
      {"-mark", {"-mark"}, [](Settings& s) { s.gap = 2; }},
      {"-nogap", {"-nogap"}, [](Settings& s) { s.gap = 3; }},
      {"-advgap", {"-advgap"}, [](Settings& s) { s.gap = 4; }},
      {"-advnotch", {"-advnotch"}, [](Settings& s) { s.gap = 5; }},
      {"-tm", {"-tm"}, [](Settings& s) { s.type = 1; }},
      {"-dt", {"-dt"}, [](Settings& s) { s.type = 2; }},
      {"-cont", {"-cont"}, [](Settings& s) { s.media = 1; }},
      {"-cutlabel", {"-cutlabel"}, [](Settings& s) { s.media = 2; }},
      {"-cutjob", {"-cutjob"}, [](Settings& s) { s.media = 3; }},
      {"-peel", {"-peel"}, [](Settings& s) { s.media = 4; }},
      {"-tearoff", {"-tearoff"}, [](Settings& s) { s.media = 5; }},
      {"-tearoffstrip", {"-tearoffstrip"}, [](Settings& s) { s.media = 6; }},
      {"-rewind", {"-rewind"}, [](Settings& s) { s.media = 7; }},
      {"-pauseoff", {"-pauseoff"}, [](Settings& s) { s.pause = 1; }},
      {"-labelpause", {"-labelpause"}, [](Settings& s) { s.pause = 2; }},
      {"-batchpause", {"-batchpause"}, [](Settings& s) { s.pause = 3; }},
      {"-noslashzero", {"-noslashzero"}, [](Settings& s) { s.slash = 1; }},
      {"-slashzero", {"-slashzero"}, [](Settings& s) { s.slash = 2; }},
      {"-normOrient", {"-normOrient"}, [](Settings& s) { s.orient = 1; }},
      {"-invertOrient", {"-invertOrient"}, [](Settings& s) { s.orient = 2; }},
      {"-normImage", {"-normImage"}, [](Settings& s) { s.mirror = 1; }},
      {"-mirrorImage", {"-mirrorImage"}, [](Settings& s) { s.mirror = 2; }},
  });
}

TEST(DriverOptions, every_value_word_stores_the_next_word) {
  checkRows({
      {"-sr", {"-sr", "3"}, [](Settings& s) { s.sRow = 3; }},
      {"-sc", {"-sc", "4"}, [](Settings& s) { s.sCol = 4; }},
      {"-sfcc 35 makes # the control character",
       {"-sfcc", "35"},
       [](Settings& s) { s.sfcc = '#'; }},
      {"-sfcc keeps the low 8 bits", {"-sfcc", "291"}, [](Settings& s) { s.sfcc = 35; }},
      {"-dir", {"-dir", "/var/x"}, [](Settings& s) { s.dir = "/var/x"; }},
      {"-speed", {"-speed", "6"}, [](Settings& s) { s.speed = 6; }},
      {"-slew", {"-slew", "8"}, [](Settings& s) { s.slew = 8; }},
      {"-intensity", {"-intensity", "12"}, [](Settings& s) { s.intensity = 12; }},
      {"-labelpercut", {"-labelpercut", "5"}, [](Settings& s) { s.labelCut = 5; }},
      {"-batchsize", {"-batchsize", "10"}, [](Settings& s) { s.batchSize = 10; }},
      {"-tearoffset", {"-tearoffset", "-7"}, [](Settings& s) { s.tearOffset = -7; }},
      {"-rotate", {"-rotate", "90"}, [](Settings& s) { s.rotate = 90; }},
  });
}

TEST(DriverOptions, pending_value_slot_keeps_its_stated_consequences) {
  checkRows({
      {"value word is also read as option word: -dir -raw",
       {"-dir", "-raw"},
       [](Settings& s) {
         s.dir = "-raw";
         s.raw = true;
       }},
      {"-speed -debug gives speed 0 and debug",
       {"-speed", "-debug"},
       [](Settings& s) {
         s.speed = 0;
         s.debug = true;
       }},
      {"value-taking word as value replaces the pending slot",
       {"-speed", "-slew", "4"},
       [](Settings& s) {
         s.speed = 0;
         s.slew = 4;
       }},
      {"value word last has no effect", {"-intensity"}, [](Settings&) {}},
      {"value word last after others has no effect",
       {"-gap", "-rotate"},
       [](Settings& s) { s.gap = 1; }},
      {"last occurrence wins", {"-speed", "3", "-speed", "9"}, [](Settings& s) { s.speed = 9; }},
      {"later word of a family wins", {"-cutlabel", "-cont"}, [](Settings& s) { s.media = 1; }},
      {"-diag and -debug do not cancel",
       {"-diag", "-debug", "-diag"},
       [](Settings& s) { s.debug = s.pcx = true; }},
      {"a value is not an option word when it only looks like one",
       {"-sr", "-gapx"},
       [](Settings& s) { s.sRow = 0; }},
      {"value slot empties after one word", {"-sr", "5", "6"}, [](Settings& s) { s.sRow = 5; }},
  });
}

TEST(DriverOptions, words_are_matched_exactly_and_case_sensitively) {
  checkRows({
      {"-Debug ignored", {"-Debug"}, [](Settings&) {}},
      {"-pcx ignored", {"-pcx"}, [](Settings&) {}},
      {"double dash ignored", {"--debug", "--raw"}, [](Settings&) {}},
      {"name=value ignored", {"-speed=4"}, [](Settings&) {}},
      {"no bundling", {"-gapraw"}, [](Settings&) {}},
      {"unknown words ignored", {"job", "42", "user", "-x"}, [](Settings&) {}},
      {"empty word ignored", {""}, [](Settings&) {}},
  });
}

TEST(DriverOptions, numbers_convert_as_atoi_does) {
  checkRows({
      {"not a number gives 0", {"-rotate", "abc"}, [](Settings& s) { s.rotate = 0; }},
      {"leading white space and sign",
       {"-tearoffset", " \t-12"},
       [](Settings& s) { s.tearOffset = -12; }},
      {"plus sign", {"-speed", "+5"}, [](Settings& s) { s.speed = 5; }},
      {"digits up to the first other character",
       {"-speed", "12abc"},
       [](Settings& s) { s.speed = 12; }},
      {"fraction cut", {"-slew", "3.9"}, [](Settings& s) { s.slew = 3; }},
      {"sign alone gives 0", {"-batchsize", "-"}, [](Settings& s) { s.batchSize = 0; }},
      {"empty value gives 0", {"-intensity", ""}, [](Settings& s) { s.intensity = 0; }},
      {"space after sign stops", {"-sr", "- 4"}, [](Settings& s) { s.sRow = 0; }},
      {"hex is not read", {"-sc", "0x1F"}, [](Settings& s) { s.sCol = 0; }},
      {"largest int", {"-speed", "2147483647"}, [](Settings& s) { s.speed = INT32_MAX; }},
      {"smallest int", {"-speed", "-2147483648"}, [](Settings& s) { s.speed = INT32_MIN; }},
      {"too large saturates alike on 32 and 64 bits",
       {"-speed", "4294967297"},
       [](Settings& s) { s.speed = INT32_MAX; }},
      {"too small saturates",
       {"-speed", "-99999999999999999999"},
       [](Settings& s) { s.speed = INT32_MIN; }},
      {"-sfcc of a negative number keeps the low 8 bits",
       {"-sfcc", "-1"},
       [](Settings& s) { s.sfcc = 255; }},
  });
}

TEST(DriverOptions, capture_directory_is_stored_only_when_it_fits) {
  const std::string fits(kDebugDirSize - 1, 'd');
  const std::string tooLong(kDebugDirSize, 'd');
  const std::string longer(300, 'd');
  checkRows({
      {"254 characters are stored whole", {"-dir", fits}, [&](Settings& s) { s.dir = fits; }},
      {"255 characters leave it empty", {"-dir", tooLong}, [](Settings&) {}},
      {"300 characters leave it empty", {"-dir", longer}, [](Settings&) {}},
      {"a too-long later value drops an earlier one",
       {"-dir", "/a", "-dir", longer},
       [](Settings&) {}},
      {"a later fitting value wins",
       {"-dir", longer, "-dir", "/b"},
       [](Settings& s) { s.dir = "/b"; }},
  });
  // Nothing was written past the end of the area: the byte after 254 fits
  // characters is the terminator.
  parse({"-dir", fits});
  EXPECT_EQ(debugDirLoc[kDebugDirSize - 1], '\0');
}

TEST(DriverOptions, streaming_conversion_matches_whole_text_conversion) {
  const char* texts[] = {"", "0", "  42 ", "-17x", "+", "007", "99999999999", "\v\f\r 8", "--3"};
  const int32_t expected[] = {0, 0, 42, -17, 0, 7, INT32_MAX, 8, 0};
  for (size_t i = 0; i < sizeof texts / sizeof texts[0]; ++i) {
    AtoiState state;
    for (const char* c = texts[i]; *c != '\0'; ++c) atoiFeed(state, *c);
    EXPECT_EQ(atoiResult(state), expected[i]) << "[" << texts[i] << "]";
    EXPECT_EQ(atoiText(texts[i], strlen(texts[i])), expected[i]) << "[" << texts[i] << "]";
  }
}

}  // namespace
