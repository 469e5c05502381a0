// Summary and JSON writers for vormel-inspect. Lengths in the setup block are
// thousandths of an inch; they are also shown in inches and millimetres.
#include "inspect/report_writer.h"

namespace {

std::string jsonString(const std::string& s) {
  std::string out = "\"";
  for (const unsigned char ch : s) {
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += static_cast<char>(ch);
    } else if (ch < 0x20 || ch >= 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", ch);
      out += buf;
    } else {
      out += static_cast<char>(ch);
    }
  }
  return out + "\"";
}

std::string printable(uint8_t ch) {
  char buf[16];
  if (ch >= 0x21 && ch < 0x7F) {
    std::snprintf(buf, sizeof buf, "'%c' (%d)", ch, ch);
  } else {
    std::snprintf(buf, sizeof buf, "byte %d", ch);
  }
  return buf;
}

double inches(int32_t thousandths) { return thousandths / 1000.0; }
double millimetres(int32_t thousandths) { return thousandths * 0.0254; }

const PageImageInfo* imageOf(const InspectResult& r, size_t page) {
  return page < r.images.size() ? &r.images[page] : nullptr;
}

double ratio(const PageInfo& p) {
  return p.bandBytes > 0 ? static_cast<double>(p.imageSize) / p.bandBytes : 0.0;
}

}  // namespace

void printSummary(FILE* out, const InspectResult& r) {
  const JobReport& j = r.job;
  std::fprintf(out, "Job stream: %s (%zu bytes)\n", r.source.c_str(), j.streamSize);
  std::fprintf(out, "Page length: %d (%.3f in, %.1f mm)\n", j.engineLength,
               inches(j.engineLength), millimetres(j.engineLength));
  std::fprintf(out, "Page width:  %d (%.3f in, %.1f mm)\n", j.engineWidth,
               inches(j.engineWidth), millimetres(j.engineWidth));
  std::fprintf(out, "Control character: %s\n", printable(j.controlChar).c_str());
  std::fprintf(out, "Slash zero: %s\n",
               j.slashZero < 0    ? "not sent"
               : j.slashZero == 0 ? "SLASH ZERO;0 (zero printed without slash)"
                                  : "SLASH ZERO;1 (zero printed with slash)");
  if (j.paperLine.empty()) {
    std::fprintf(out, "Paper line: empty (no media settings)\n");
  } else {
    std::fprintf(out, "Paper line: %s\n", j.paperLine.c_str());
    for (const PaperItem& item : j.paperItems) {
      const std::string text = item.name + " " + std::to_string(item.value);
      std::fprintf(out, "  %-16s %s\n", text.c_str(), item.meaning.c_str());
    }
  }
  std::fprintf(out, "Pages: %zu\n", j.pages.size());
  for (size_t i = 0; i < j.pages.size(); ++i) {
    const PageInfo& p = j.pages[i];
    size_t compressed = 0;
    for (const BandInfo& b : p.bands) compressed += b.compressed ? 1 : 0;
    std::fprintf(out, "  Page %d at byte %zu: image %d bytes", p.number, p.streamOffset,
                 p.imageSize);
    const PageImageInfo* info = imageOf(r, i);
    if (info && info->measured) {
      std::fprintf(out, ", %d x %d pixels at %d x %d dpi", info->image.width,
                   info->image.height, info->image.xDpi, info->image.yDpi);
    }
    std::fprintf(out, "\n    %s%zu band%s (%zu compressed), %d bytes sent",
                 p.rawPageMode ? "raw page mode, " : "", p.bands.size(),
                 p.bands.size() == 1 ? "" : "s", compressed, p.bandBytes);
    if (p.bandBytes > 0) std::fprintf(out, ", ratio %.2f:1", ratio(p));
    std::fprintf(out, "\n");
    if (info && !info->pcxPath.empty()) std::fprintf(out, "    wrote %s\n", info->pcxPath.c_str());
    if (info && !info->pngPath.empty()) std::fprintf(out, "    wrote %s\n", info->pngPath.c_str());
  }
  std::fprintf(out, "Cut once after the job: %s\n", j.cutOnce ? "yes" : "no");
  if (r.valid) {
    std::fprintf(out, "Stream is valid.\n");
  } else {
    std::fprintf(out, "Stream is INVALID at byte %zu: %s\n", r.error.offset,
                 r.error.message.c_str());
  }
}

