// The paper line's items: their names, the values the filter can send, the
// order it sends them in, and what each one tells the printer.
#include <cstdint>
#include <cstdlib>

#include "inspect/job_stream_parser.h"
#include "inspect/printable_text.h"

namespace {

// Item kinds in the order the filter writes them; an item may only follow
// items of an earlier rule.
enum Rule {
  kIntensity = 1,
  kMedia = 2,
  kFeedShift = 3,
  kCutZero = 4,
  kPause = 5,
  kLabels = 6,
  kType = 7,
  kSpeed = 8,
  kSlew = 9,
  kInvert = 10,
  kMirror = 11,
};

const char* const kMediaMeaning[] = {
    "continuous media", "tear-off strip", "tear-off", "peel", "cut", "rewind"};
const char* const kLabelsMeaning[] = {"no gap sensing (continuous)", "black mark sensing",
                                      "gap sensing", "advanced gap sensing",
                                      "advanced notch sensing"};

// Classifies one item; returns its rule, or 0 with `message` set when the
// name or value is not one the filter sends.
int describeItem(const std::string& name, int32_t v, std::string* meaning, std::string* message) {
  const std::string n = std::to_string(v);
  auto range = [&](int32_t lo, int32_t hi) {
    if (v >= lo && v <= hi) return true;
    *message = name + " " + n + ": expected a value from " + std::to_string(lo) + " to " +
               std::to_string(hi);
    return false;
  };
  if (name == "INTENSITY") {
    if (!range(INT32_MIN, 98)) return 0;
    *meaning = "print intensity " + n;
    return kIntensity;
  }
  if (name == "MEDIA") {
    if (!range(0, 5)) return 0;
    *meaning = std::string("media handling: ") + kMediaMeaning[v];
    return kMedia;
  }
  if (name == "CUT") {
    if (!range(0, INT32_MAX)) return 0;
    *meaning = v == 0 ? "cut count 0" : "cut after every " + n + " labels";
    return v == 0 ? kCutZero : kMedia;
  }
  if (name == "FEED SHIFT") {
    if (!range(INT32_MIN, 98)) return 0;
    *meaning = "feed shift (tear-off position) " + n;
    return kFeedShift;
  }
  if (name == "PAUSE") {
    if (!range(0, INT32_MAX)) return 0;
    *meaning = v == 0   ? "no pause"
               : v == 1 ? "pause after every label"
                        : "pause after every " + n + " labels";
    return kPause;
  }
  if (name == "LABELS") {
    if (!range(0, 4)) return 0;
    *meaning = std::string("media sensing: ") + kLabelsMeaning[v];
    return kLabels;
  }
  if (name == "TYPE") {
    if (!range(0, 1)) return 0;
    *meaning = v == 0 ? "media type: thermal transfer" : "media type: direct thermal";
    return kType;
  }
  if (name == "SPEED IPS" || name == "SLEW IPS") {
    if (!range(1, INT32_MAX)) return 0;
    *meaning = (name == "SPEED IPS" ? "print speed " : "slew speed ") + n + " inches per second";
    return name == "SPEED IPS" ? kSpeed : kSlew;
  }
  if (name == "INVERT") {
    if (!range(0, 1)) return 0;
    *meaning = v == 0 ? "normal orientation" : "inverted orientation (upside down)";
    return kInvert;
  }
  if (name == "MIRROR") {
    if (!range(0, 1)) return 0;
    *meaning = v == 0 ? "normal image" : "mirrored image";
    return kMirror;
  }
  *message = "unknown item \"" + printableText(name) + "\"";
  return 0;
}

// A signed decimal number filling the whole text, within 32 bits.
bool parseValue(const std::string& text, int32_t* value) {
  size_t i = text.size() > 0 && text[0] == '-' ? 1 : 0;
  if (i == text.size() || text.size() - i > 10) return false;
  int64_t v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  if (text[0] == '-') v = -v;
  if (v < INT32_MIN || v > INT32_MAX) return false;
  *value = static_cast<int32_t>(v);
  return true;
}

}  // namespace

bool parsePaperItems(const std::string& items, std::vector<PaperItem>* out, size_t* badOffset,
                     std::string* message) {
  out->clear();
  int lastRule = 0;
  bool continuousMedia = false;
  size_t pos = 0;
  while (pos < items.size()) {
    if (items[pos] != ';') {
      *badOffset = pos;
      *message = "expected \";\" before the next item";
      return false;
    }
    size_t end = items.find(';', pos + 1);
    if (end == std::string::npos) end = items.size();
    const std::string item = items.substr(pos + 1, end - pos - 1);
    const size_t space = item.rfind(' ');
    PaperItem parsed;
    if (space == std::string::npos || space == 0 ||
        !parseValue(item.substr(space + 1), &parsed.value)) {
      *badOffset = pos;
      *message = "item \"" + printableText(item) + "\" is not a name and a decimal value";
      return false;
    }
    parsed.name = item.substr(0, space);
    const int rule = describeItem(parsed.name, parsed.value, &parsed.meaning, message);
    if (rule == 0) {
      *badOffset = pos;
      return false;
    }
    if (rule <= lastRule) {
      *badOffset = pos;
      *message = "item \"" + printableText(item) + "\" is out of order or repeated";
      return false;
    }
    if (rule == kFeedShift && continuousMedia) {
      *badOffset = pos;
      *message = "FEED SHIFT is never sent with continuous media (MEDIA 0)";
      return false;
    }
    continuousMedia = rule == kMedia && parsed.name == "MEDIA" && parsed.value == 0;
    lastRule = rule;
    out->push_back(parsed);
    pos = end;
  }
  return true;
}
