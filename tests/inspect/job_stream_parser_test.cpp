// The stream parser on streams framed as the filter frames them: what it
// reports for valid streams, and where and why it stops on broken ones.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "inspect/job_stream_parser.h"
#include "inspect/page_images.h"
#include "stream_builder.h"

namespace {

struct Parsed {
  bool ok;
  JobReport report;
  StreamError error;
  PageImageContext images;
};

Parsed parse(const std::vector<uint8_t>& stream) {
  Parsed p;
  p.ok = parseJobStream(stream.data(), stream.size(), &p.report, &p.error, makePageSink(&p.images));
  return p;
}

size_t find(const std::vector<uint8_t>& s, const std::string& text, size_t from = 0) {
  const auto it = std::search(s.begin() + from, s.end(), text.begin(), text.end());
  EXPECT_NE(it, s.end()) << "no \"" << text << "\" in the stream";
  return static_cast<size_t>(it - s.begin());
}

std::vector<uint8_t> replaceFirst(std::vector<uint8_t> s, const std::string& from, const std::string& to) {
  const size_t at = find(s, from);
  s.erase(s.begin() + at, s.begin() + at + from.size());
  s.insert(s.begin() + at, to.begin(), to.end());
  return s;
}

const std::vector<uint8_t>& stripedPage() {
  static const std::vector<uint8_t> page = makePcx(200, 60, 1);
  return page;
}

TEST(JobStreamParser, valid_streams_report_their_settings_and_pages) {
  StreamParts plain;
  StreamParts full;
  full.control = '#';
  full.engineLength = 4166;
  full.engineWidth = 2000;
  full.slashZero = 1;
  full.paperItems = ";INTENSITY -5;MEDIA 4;FEED SHIFT 0;CUT 0;PAUSE 7;LABELS 3;TYPE 1;SPEED IPS 6;"
                    "SLEW IPS 8;INVERT 1;MIRROR 0";
  full.cutOnce = true;
  StreamParts raw;
  raw.rawPages = true;
  raw.slashZero = 0;
  raw.paperItems = ";CUT 3;LABELS 2;SPEED IPS 6";

  const std::vector<uint8_t> big = makePcx(1600, 400, 1);    // more than one band
  StreamParts uncompressed;
  uncompressed.uncompressedBands = true;
  struct Row {
    const char* name;
    StreamParts parts;
    std::vector<std::vector<uint8_t>> pages;
    size_t items;
    std::vector<size_t> bandsPerPage;
  };
  const std::vector<Row> table = {
      {"no options, one page", plain, {stripedPage()}, 0, {1}},
      {"every item, control character #", full, {stripedPage(), stripedPage()}, 11, {1, 1}},
      {"raw page mode", raw, {big, {}}, 3, {1, 1}},
      {"empty page image has no band", plain, {{}}, 0, {0}},
      {"large page in several bands", plain, {big}, 0, {(big.size() + 32767) / 32768}},
      {"bands sent uncompressed", uncompressed, {big}, 0, {(big.size() + 32767) / 32768}},
      {"no page at all", plain, {}, 0, {}},
  };
  for (const Row& row : table) {
    const std::vector<uint8_t> stream = buildStream(row.parts, row.pages);
    const Parsed p = parse(stream);
    ASSERT_TRUE(p.ok) << row.name << ": byte " << p.error.offset << ": " << p.error.message;
    EXPECT_TRUE(p.report.complete) << row.name;
    EXPECT_EQ(p.report.engineLength, row.parts.engineLength) << row.name;
    EXPECT_EQ(p.report.engineWidth, row.parts.engineWidth) << row.name;
    EXPECT_EQ(p.report.controlChar, row.parts.control) << row.name;
    EXPECT_EQ(p.report.slashZero, row.parts.slashZero) << row.name;
    EXPECT_EQ(p.report.cutOnce, row.parts.cutOnce) << row.name;
    EXPECT_EQ(p.report.paperItems.size(), row.items) << row.name;
    ASSERT_EQ(p.report.pages.size(), row.pages.size()) << row.name;
    for (size_t i = 0; i < row.pages.size(); ++i) {
      const PageInfo& page = p.report.pages[i];
      EXPECT_EQ(page.imageSize, static_cast<int32_t>(row.pages[i].size())) << row.name;
      EXPECT_EQ(page.rawPageMode, row.parts.rawPages) << row.name;
      EXPECT_EQ(page.bands.size(), row.bandsPerPage[i]) << row.name << " page " << i + 1;
      int32_t total = 0;
      for (const BandInfo& band : page.bands) total += band.length;
      EXPECT_EQ(total, page.imageSize) << row.name;
      if (!row.pages[i].empty()) {
        EXPECT_TRUE(p.images.images.at(i).measured) << row.name;
      }
    }
  }
  const Parsed sentRaw = parse(buildStream(uncompressed, {big}));
  for (const BandInfo& band : sentRaw.report.pages.at(0).bands) EXPECT_FALSE(band.compressed);
  const Parsed striped = parse(buildStream(plain, {big}));
  for (const BandInfo& band : striped.report.pages.at(0).bands) EXPECT_TRUE(band.compressed);
}

TEST(JobStreamParser, paper_items_carry_their_meanings) {
  StreamParts parts;
  parts.paperItems = ";MEDIA 2;CUT 0;PAUSE 1;LABELS 1;TYPE 0;INVERT 0;MIRROR 1";
  const Parsed p = parse(buildStream(parts, {stripedPage()}));
  ASSERT_TRUE(p.ok) << p.error.message;
  const std::vector<std::string> meanings = {
      "media handling: tear-off", "cut count 0",          "pause after every label",
      "media sensing: black mark sensing", "media type: thermal transfer",
      "normal orientation",       "mirrored image"};
  ASSERT_EQ(p.report.paperItems.size(), meanings.size());
  for (size_t i = 0; i < meanings.size(); ++i)
    EXPECT_EQ(p.report.paperItems[i].meaning, meanings[i]);
  EXPECT_EQ(p.report.paperLine, "~PAPER;MEDIA 2;CUT 0;PAUSE 1;LABELS 1;TYPE 0;INVERT 0;MIRROR 1");
}

struct Fault {
  const char* name;
  std::vector<uint8_t> stream;
  size_t offset;
  std::string messagePart;
};

// A row whose expected offset is `delta` bytes after the first `marker` in
// the broken stream itself (or `delta` when the marker is empty).
Fault fault(const char* name, std::vector<uint8_t> stream, const std::string& marker, size_t delta,
            const std::string& messagePart) {
  const size_t base = marker.empty() ? 0 : find(stream, marker);
  return Fault{name, std::move(stream), base + delta, messagePart};
}

TEST(JobStreamParser, faults_are_reported_at_their_offset) {
  StreamParts parts;
  const std::vector<uint8_t> good = buildStream(parts, {stripedPage()});
  const int32_t size = static_cast<int32_t>(stripedPage().size());
  const std::string s = std::to_string(size);
  const size_t band = find(good, "BAND");
  const size_t semicolon = find(good, ";COMP1", band);
  const int32_t c = std::stoi(std::string(good.begin() + band + 4, good.begin() + semicolon));
  const std::string header = "BAND" + std::to_string(c) + ";COMP1\r\n";
  const std::string paper = "END\r\n\r\n";
  StreamParts rawParts;
  rawParts.rawPages = true;
  const std::vector<uint8_t> raw = buildStream(rawParts, {stripedPage()});
  std::vector<uint8_t> flipped = good;
  flipped[semicolon + 8] ^= 0x01;  // the band's own length header
  std::vector<uint8_t> unendedPaper(good.begin(), good.begin() + find(good, paper) + 5);
  const std::string cutPaper = "~PAPER;MEDIA 1";
  unendedPaper.insert(unendedPaper.end(), cutPaper.begin(), cutPaper.end());
  std::vector<uint8_t> trailing = good;
  trailing.push_back('x');

  const std::vector<Fault> table = {
      fault("garbage between commands", replaceFirst(good, "QXR_END\r\n~", "QXR_END\r\nXY~"),
            "XY~", 0, "expected the control character"),
      fault("line end without CR", replaceFirst(good, paper, "END\n\r\n"), "END\n", 0,
            "expected \"END\\r\\n\""),
      fault("number too large", replaceFirst(good, "LENGTH;6000", "LENGTH;99999999999"),
            "99999", 0, "32 bits"),
      fault("unknown paper item", replaceFirst(good, paper, "END\r\n~PAPER;FOO 1\r\n"), ";FOO",
            0, "unknown item"),
      fault("paper items out of order",
            replaceFirst(good, paper, "END\r\n~PAPER;LABELS 2;CUT 3\r\n"), ";CUT 3", 0,
            "out of order"),
      fault("paper value outside its range", replaceFirst(good, paper, "END\r\n~PAPER;MEDIA 9\r\n"),
            ";MEDIA 9", 0, "MEDIA 9"),
      fault("paper line without CR LF", unendedPaper, "~PAPER", 0, "not ended"),
      fault("PCX size larger than the bands",
            replaceFirst(good, "PCX" + s, "PCX" + std::to_string(size + 100)), ";COMP1\r\n", 8,
            "announces " + s + " bytes; expected " + std::to_string(size + 100)),
      fault("PCX size smaller than the band",
            replaceFirst(good, "PCX" + s, "PCX" + std::to_string(size - 10)), ";COMP1\r\n", 8,
            "compressed band announces " + s),
      fault("BAND count too large",
            replaceFirst(good, header, "BAND" + std::to_string(c + 5) + ";COMP1\r\n"),
            ";COMP1\r\n", 8 + static_cast<size_t>(c), "does not decode"),
      fault("BAND count too small",
            replaceFirst(good, header, "BAND" + std::to_string(c - 3) + ";COMP1\r\n"),
            ";COMP1\r\n", 8 + static_cast<size_t>(c) - 3, "does not decode"),
      fault("BAND count beyond the stream", replaceFirst(good, header, "BAND2147483647;COMP1\r\n"),
            "BAND", 0, "remain in the stream"),
      fault("band length header changed", flipped, ";COMP1\r\n", 8, "compressed band announces"),
      fault("unknown band kind", replaceFirst(good, ";COMP1", ";COMP2"), ";COMP2", 0,
            "\";COMP0\" or \";COMP1\""),
      fault("compressed band with a line-feed-only header", replaceFirst(good, ";COMP1\r\n", ";COMP1\n"),
            ";COMP1", 6, "expected \"\\r\\n\""),
      fault("raw page band shorter than the page",
            replaceFirst(raw, "BAND" + s + ";COMP0\n", "BAND10;COMP0\n"), "BAND", 0, "whole image"),
      fault("repeat count 0", replaceFirst(good, "REPEAT;1", "REPEAT;0"), "REPEAT", 7, "at least 1"),
      fault("negative image size", replaceFirst(good, "PCX" + s, "PCX-5"), "PCX", 3, "negative"),
      fault("page image is not PCX", buildStream(parts, {std::vector<uint8_t>(300, 0x55)}), "REPEAT",
            0, "not a monochrome PCX"),
      fault("ENDPCX with CR LF", replaceFirst(good, "ENDPCX\n", "ENDPCX\r\n"), "ENDPCX", 0,
            "ENDPCX"),
      fault("bytes after the trailer", trailing, "", good.size(), "after the trailer"),
      fault("trailer cut short", std::vector<uint8_t>(good.begin(), good.end() - 9), "RESTORESTATE",
            14, "QXR_END"),
  };
  for (const Fault& f : table) {
    const Parsed p = parse(f.stream);
    EXPECT_FALSE(p.ok) << f.name;
    EXPECT_EQ(p.error.offset, f.offset) << f.name << ": " << p.error.message;
    EXPECT_NE(p.error.message.find(f.messagePart), std::string::npos)
        << f.name << ": " << p.error.message;
  }
}

TEST(JobStreamParser, pages_must_all_use_the_same_band_framing) {
  StreamParts parts;
  StreamParts rawParts;
  rawParts.rawPages = true;
  std::vector<uint8_t> mixed = buildStream(parts, {stripedPage()});
  const std::vector<uint8_t> rawPage = buildStream(rawParts, {stripedPage()});
  // Splice the raw page in after the first one.
  const size_t rawStart = find(rawPage, "REPEAT");
  const size_t rawEnd = find(rawPage, "WINDRVEND");
  const size_t at = find(mixed, "WINDRVEND");
  mixed.insert(mixed.begin() + at, rawPage.begin() + rawStart, rawPage.begin() + rawEnd);
  const Parsed p = parse(mixed);
  EXPECT_FALSE(p.ok);
  EXPECT_EQ(p.error.offset, at);
  EXPECT_NE(p.error.message.find("raw page mode"), std::string::npos) << p.error.message;
}

// A valid stream cut anywhere is invalid, with the fault inside what is left.
TEST(JobStreamParser, every_truncation_fails_within_the_bytes_given) {
  StreamParts parts;
  parts.paperItems = ";CUT 3";
  parts.cutOnce = true;
  const std::vector<uint8_t> stream = buildStream(parts, {makePcx(64, 8, 1), {}});
  for (size_t cut = 0; cut < stream.size(); ++cut) {
    const std::vector<uint8_t> prefix(stream.begin(), stream.begin() + cut);
    const Parsed p = parse(prefix);
    ASSERT_FALSE(p.ok) << "cut at " << cut;
    EXPECT_LE(p.error.offset, cut);
    EXPECT_FALSE(p.error.message.empty());
  }
}

// A compressed band carries no check value: a flip in the raw low bits of a
// copy offset can still decode to a band of the right length, with the same
// bytes (another copy of the same run) or different ones. The length,
// padding and PCX checks must still report most flips, always inside the page.
TEST(JobStreamParser, flipped_bytes_in_a_compressed_band_are_mostly_reported) {
  StreamParts parts;
  const std::vector<uint8_t> good = buildStream(parts, {stripedPage()});
  const size_t page = find(good, "REPEAT");
  const size_t band = find(good, "BAND");
  const size_t data = find(good, "\r\n", band) + 2;
  const size_t end = find(good, "ENDPCX\n", data);
  for (const uint8_t mask : {uint8_t{0xFF}, uint8_t{0x01}, uint8_t{0x10}}) {
    int reported = 0, sameImage = 0, changedImage = 0;
    for (size_t i = data; i < end; ++i) {
      std::vector<uint8_t> bad = good;
      bad[i] ^= mask;
      JobReport report;
      StreamError error;
      std::vector<uint8_t> image;
      PageImageContext measure;
      const PageSink measured = makePageSink(&measure);
      const bool ok = parseJobStream(
          bad.data(), bad.size(), &report, &error,
          [&](const PageInfo& info, const std::vector<uint8_t>& bytes, std::string* message) {
            image = bytes;
            return measured(info, bytes, message);
          });
      if (!ok) {
        ++reported;
        EXPECT_GE(error.offset, page);
        EXPECT_LT(error.offset, bad.size());
      } else if (image == stripedPage()) {
        ++sameImage;
      } else {
        ++changedImage;
      }
    }
    const int total = reported + sameImage + changedImage;
    std::printf("mask %02X: %d of %d flips reported, %d decode to the same image, %d to another\n",
                mask, reported, total, sameImage, changedImage);
    EXPECT_GE(reported * 100, total * 75) << "mask " << int{mask};
  }
}

}  // namespace
