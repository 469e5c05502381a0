// The stream parser on streams framed as the filter frames them: what it
// reports for valid streams, and where and why it stops on broken ones.
#include "inspect/job_stream_parser.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

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

// The measuring sink, also keeping each page image it sees in `images`
// when that is not null.
PageSink keepingSink(Parsed* p, std::vector<std::vector<uint8_t>>* images) {
  const PageSink measure = makePageSink(&p->images);
  return [measure, images](const PageInfo& info, const std::vector<uint8_t>& bytes,
                           std::string* message) {
    if (images) images->push_back(bytes);
    return measure(info, bytes, message);
  };
}

// The same bytes read from a file, a chunk at a time.
Parsed parseFile(const std::vector<uint8_t>& stream, bool keepPages = true,
                 std::vector<std::vector<uint8_t>>* images = nullptr) {
  Parsed p;
  FILE* f = std::tmpfile();
  EXPECT_NE(f, nullptr);
  if (!f) return p;
  EXPECT_EQ(std::fwrite(stream.data(), 1, stream.size(), f), stream.size());
  std::rewind(f);
  p.ok = parseJobStream(f, &p.report, &p.error, keepingSink(&p, images), keepPages);
  std::fclose(f);
  return p;
}

size_t find(const std::vector<uint8_t>& s, const std::string& text, size_t from = 0) {
  const auto it = std::search(s.begin() + from, s.end(), text.begin(), text.end());
  EXPECT_NE(it, s.end()) << "no \"" << text << "\" in the stream";
  return static_cast<size_t>(it - s.begin());
}

std::vector<uint8_t> replaceFirst(std::vector<uint8_t> s, const std::string& from,
                                  const std::string& to) {
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
  full.paperItems =
      ";INTENSITY -5;MEDIA 4;FEED SHIFT 0;CUT 0;PAUSE 7;LABELS 3;TYPE 1;SPEED IPS 6;"
      "SLEW IPS 8;INVERT 1;MIRROR 0";
  full.cutOnce = true;
  StreamParts raw;
  raw.rawPages = true;
  raw.slashZero = 0;
  raw.paperItems = ";CUT 3;LABELS 2;SPEED IPS 6";

  const std::vector<uint8_t> big = makePcx(1600, 400, 1);  // more than one band
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
  const std::vector<std::string> meanings = {"media handling: tear-off",
                                             "cut count 0",
                                             "pause after every label",
                                             "media sensing: black mark sensing",
                                             "media type: thermal transfer",
                                             "normal orientation",
                                             "mirrored image"};
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

// One row per way a stream can break a rule, with where the fault lies.
std::vector<Fault> faultTable() {
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

  return {
      fault("garbage between commands", replaceFirst(good, "QXR_END\r\n~", "QXR_END\r\nXY~"), "XY~",
            0, "expected the control character"),
      fault("line end without CR", replaceFirst(good, paper, "END\n\r\n"), "END\n", 0,
            "expected \"END\\r\\n\""),
      fault("number too large", replaceFirst(good, "LENGTH;6000", "LENGTH;99999999999"), "99999", 0,
            "32 bits"),
      fault("unknown paper item", replaceFirst(good, paper, "END\r\n~PAPER;FOO 1\r\n"), ";FOO", 0,
            "unknown item"),
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
            replaceFirst(good, header, "BAND" + std::to_string(c + 5) + ";COMP1\r\n"), ";COMP1\r\n",
            8 + static_cast<size_t>(c), "does not decode"),
      fault("BAND count too small",
            replaceFirst(good, header, "BAND" + std::to_string(c - 3) + ";COMP1\r\n"), ";COMP1\r\n",
            8 + static_cast<size_t>(c) - 3, "does not decode"),
      fault("BAND count beyond the stream", replaceFirst(good, header, "BAND2147483647;COMP1\r\n"),
            "BAND", 0, "remain in the stream"),
      fault("band length header changed", flipped, ";COMP1\r\n", 8, "compressed band announces"),
      fault("unknown band kind", replaceFirst(good, ";COMP1", ";COMP2"), ";COMP2", 0,
            "\";COMP0\" or \";COMP1\""),
      fault("compressed band with a line-feed-only header",
            replaceFirst(good, ";COMP1\r\n", ";COMP1\n"), ";COMP1", 6, "expected \"\\r\\n\""),
      fault("raw page band shorter than the page",
            replaceFirst(raw, "BAND" + s + ";COMP0\n", "BAND10;COMP0\n"), "BAND", 0, "whole image"),
      fault("repeat count 0", replaceFirst(good, "REPEAT;1", "REPEAT;0"), "REPEAT", 7,
            "at least 1"),
      fault("negative image size", replaceFirst(good, "PCX" + s, "PCX-5"), "PCX", 3, "negative"),
      fault("page image is not PCX", buildStream(parts, {std::vector<uint8_t>(300, 0x55)}),
            "REPEAT", 0, "not a monochrome PCX"),
      fault("ENDPCX with CR LF", replaceFirst(good, "ENDPCX\n", "ENDPCX\r\n"), "ENDPCX", 0,
            "ENDPCX"),
      fault("bytes after the trailer", trailing, "", good.size(), "after the trailer"),
      fault("trailer cut short", std::vector<uint8_t>(good.begin(), good.end() - 9), "RESTORESTATE",
            14, "QXR_END"),
  };
}

