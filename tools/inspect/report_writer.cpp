// Summary and JSON writers for vormel-inspect. Lengths in the setup block are
// thousandths of an inch; they are also shown in inches and millimetres.
#include "inspect/report_writer.h"

#include "inspect/label_fit.h"
#include "inspect/printable_text.h"

namespace {

// A JSON string of any bytes: each byte outside printable ASCII is written
// as the code point of the same value.
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

double ratio(const PageInfo& p) {
  return p.bandBytes > 0 ? static_cast<double>(p.imageSize) / p.bandBytes : 0.0;
}

const char* kindName(StreamErrorKind kind) {
  switch (kind) {
    case StreamErrorKind::kTooLarge:
      return "too-large";
    case StreamErrorKind::kUnreadable:
      return "unreadable";
    default:
      return "invalid";
  }
}

void writeSummaryHead(FILE* out, const std::string& source, const JobReport& j) {
  std::fprintf(out, "Job stream: %s\n", printableText(source).c_str());
  std::fprintf(out, "Page length: %d (%.3f in, %.1f mm)\n", j.engineLength, inches(j.engineLength),
               millimetres(j.engineLength));
  std::fprintf(out, "Page width:  %d (%.3f in, %.1f mm)\n", j.engineWidth, inches(j.engineWidth),
               millimetres(j.engineWidth));
  std::fprintf(out, "Control character: %s\n", printable(j.controlChar).c_str());
  std::fprintf(out, "Slash zero: %s\n",
               j.slashZero < 0    ? "not sent"
               : j.slashZero == 0 ? "SLASH ZERO;0 (zero printed without slash)"
                                  : "SLASH ZERO;1 (zero printed with slash)");
  if (j.paperLine.empty()) {
    std::fprintf(out, "Paper line: empty (no media settings)\n");
  } else {
    std::fprintf(out, "Paper line: %s\n", printableText(j.paperLine).c_str());
    for (const PaperItem& item : j.paperItems) {
      const std::string text = item.name + " " + std::to_string(item.value);
      std::fprintf(out, "  %-16s %s\n", text.c_str(), item.meaning.c_str());
    }
  }
  std::fprintf(out, "Pages:\n");
}

void writeSummaryPage(FILE* out, const PageInfo& p, const PageImageInfo* info,
                      const std::vector<std::string>& labelFaults) {
  size_t compressed = 0;
  for (const BandInfo& b : p.bands) compressed += b.compressed ? 1 : 0;
  std::fprintf(out, "  Page %d at byte %zu: image %d bytes", p.number, p.streamOffset, p.imageSize);
  if (info && info->measured) {
    const PcxImage& image = info->image;
    std::fprintf(out, ", %d x %d pixels at %d x %d dpi", image.width, image.height, image.xDpi,
                 image.yDpi);
    if (image.xDpi > 0 && image.yDpi > 0)
      std::fprintf(out, " (%.3f x %.3f in)", dotsToInches(image.width, image.xDpi),
                   dotsToInches(image.height, image.yDpi));
  }
  std::fprintf(out, "\n    %s%zu band%s (%zu compressed), %d bytes sent",
               p.rawPageMode ? "raw page mode, " : "", p.bands.size(),
               p.bands.size() == 1 ? "" : "s", compressed, p.bandBytes);
  if (p.bandBytes > 0) std::fprintf(out, ", ratio %.2f:1", ratio(p));
  std::fprintf(out, "\n");
  if (info && !info->pcxPath.empty())
    std::fprintf(out, "    wrote %s\n", printableText(info->pcxPath).c_str());
  if (info && !info->pngPath.empty())
    std::fprintf(out, "    wrote %s\n", printableText(info->pngPath).c_str());
  for (const std::string& fault : labelFaults)
    std::fprintf(out, "    DOES NOT FIT THE LABEL: %s\n", fault.c_str());
}

void writeSummaryEnd(FILE* out, const InspectResult& r) {
  const JobReport& j = r.job;
  std::fprintf(out, "Page count: %zu\n", j.pageCount);
  std::fprintf(out, "Cut once after the job: %s\n", j.cutOnce ? "yes" : "no");
  std::fprintf(out, "Stream size: %zu bytes\n", j.streamSize);
  if (!r.wellFormed && r.error.kind != StreamErrorKind::kInvalid) {
    std::fprintf(out, "Stream NOT CHECKED past byte %zu: %s\n", r.error.offset,
                 r.error.message.c_str());
  } else if (!r.wellFormed) {
    std::fprintf(out, "Stream is INVALID at byte %zu: %s\n", r.error.offset,
                 r.error.message.c_str());
  }
  if (r.pagesNotFitting > 0)
    std::fprintf(out, "Stream is INVALID: %zu page%s do%s not fit the label.\n", r.pagesNotFitting,
                 r.pagesNotFitting == 1 ? "" : "s", r.pagesNotFitting == 1 ? "es" : "");
  if (isValid(r)) std::fprintf(out, "Stream is valid.\n");
}

void writeJsonHead(FILE* out, const std::string& source, const JobReport& j) {
  std::fprintf(out, "{\"source\":%s,", jsonString(source).c_str());
  std::fprintf(out,
               "\"setup\":{\"engineLength\":%d,\"engineWidth\":%d,\"lengthInches\":%.3f,"
               "\"widthInches\":%.3f,\"lengthMm\":%.2f,\"widthMm\":%.2f},",
               j.engineLength, j.engineWidth, inches(j.engineLength), inches(j.engineWidth),
               millimetres(j.engineLength), millimetres(j.engineWidth));
  std::fprintf(out, "\"controlChar\":%s,\"controlCharCode\":%d,",
               jsonString(std::string(1, static_cast<char>(j.controlChar))).c_str(), j.controlChar);
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
}

void writeJsonPage(FILE* out, bool first, const PageInfo& p, const PageImageInfo* info,
                   const std::vector<std::string>& labelFaults) {
  std::fprintf(out,
               "%s{\"number\":%d,\"offset\":%zu,\"repeat\":%d,\"imageBytes\":%d,\"rows\":%d,"
               "\"rawPageMode\":%s,\"bandBytes\":%d,\"ratio\":%.4f,\"bands\":[",
               first ? "" : ",", p.number, p.streamOffset, p.repeat, p.imageSize, p.rows,
               p.rawPageMode ? "true" : "false", p.bandBytes, ratio(p));
  for (size_t k = 0; k < p.bands.size(); ++k) {
    const BandInfo& b = p.bands[k];
    std::fprintf(out, "%s{\"offset\":%zu,\"compressed\":%s,\"wireBytes\":%d,\"length\":%d}",
                 k ? "," : "", b.streamOffset, b.compressed ? "true" : "false", b.wireBytes,
                 b.length);
  }
  std::fprintf(out, "],\"image\":");
  if (info && info->measured) {
    const PcxImage& image = info->image;
    std::fprintf(out,
                 "{\"width\":%d,\"height\":%d,\"xDpi\":%d,\"yDpi\":%d,\"bytesPerLine\":%d,"
                 "\"widthInches\":%.3f,\"lengthInches\":%.3f}",
                 image.width, image.height, image.xDpi, image.yDpi, image.bytesPerLine,
                 dotsToInches(image.width, image.xDpi), dotsToInches(image.height, image.yDpi));
    std::fprintf(out, ",\"fitsLabel\":%s", labelFaults.empty() ? "true" : "false");
  } else {
    std::fprintf(out, "null,\"fitsLabel\":null");
  }
  std::fprintf(out, ",\"labelFaults\":[");
  for (size_t k = 0; k < labelFaults.size(); ++k)
    std::fprintf(out, "%s%s", k ? "," : "", jsonString(labelFaults[k]).c_str());
  std::fprintf(out, "],\"pcxFile\":%s,\"pngFile\":%s}",
               info && !info->pcxPath.empty() ? jsonString(info->pcxPath).c_str() : "null",
               info && !info->pngPath.empty() ? jsonString(info->pngPath).c_str() : "null");
}

void writeJsonEnd(FILE* out, const InspectResult& r) {
  const JobReport& j = r.job;
  std::fprintf(out, "],\"pageCount\":%zu,\"cutOnce\":%s,\"complete\":%s,\"streamBytes\":%zu,",
               j.pageCount, j.cutOnce ? "true" : "false", j.complete ? "true" : "false",
               j.streamSize);
  std::fprintf(out, "\"pagesNotFitting\":%zu,\"valid\":%s,", r.pagesNotFitting,
               isValid(r) ? "true" : "false");
  if (r.wellFormed) {
    std::fprintf(out, "\"error\":null}\n");
  } else {
    std::fprintf(out, "\"error\":{\"kind\":\"%s\",\"offset\":%zu,\"message\":%s}}\n",
                 kindName(r.error.kind), r.error.offset, jsonString(r.error.message).c_str());
  }
}

}  // namespace

