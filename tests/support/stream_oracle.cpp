// Printer streams read back by the inspector's parser; see stream_oracle.h.
#include "stream_oracle.h"

#include "inspect/job_stream_parser.h"

std::string streamProblem(const std::string& out, std::vector<StreamPage>* pages) {
  std::vector<StreamPage> read;
  JobReport report;
  StreamError error;
  const PageSink keep = [&read](const PageInfo& info, const std::vector<uint8_t>& image,
                                std::string*) {
    StreamPage page;
    page.announcedSize = info.imageSize;
    for (const BandInfo& band : info.bands)
      page.bandKinds.push_back(info.rawPageMode ? "RAW" : band.compressed ? "COMP1" : "COMP0");
    page.bytes.assign(image.begin(), image.end());
    read.push_back(std::move(page));
    return true;
  };
  const bool valid = parseJobStream(reinterpret_cast<const uint8_t*>(out.data()), out.size(),
                                    &report, &error, keep, false);
  if (!valid) return "at offset " + std::to_string(error.offset) + ": " + error.message;
  if (!report.complete) return "the stream does not end with the trailer";
  if (pages != nullptr) *pages = std::move(read);
  return "";
}

std::vector<std::string> streamPages(const std::string& out) {
  std::vector<StreamPage> pages;
  std::vector<std::string> images;
  if (!streamProblem(out, &pages).empty()) return images;
  for (StreamPage& page : pages) images.push_back(std::move(page.bytes));
  return images;
}

std::string streamSkeleton(const std::string& out) {
  JobReport report;
  StreamError error;
  if (!parseJobStream(reinterpret_cast<const uint8_t*>(out.data()), out.size(), &report, &error) ||
      !report.complete)
    return "";
  std::string skeleton;
  size_t at = 0;
  for (const PageInfo& page : report.pages) {
    for (const BandInfo& band : page.bands) {
      const size_t headerEnd = out.find('\n', band.streamOffset) + 1;
      skeleton += out.substr(at, band.streamOffset - at) + "<band>";
      at = headerEnd + static_cast<size_t>(band.wireBytes);
    }
  }
  return skeleton + out.substr(at);
}