void printJson(FILE* out, const InspectResult& r) {
  const JobReport& j = r.job;
  std::fprintf(out, "{\"source\":%s,\"valid\":%s,\"streamBytes\":%zu,", jsonString(r.source).c_str(),
               r.valid ? "true" : "false", j.streamSize);
  if (r.valid) {
    std::fprintf(out, "\"error\":null,");
  } else {
    std::fprintf(out, "\"error\":{\"offset\":%zu,\"message\":%s},", r.error.offset,
                 jsonString(r.error.message).c_str());
  }
  std::fprintf(out,
               "\"setup\":{\"engineLength\":%d,\"engineWidth\":%d,\"lengthInches\":%.3f,"
               "\"widthInches\":%.3f,\"lengthMm\":%.2f,\"widthMm\":%.2f},",
               j.engineLength, j.engineWidth, inches(j.engineLength), inches(j.engineWidth),
               millimetres(j.engineLength), millimetres(j.engineWidth));
  std::fprintf(out, "\"controlChar\":%s,\"controlCharCode\":%d,",
               jsonString(std::string(1, static_cast<char>(j.controlChar))).c_str(),
               j.controlChar);
  if (j.slashZero < 0) {
    std::fprintf(out, "\"slashZero\":null,");
  } else {
    std::fprintf(out, "\"slashZero\":%d,", j.slashZero);
  }
  std::fprintf(out, "\"paperLine\":%s,\"paper\":[", jsonString(j.paperLine).c_str());
  for (size_t i = 0; i < j.paperItems.size(); ++i) {
    const PaperItem& item = j.paperItems[i];
    std::fprintf(out, "%s{\"item\":%s,\"value\":%d,\"meaning\":%s}", i ? "," : "",
                 jsonString(item.name).c_str(), item.value, jsonString(item.meaning).c_str());
  }
  std::fprintf(out, "],\"pages\":[");
  for (size_t i = 0; i < j.pages.size(); ++i) {
    const PageInfo& p = j.pages[i];
    std::fprintf(out,
                 "%s{\"number\":%d,\"offset\":%zu,\"repeat\":%d,\"imageBytes\":%d,\"rows\":%d,"
                 "\"rawPageMode\":%s,\"bandBytes\":%d,\"ratio\":%.4f,\"bands\":[",
                 i ? "," : "", p.number, p.streamOffset, p.repeat, p.imageSize, p.rows,
                 p.rawPageMode ? "true" : "false", p.bandBytes, ratio(p));
    for (size_t k = 0; k < p.bands.size(); ++k) {
      const BandInfo& b = p.bands[k];
      std::fprintf(out, "%s{\"offset\":%zu,\"compressed\":%s,\"wireBytes\":%d,\"length\":%d}",
                   k ? "," : "", b.streamOffset, b.compressed ? "true" : "false", b.wireBytes,
                   b.length);
    }
    std::fprintf(out, "],\"image\":");
    const PageImageInfo* info = imageOf(r, i);
    if (info && info->measured) {
      std::fprintf(out,
                   "{\"width\":%d,\"height\":%d,\"xDpi\":%d,\"yDpi\":%d,\"bytesPerLine\":%d}",
                   info->image.width, info->image.height, info->image.xDpi, info->image.yDpi,
                   info->image.bytesPerLine);
    } else {
      std::fprintf(out, "null");
    }
    std::fprintf(out, ",\"pcxFile\":%s,\"pngFile\":%s}",
                 info && !info->pcxPath.empty() ? jsonString(info->pcxPath).c_str() : "null",
                 info && !info->pngPath.empty() ? jsonString(info->pngPath).c_str() : "null");
  }
  std::fprintf(out, "],\"cutOnce\":%s,\"complete\":%s}\n", j.cutOnce ? "true" : "false",
               j.complete ? "true" : "false");
}