bool isValid(const InspectResult& result) {
  return result.wellFormed && result.pagesNotFitting == 0;
}

void writeReportHead(ReportWriter* writer, const JobReport& job) {
  if (writer->headWritten) return;
  writer->headWritten = true;
  if (writer->json) {
    writeJsonHead(writer->out, writer->source, job);
  } else {
    writeSummaryHead(writer->out, writer->source, job);
  }
}

void writeReportPage(ReportWriter* writer, const JobReport& job, const PageInfo& page,
                     const PageImageInfo* image, const std::vector<std::string>& labelFaults) {
  writeReportHead(writer, job);
  if (writer->json) {
    writeJsonPage(writer->out, writer->lastPageWritten == 0, page, image, labelFaults);
  } else {
    writeSummaryPage(writer->out, page, image, labelFaults);
  }
  writer->lastPageWritten = page.number;
}

void writeReportEnd(ReportWriter* writer, const InspectResult& result) {
  writeReportHead(writer, result.job);
  if (!result.job.pages.empty() && result.job.pages.back().number > writer->lastPageWritten)
    writeReportPage(writer, result.job, result.job.pages.back(), nullptr, {});
  if (writer->json) {
    writeJsonEnd(writer->out, result);
  } else {
    writeSummaryEnd(writer->out, result);
  }
}
