// Reads the label of a job from the marked PPD, refuses what the queue cannot
// print, and writes the PostScript that lays each page on the label. Called
// by the front end's main before vormel starts.
#include "label_page.h"

#include <cups/cups.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "label_stocks.h"

namespace {

// Two sizes closer than this (points) are the same label.
constexpr double kSizeTolerance = 0.75;

std::string formatInches(double width, double length) {
  return formatSize(width / 72) + " x " + formatSize(length / 72) + " in";
}

bool sameSize(double w1, double l1, double w2, double l2) {
  return std::fabs(w1 - w2) < kSizeTolerance && std::fabs(l1 - l2) < kSizeTolerance;
}

// The size a PageSize, PageRegion or media value stands for, in points:
// a size of the PPD (custom sizes included) or a standard media name.
// Returns false when the value names no size.
bool lookUpSize(ppd_file_t* ppd, const char* value, double& width, double& length) {
  // ppdPageSize fills the PPD's custom size for "Custom.WxH": keep the
  // marked one as it is.
  ppd_size_t* custom = ppdPageSize(ppd, "Custom");
  ppd_size_t saved{};
  if (custom != nullptr) saved = *custom;
  const ppd_size_t* size = ppdPageSize(ppd, value);
  if (size != nullptr) {
    width = size->width;
    length = size->length;
  }
  if (custom != nullptr) *custom = saved;
  if (size != nullptr) return true;

  pwg_media_t* media = pwgMediaForPWG(value);
  if (media == nullptr) media = pwgMediaForLegacy(value);
  if (media == nullptr) media = pwgMediaForPPD(value);
  if (media == nullptr || media->width <= 0 || media->length <= 0) return false;
  width = media->width * 72.0 / 2540.0;
  length = media->length * 72.0 / 2540.0;
  return true;
}

// A media value may also name a media type or input slot of the PPD.
bool namesMediaChoice(ppd_file_t* ppd, const char* value) {
  for (const char* keyword : {"MediaType", "InputSlot"}) {
    ppd_option_t* option = ppdFindOption(ppd, keyword);
    if (option != nullptr && ppdFindChoice(option, value) != nullptr) return true;
  }
  return false;
}

bool checkRequestedSize(ppd_file_t* ppd, const char* value, const LabelPage& page,
                        std::string& problem) {
  double width = 0, length = 0;
  if (!lookUpSize(ppd, value, width, length)) {
    problem = std::string("the label size \"") + value + "\" is not known to this printer";
    return false;
  }
  if (!sameSize(width, length, page.width, page.length)) {
    problem = std::string("the label size \"") + value + "\" (" + formatInches(width, length) +
              ") is not offered by this printer";
    return false;
  }
  return true;
}

bool checkResolution(const char* value, const LabelPage& page, std::string& problem) {
  char* end = nullptr;
  const long x = strtol(value, &end, 10);
  long y = x;
  if (*end == 'x') y = strtol(end + 1, &end, 10);
  if (x == page.resolution && y == page.resolution && strcmp(end, "dpi") == 0) return true;
  problem = std::string("this printer prints at ") + std::to_string(page.resolution) +
            " dpi only, not at \"" + value + "\"";
  return false;
}

bool checkOption(ppd_file_t* ppd, const cups_option_t& option, const LabelPage& page,
                 std::string& problem) {
  const char* name = option.name;
  if (strcasecmp(name, "PageSize") == 0 || strcasecmp(name, "PageRegion") == 0)
    return checkRequestedSize(ppd, option.value, page, problem);
  if (strcasecmp(name, "media") == 0) {
    // A list of a size, a media type and a source, in any order.
    std::string list = option.value;
    size_t start = 0;
    while (start <= list.size()) {
      size_t end = list.find(',', start);
      if (end == std::string::npos) end = list.size();
      const std::string item = list.substr(start, end - start);
      if (!item.empty() && !namesMediaChoice(ppd, item.c_str()) &&
          !checkRequestedSize(ppd, item.c_str(), page, problem))
        return false;
      start = end + 1;
    }
    return true;
  }
  if (strcasecmp(name, "Resolution") == 0) return checkResolution(option.value, page, problem);
  ppd_option_t* ppdOption = ppdFindOption(ppd, name);
  if (ppdOption != nullptr && ppdFindChoice(ppdOption, option.value) == nullptr) {
    problem = std::string("\"") + option.value + "\" is not a choice of this printer's " +
              (ppdOption->text[0] != '\0' ? ppdOption->text : name) + " (" + name + ")";
    return false;
  }
  return true;
}

bool checkCustomLimits(ppd_file_t* ppd, const LabelPage& page, std::string& problem) {
  if (page.sizeName != "Custom") return true;
  const float* low = ppd->custom_min;
  const float* high = ppd->custom_max;
  if (page.width >= low[0] - 0.01 && page.width <= high[0] + 0.01 && page.length >= low[1] - 0.01 &&
      page.length <= high[1] + 0.01)
    return true;
  problem = "the custom label size " + formatInches(page.width, page.length) +
            " is outside what this printer takes: " + formatSize(low[0] / 72) + " to " +
            formatSize(high[0] / 72) + " in wide, " + formatSize(low[1] / 72) + " to " +
            formatSize(high[1] / 72) + " in long";
  return false;
}

int readRotation(ppd_file_t* ppd) {
  const ppd_choice_t* marked = ppdFindMarkedChoice(ppd, "Rotation");
  if (marked == nullptr) return 0;
  const int degrees = atoi(marked->choice);
  return degrees == 90 || degrees == 180 || degrees == 270 ? degrees : 0;
}

// The transformation a rotation adds in device space, as PostScript that
// leaves the matrix on the stack: about the label's centre (cx, cy dots),
// turned, and shrunk by `scale`.
std::string rotationMatrix(const LabelPage& page) {
  const double cx = page.width * page.resolution / 144.0;
  const double cy = page.length * page.resolution / 144.0;
  double scale = 1;
  if (page.rotation == 90 || page.rotation == 270)
    scale = std::min(page.width / page.length, page.length / page.width);
  char text[400];
  snprintf(text, sizeof text,
           "%.4f %.4f matrix translate %d matrix rotate matrix concatmatrix\n"
           "   %.6f dup matrix scale matrix concatmatrix\n"
           "   %.4f %.4f matrix translate matrix concatmatrix",
           -cx, -cy, -page.rotation, scale, cx, cy);
  return text;
}

}  // namespace