TEST(JobStreamParser, faults_are_reported_at_their_offset) {
  for (const Fault& f : faultTable()) {
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

// Streams whose pages straddle the input's read chunks: several bands and a
// raw page of a few hundred kilobytes, cut and lied about in many places.
std::vector<std::pair<std::string, std::vector<uint8_t>>> chunkedStreams() {
  StreamParts parts;
  parts.engineLength = parts.engineWidth = 20000;
  StreamParts rawParts = parts;
  rawParts.rawPages = true;
  const std::vector<uint8_t> noise = makePcx(3000, 300, 2);
  const std::vector<uint8_t> banded = buildStream(parts, {noise, stripedPage(), noise});
  const std::vector<uint8_t> raw = buildStream(rawParts, {noise, {}, noise});
  const std::string n = std::to_string(noise.size());
  // The count of the second band of page 1, to lie about.
  const size_t second = find(banded, "BAND", find(banded, "BAND") + 1);
  const std::string count(banded.begin() + second, banded.begin() + find(banded, ";", second));
  std::vector<std::pair<std::string, std::vector<uint8_t>>> streams = {
      {"several bands per page", banded},
      {"raw pages", raw},
      {"band count beyond one band", replaceFirst(banded, count, "BAND2000000000")},
      {"band count beyond the stream",
       replaceFirst(banded, count, "BAND" + std::to_string(banded.size()))},
      {"raw page count beyond the stream",
       replaceFirst(raw, "PCX" + n + ";ROW1\r\nBAND" + n,
                    "PCX" + std::to_string(noise.size() * 3) + ";ROW1\r\nBAND" +
                        std::to_string(noise.size() * 3))},
      {"trailing bytes",
       [&] {
         std::vector<uint8_t> t = banded;
         t.insert(t.end(), 200000, 'x');
         return t;
       }()},
      {"paper line without an end in its first 1024 bytes",
       replaceFirst(banded, "END\r\n\r\n",
                    "END\r\n~PAPER;CUT 3" + std::string(1100, ' ') + "\r\n")},
  };
  for (size_t cut = 1; cut < raw.size(); cut += 9973)
    streams.push_back({"raw pages cut at " + std::to_string(cut),
                       std::vector<uint8_t>(raw.begin(), raw.begin() + cut)});
  for (size_t cut = 1; cut < banded.size(); cut += 7919)
    streams.push_back({"bands cut at " + std::to_string(cut),
                       std::vector<uint8_t>(banded.begin(), banded.begin() + cut)});
  return streams;
}

TEST(JobStreamParser, a_file_read_in_chunks_gives_the_verdict_of_the_bytes_in_memory) {
  std::vector<std::pair<std::string, std::vector<uint8_t>>> streams = chunkedStreams();
  for (const Fault& f : faultTable()) streams.push_back({f.name, f.stream});
  for (const auto& named : streams) {
    const std::string& name = named.first;
    const std::vector<uint8_t>& stream = named.second;
    std::vector<std::vector<uint8_t>> fromMemory, fromFile;
    Parsed m;
    m.ok = parseJobStream(stream.data(), stream.size(), &m.report, &m.error,
                          keepingSink(&m, &fromMemory));
    const Parsed f = parseFile(stream, true, &fromFile);
    EXPECT_EQ(f.ok, m.ok) << name;
    EXPECT_EQ(static_cast<int>(f.error.kind), static_cast<int>(m.error.kind)) << name;
    EXPECT_EQ(f.error.offset, m.error.offset) << name;
    EXPECT_EQ(f.error.message, m.error.message) << name;
    EXPECT_EQ(f.report.streamSize, stream.size()) << name;
    EXPECT_EQ(f.report.complete, m.report.complete) << name;
    ASSERT_EQ(f.report.pages.size(), m.report.pages.size()) << name;
    for (size_t i = 0; i < m.report.pages.size(); ++i)
      EXPECT_EQ(f.report.pages[i].bands.size(), m.report.pages[i].bands.size()) << name;
    EXPECT_TRUE(fromFile == fromMemory) << name << ": the sink saw other page images";
  }
}

TEST(JobStreamParser, pages_beyond_the_largest_image_are_refused_before_they_are_read) {
  StreamParts parts;
  parts.engineLength = parts.engineWidth = 200000;  // no label check here
  StreamParts rawParts = parts;
  rawParts.rawPages = true;
  const std::vector<uint8_t> good = buildStream(parts, {stripedPage()});
  const std::string s = std::to_string(stripedPage().size());
  std::vector<uint8_t> longLines = makePcxHeader(64, 2, 1202, 203, 203);
  longLines.resize(longLines.size() + 2 * 1202, 0xAA);
  struct Row {
    const char* name;
    std::vector<uint8_t> stream;
    bool ok;
    StreamErrorKind kind;
    std::string marker;  // the fault lies this far into the stream
    size_t delta;
    std::string messagePart;
  };
  const StreamErrorKind tooLarge = StreamErrorKind::kTooLarge;
  const std::vector<Row> table = {
      {"image count above the largest page image",
       replaceFirst(good, "PCX" + s, "PCX" + std::to_string(kMaxPageImageBytes + 1)), false,
       tooLarge, "PCX", 3, "larger than the largest page image taken (144000128 bytes)"},
      {"image count of the largest page image is read",
       replaceFirst(good, "PCX" + s, "PCX" + std::to_string(kMaxPageImageBytes)), false,
       StreamErrorKind::kInvalid, ";COMP1\r\n", 8, "compressed band announces"},
      {"the widest page", buildStream(parts, {makePcx(9600, 3, 1)}), true, tooLarge, "", 0, ""},
      {"a page wider than the widest", buildStream(parts, {makePcx(9601, 200, 2)}), false, tooLarge,
       "REPEAT", 0, "image of 9601 x 200 dots in lines of 1202 bytes is larger"},
      {"the longest page", buildStream(parts, {makePcx(16, 60000, 0)}), true, tooLarge, "", 0, ""},
      {"a page longer than the longest", buildStream(parts, {makePcx(16, 60001, 0)}), false,
       tooLarge, "REPEAT", 0, "16 x 60001 dots"},
      {"scan lines longer than the widest page's", buildStream(parts, {longLines}), false, tooLarge,
       "REPEAT", 0, "lines of 1202 bytes"},
      {"a raw page wider than the widest", buildStream(rawParts, {makePcx(9601, 200, 2)}), false,
       tooLarge, "REPEAT", 0, "9601 x 200 dots"},
  };
  for (const Row& row : table) {
    int sinkCalls = 0;
    JobReport report;
    StreamError error;
    const bool ok = parseJobStream(row.stream.data(), row.stream.size(), &report, &error,
                                   [&](const PageInfo&, const std::vector<uint8_t>&, std::string*) {
                                     ++sinkCalls;
                                     return true;
                                   });
    ASSERT_EQ(ok, row.ok) << row.name << ": " << error.message;
    if (ok) continue;
    EXPECT_EQ(static_cast<int>(error.kind), static_cast<int>(row.kind)) << row.name;
    EXPECT_EQ(error.offset, (row.marker.empty() ? 0 : find(row.stream, row.marker)) + row.delta)
        << row.name;
    EXPECT_NE(error.message.find(row.messagePart), std::string::npos)
        << row.name << ": " << error.message;
    if (row.kind == tooLarge) {
      // Refused within the band that completed the PCX header.
      EXPECT_EQ(sinkCalls, 0) << row.name;
      for (const PageInfo& page : report.pages) EXPECT_TRUE(page.bands.empty()) << row.name;
    }
  }
}

TEST(JobStreamParser, pages_not_kept_are_dropped_once_the_sink_has_seen_them) {
  StreamParts parts;
  const std::vector<uint8_t> five =
      buildStream(parts, std::vector<std::vector<uint8_t>>(5, stripedPage()));
  const Parsed p = parseFile(five, false);
  ASSERT_TRUE(p.ok) << p.error.message;
  EXPECT_EQ(p.report.pageCount, 5u);
  ASSERT_EQ(p.report.pages.size(), 1u);
  EXPECT_EQ(p.report.pages[0].number, 5);
  EXPECT_EQ(p.images.images.size(), 5u);

  // Page 3 sent raw after two pages in bands is still caught.
  StreamParts rawParts;
  rawParts.rawPages = true;
  std::vector<uint8_t> mixed = buildStream(parts, {stripedPage(), stripedPage()});
  const std::vector<uint8_t> rawPage = buildStream(rawParts, {stripedPage()});
  const size_t at = find(mixed, "WINDRVEND");
  mixed.insert(mixed.begin() + at, rawPage.begin() + find(rawPage, "REPEAT"),
               rawPage.begin() + find(rawPage, "WINDRVEND"));
  const Parsed m = parseFile(mixed, false);
  EXPECT_FALSE(m.ok);
  EXPECT_EQ(m.error.offset, at);
  EXPECT_EQ(m.report.pageCount, 3u);
  ASSERT_EQ(m.report.pages.size(), 1u);
  EXPECT_EQ(m.report.pages[0].number, 3);
}

TEST(JobStreamParser, an_input_that_cannot_be_read_is_unreadable_not_invalid) {
  FILE* dir = std::fopen("/", "rb");  // opens, but reading it fails
  ASSERT_NE(dir, nullptr);
  JobReport report;
  StreamError error;
  EXPECT_FALSE(parseJobStream(dir, &report, &error));
  std::fclose(dir);
  EXPECT_EQ(static_cast<int>(error.kind), static_cast<int>(StreamErrorKind::kUnreadable));
  EXPECT_NE(error.message.find("cannot read the stream"), std::string::npos) << error.message;
}

bool allPrintable(const std::string& text) {
  for (const unsigned char ch : text)
    if (ch < 0x20 || ch >= 0x7F) return false;
  return true;
}

TEST(JobStreamParser, stream_bytes_in_messages_are_escaped) {
  StreamParts parts;
  const std::vector<uint8_t> good = buildStream(parts, {stripedPage()});
  const std::string paper = "END\r\n\r\n";
  StreamParts escParts;
  escParts.control = 0x1B;
  const std::vector<uint8_t> esc = buildStream(escParts, {stripedPage()});
  struct Row {
    const char* name;
    std::vector<uint8_t> stream;
    std::string shown;  // how the message quotes the bytes
  };
  const std::vector<Row> table = {
      {"terminal control in a paper item",
       replaceFirst(good, paper, "END\r\n~PAPER;\x1b[2J\x1b[H 1\r\n"), "\"\\x1B[2J\\x1B[H\""},
      {"carriage return inside a paper item", replaceFirst(good, paper, "END\r\n~PAPER;CUT\r3\r\n"),
       "\"CUT\\r3\""},
      {"NUL inside a paper item",
       replaceFirst(good, paper, std::string("END\r\n~PAPER;CUT 3\0", 18) + "\r\n"), "CUT 3\\x00"},
      {"bell and bytes above ASCII where a command belongs",
       replaceFirst(good, "QXR_END\r\n~", "QXR_END\r\n\a\xff~"), "\"\\x07\\xFF~CONFIG"},
      {"escape as the control character of a broken command",
       replaceFirst(esc, "\x1bWINDRV", "\x1bWINDRX"), "\"\\x1BWINDRV\\r\\n\""},
  };
  for (const Row& row : table) {
    const Parsed p = parse(row.stream);
    ASSERT_FALSE(p.ok) << row.name;
    EXPECT_TRUE(allPrintable(p.error.message)) << row.name << ": " << p.error.message;
    EXPECT_NE(p.error.message.find(row.shown), std::string::npos)
        << row.name << ": " << p.error.message;
  }
}

}  // namespace
