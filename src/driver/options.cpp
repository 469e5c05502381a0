// Option words into the job settings: one pass over the words with a single
// pending-value slot. Called once by main before any file is made.
#include "driver/options.h"

#include <cstring>

#include "state/job_settings.h"

namespace {

// The setting a value-taking word is waiting to fill.
enum class Pending {
  None,
  SRow,
  SCol,
  Sfcc,
  Dir,
  Speed,
  Slew,
  Intensity,
  LabelCut,
  BatchSize,
  TearOffset,
  Rotate
};

struct ValueWord {
  const char* word;
  Pending slot;
};

const ValueWord kValueWords[] = {
    {"-sr", Pending::SRow},
    {"-sc", Pending::SCol},
    {"-sfcc", Pending::Sfcc},
    {"-dir", Pending::Dir},
    {"-speed", Pending::Speed},
    {"-slew", Pending::Slew},
    {"-intensity", Pending::Intensity},
    {"-labelpercut", Pending::LabelCut},
    {"-batchsize", Pending::BatchSize},
    {"-tearoffset", Pending::TearOffset},
    {"-rotate", Pending::Rotate},
};

struct FamilyWord {
  const char* word;
  int32_t* setting;
  int32_t value;
};

const FamilyWord kFamilyWords[] = {
    {"-gap", &gapSensing, 1},
    {"-mark", &gapSensing, 2},
    {"-nogap", &gapSensing, 3},
    {"-advgap", &gapSensing, 4},
    {"-advnotch", &gapSensing, 5},
    {"-tm", &mediaType, 1},
    {"-dt", &mediaType, 2},
    {"-cont", &mediaHandling, 1},
    {"-cutlabel", &mediaHandling, 2},
    {"-cutjob", &mediaHandling, 3},
    {"-peel", &mediaHandling, 4},
    {"-tearoff", &mediaHandling, 5},
    {"-tearoffstrip", &mediaHandling, 6},
    {"-rewind", &mediaHandling, 7},
    {"-pauseoff", &pauseMode, 1},
    {"-labelpause", &pauseMode, 2},
    {"-batchpause", &pauseMode, 3},
    {"-noslashzero", &slashzero, 1},
    {"-slashzero", &slashzero, 2},
    {"-normOrient", &orient, 1},
    {"-invertOrient", &orient, 2},
    {"-normImage", &mirror, 1},
    {"-mirrorImage", &mirror, 2},
};

// A capture directory that does not fit is dropped rather than cut: a cut
// path names another directory. An empty value makes the defaults apply.
void storeDebugDir(const char* text) {
  const size_t length = strlen(text);
  if (length >= sizeof debugDirLoc) {
    debugDirLoc[0] = '\0';
    return;
  }
  memcpy(debugDirLoc, text, length + 1);
}

void storePending(Pending slot, const char* word) {
  const int32_t value = atoiText(word, strlen(word));
  switch (slot) {
    case Pending::SRow:
      sRow = value;
      break;
    case Pending::SCol:
      sCol = value;
      break;
    case Pending::Sfcc:
      newSFCC = static_cast<unsigned char>(value & 0xFF);
      break;
    case Pending::Dir:
      storeDebugDir(word);
      break;
    case Pending::Speed:
      printSpeed = value;
      break;
    case Pending::Slew:
      slewSpeed = value;
      break;
    case Pending::Intensity:
      intensity = value;
      break;
    case Pending::LabelCut:
      labelCut = value;
      break;
    case Pending::BatchSize:
      batchSize = value;
      break;
    case Pending::TearOffset:
      tearOffset = value;
      break;
    case Pending::Rotate:
      rotateimage = value;
      break;
    case Pending::None:
      break;
  }
}

// Compares one word with every option word; returns the slot a value-taking
// word opens, or Pending::None.
Pending applyOptionWord(const char* word) {
  for (const ValueWord& v : kValueWords)
    if (strcmp(word, v.word) == 0) return v.slot;
  for (const FamilyWord& f : kFamilyWords)
    if (strcmp(word, f.word) == 0) *f.setting = f.value;
  if (strcmp(word, "-debug") == 0) bDebug = true;
  if (strcmp(word, "-raw") == 0) bRaw = true;
  if (strcmp(word, "-PCX") == 0) PCXraw = true;
  if (strcmp(word, "-diag") == 0) {
    PCXraw = true;
    bDebug = true;
  }
  return Pending::None;
}

}  // namespace

void parseOptions(int argc, char** argv) {
  Pending pending = Pending::None;
  for (int i = 1; i < argc; ++i) {
    const char* word = argv[i];
    if (pending != Pending::None) {
      storePending(pending, word);
      pending = Pending::None;
    }
    // The value word is read as an option word as well: "-speed -debug" sets
    // the speed to 0 and turns debug mode on. A value-taking word replaces
    // whatever is pending; one left at the end of the list has no effect.
    pending = applyOptionWord(word);
  }
}

void atoiFeed(AtoiState& state, char c) {
  const bool digit = c >= '0' && c <= '9';
  switch (state.phase) {
    case 0:
      if (c == ' ' || (c >= '\t' && c <= '\r')) return;
      if (c == '+' || c == '-') {
        state.negative = c == '-';
        state.phase = 1;
        return;
      }
      break;
    case 1:
    case 2:
      break;
    default:
      return;
  }
  if (!digit) {
    state.phase = 3;
    return;
  }
  state.phase = 2;
  // Cap the magnitude one past INT32_MAX's: enough to saturate either sign.
  if (state.magnitude <= INT32_MAX) state.magnitude = state.magnitude * 10 + (c - '0');
  if (state.magnitude > int64_t{INT32_MAX} + 1) state.magnitude = int64_t{INT32_MAX} + 1;
}

int32_t atoiResult(const AtoiState& state) {
  if (state.negative) return static_cast<int32_t>(-state.magnitude);
  return state.magnitude > INT32_MAX ? INT32_MAX : static_cast<int32_t>(state.magnitude);
}

int32_t atoiText(const char* text, size_t length) {
  AtoiState state;
  for (size_t i = 0; i < length && state.phase != 3; ++i) atoiFeed(state, text[i]);
  return atoiResult(state);
}