bool readLabelPage(ppd_file_t* ppd, const char* optionsText, LabelPage& page,
                   std::string& problem) {
  page = LabelPage();
  ppd_attr_t* resolution = ppdFindAttr(ppd, "DefaultResolution", nullptr);
  page.resolution =
      resolution != nullptr && resolution->value != nullptr ? atoi(resolution->value) : 0;
  if (page.resolution < 72 || page.resolution > 1200) {
    problem = "the printer description names no native resolution (DefaultResolution)";
    return false;
  }
  const ppd_size_t* size = ppdPageSize(ppd, nullptr);
  if (size == nullptr || size->width <= 0 || size->length <= 0) {
    problem = "the printer description has no label size";
    return false;
  }
  page.sizeName = size->name;
  page.width = size->width;
  page.length = size->length;
  page.rotation = readRotation(ppd);

  cups_option_t* options = nullptr;
  const int count = cupsParseOptions(optionsText, 0, &options);
  bool ok = true;
  for (int i = 0; i < count && ok; ++i) ok = checkOption(ppd, options[i], page, problem);
  cupsFreeOptions(count, options);
  return ok && checkCustomLimits(ppd, page, problem);
}

int labelWidthDots(const LabelPage& page) { return int(page.width * page.resolution / 72 + 0.5); }

int labelLengthDots(const LabelPage& page) { return int(page.length * page.resolution / 72 + 0.5); }

std::string labelProlog(const LabelPage& page) {
  const std::string res = std::to_string(page.resolution);
  const std::string size = "[" + formatSize(page.width) + " " + formatSize(page.length) + "]";
  std::string text = "% vormel-cups: every page on the label " + size + " at " + res + " dpi\n";
  // vormel reads the render resolution from this line; it must stay in this form.
  text += "<< /HWResolution [" + res + " " + res + "] >> setpagedevice\n";
  // The label is the only medium. Page size policy 13 lays any other page
  // size asked for on it, turned when the orientations differ and scaled to fit.
  text += "<< /PageSize " + size +
          "\n   /InputAttributes currentpagedevice /InputAttributes get dup length dict begin\n"
          "     { pop null def } forall 0 << /PageSize " +
          size +
          " >> def currentdict end\n"
          "   /Policies << /PageSize 13 >>\n";
  // The turn goes into the page device's Install procedure, after the
  // renderer's own, so that it is part of the default matrix of every page
  // and survives initgraphics and every later page size request.
  if (page.rotation != 0)
    text += "   /Install { 0 exec matrix currentmatrix\n   " + rotationMatrix(page) +
            "\n   matrix concatmatrix setmatrix } dup 0 currentpagedevice /Install get put\n";
  text += ">> setpagedevice\n";
  // Requests of the job that would change the resolution, the orientation,
  // the media choice or the turn are dropped; the page size stays in, so
  // that the policy above can fit the page.
  text +=
      "userdict /setpagedevice { dup length dict copy\n"
      "   [ /HWResolution /Orientation /InputAttributes /Policies /Install ]\n"
      "   { 1 index exch undef } forall systemdict /setpagedevice get exec } bind put\n";
  return text;
}

std::string labelTrailer(const LabelPage& page) {
  const std::string res = std::to_string(page.resolution);
  return "<< /HWResolution [" + res + " " + res + "] >> setpagedevice\n%%BoundingBox: 0 0 " +
         std::to_string(std::lround(page.width)) + " " + std::to_string(std::lround(page.length)) +
         "\n";
}

bool addPdfRotationWords(const LabelPage& page, std::vector<std::string>& words,
                         std::string& problem) {
  if (page.rotation == 0) return true;
  // A quarter turn swaps the page image's width and length in dots.
  const bool square = labelWidthDots(page) == labelLengthDots(page);
  if (page.rotation == 180 || square) {
    words.emplace_back("-rotate");
    words.emplace_back(std::to_string(page.rotation));
    return true;
  }
  // The spooler's PDF filter turns and shrinks the page itself when the job
  // asks: orientation 4 is this queue's 90 degrees, 5 its 270 degrees.
  problem = "a PDF job is not turned by " + std::to_string(page.rotation) +
            " degrees on a label that is not square (" + formatInches(page.width, page.length) +
            "); print it with -o Rotation=PrinterDefault -o orientation-requested=" +
            (page.rotation == 90 ? "4" : "5") + " -o nopdfAutoRotate -o print-scaling=fit";
  return false;
}
