// Walks a printer job stream command by command, in the order the filter
// writes it, and checks each count against the bytes that are really there
// before using it. Compressed bands are decoded with the band decoder and
// must give exactly the length their page still needs. The stream is seen
// through a window of about one band, refilled from the input as needed.
#include "inspect/job_stream_parser.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "band_decoder/band_decoder.h"
#include "inspect/printable_text.h"

namespace {

constexpr size_t kReadChunk = 65536;  // bytes asked of the input at a time
// How far the end of the paper line is looked for. The longest line the
// filter can send, every item with its longest value, is under 200 bytes.
constexpr size_t kMaxPaperLine = 1024;
constexpr size_t kNumberBytes = 12;  // a sign, 10 digits, and one byte to see the end
constexpr size_t kShownBytes = 16;   // bytes quoted from the stream in a message

// The stream as the parser sees it: `windowSize` bytes from stream offset
// `base`, either the whole stream in memory or a part of `file` that fill()
// moves along. Bytes before `pos` may be dropped at any fill().
struct Cursor {
  std::FILE* file = nullptr;
  const uint8_t* window = nullptr;
  size_t windowSize = 0;
  size_t base = 0;
  size_t pos = 0;                // stream offset of the next byte
  size_t fileBytes = 0;          // bytes read from `file` so far
  size_t skipped = 0;            // bytes read past the window by countRest
  bool ended = false;            // nothing follows the window
  int readErrno = 0;             // why reading `file` stopped, when it failed
  std::vector<uint8_t> storage;  // the window, when reading a file
};

size_t available(const Cursor& c) { return c.base + c.windowSize - c.pos; }
const uint8_t* here(const Cursor& c) { return c.window + (c.pos - c.base); }

void noteInputEnd(Cursor* c, int readErrno) {
  c->ended = true;
  if (std::ferror(c->file)) c->readErrno = readErrno != 0 ? readErrno : EIO;
}

// Makes at least `n` bytes from the cursor on available, unless the stream
// ends first. Returns the bytes available (fewer than `n` only at the end).
// The window holds at most `n` bytes plus one chunk.
size_t fill(Cursor* c, size_t n) {
  while (available(*c) < n && !c->ended && c->skipped == 0) {
    // Keep the unread bytes at the front and read a chunk behind them.
    const size_t keep = available(*c);
    if (keep > 0 && c->pos > c->base) std::memmove(c->storage.data(), here(*c), keep);
    c->base = c->pos;
    const size_t want = std::max(n - keep, kReadChunk);
    c->storage.resize(keep + want);
    errno = 0;
    const size_t got = std::fread(c->storage.data() + keep, 1, want, c->file);
    const int readErrno = errno;
    c->storage.resize(keep + got);
    c->window = c->storage.data();
    c->windowSize = keep + got;
    c->fileBytes += got;
    if (got < want) noteInputEnd(c, readErrno);
  }
  return available(*c);
}

// Counts the bytes from the cursor to the end of the stream, stopping once
// `limit` are counted. What it reads past the window is dropped, so the
// window stays as it is but nothing after it can be parsed any more: it
// serves a fault's message and the final byte count only.
size_t countRest(Cursor* c, size_t limit) {
  std::vector<uint8_t> chunk;
  while (available(*c) + c->skipped < limit && !c->ended) {
    chunk.resize(kReadChunk);
    errno = 0;
    const size_t got = std::fread(chunk.data(), 1, chunk.size(), c->file);
    const int readErrno = errno;
    c->skipped += got;
    c->fileBytes += got;
    if (got < chunk.size()) noteInputEnd(c, readErrno);
  }
  return std::min(available(*c) + c->skipped, limit);
}

// Printable form of the bytes at the cursor, for error messages.
std::string showFound(Cursor* c) {
  const size_t n = fill(c, kShownBytes + 1);
  if (n == 0) return "end of stream";
  const size_t shown = std::min(n, kShownBytes);
  return "\"" + printableText(here(*c), shown) + (n > kShownBytes ? "\"..." : "\"");
}

std::string showLiteral(const std::string& text) { return "\"" + printableText(text) + "\""; }

bool fail(StreamError* error, size_t offset, const std::string& message,
          StreamErrorKind kind = StreamErrorKind::kInvalid) {
  error->kind = kind;
  error->offset = offset;
  error->message = message;
  return false;
}

bool startsWith(Cursor* c, const std::string& text) {
  return fill(c, text.size()) >= text.size() &&
         std::memcmp(here(*c), text.data(), text.size()) == 0;
}

bool expect(Cursor* c, const char* text, StreamError* error, const std::string& context = "") {
  if (!startsWith(c, text))
    return fail(error, c->pos,
                context + "expected " + showLiteral(text) + ", found " + showFound(c));
  c->pos += std::strlen(text);
  return true;
}

// The control character followed by a command, e.g. "~CONFIG\r\n".
bool expectCommand(Cursor* c, uint8_t controlChar, const char* text, StreamError* error) {
  const std::string full = std::string(1, static_cast<char>(controlChar)) + text;
  if (!startsWith(c, full))
    return fail(error, c->pos, "expected " + showLiteral(full) + ", found " + showFound(c));
  c->pos += full.size();
  return true;
}

// A signed decimal number as the filter formats it: optional '-', digits,
// within 32 bits.
bool readNumber(Cursor* c, int32_t* value, StreamError* error, const char* what) {
  const size_t n = fill(c, kNumberBytes);
  const uint8_t* p = here(*c);
  const bool negative = n > 0 && p[0] == '-';
  size_t i = negative ? 1 : 0;
  int64_t v = 0;
  size_t digits = 0;
  while (i < n && p[i] >= '0' && p[i] <= '9') {
    v = v * 10 + (p[i] - '0');
    ++i;
    if (++digits > 10 || v > (negative ? 2147483648LL : 2147483647LL))
      return fail(error, c->pos, std::string("number for ") + what + " does not fit in 32 bits");
  }
  if (digits == 0)
    return fail(error, c->pos,
                std::string("expected a decimal number (") + what + "), found " + showFound(c));
  c->pos += i;
  *value = static_cast<int32_t>(negative ? -v : v);
  return true;
}

bool readSetup(Cursor* c, JobReport* report, StreamError* error) {
  if (!expect(c, "!QXR_SETUP\r\n", error) || !expect(c, "ENGINE-LENGTH;", error) ||
      !readNumber(c, &report->engineLength, error, "page length") || !expect(c, ":WIDTH;", error) ||
      !readNumber(c, &report->engineWidth, error, "page width") || !expect(c, "\r\n", error) ||
      !expect(c, "WINMODE-BEGIN\r\n", error) || !expect(c, "SAVESTATE\r\n", error) ||
      !expect(c, "QXR_END\r\n", error))
    return false;
  return true;
}

bool readConfig(Cursor* c, JobReport* report, StreamError* error) {
  // Whatever byte comes before CONFIG is the control character of the job.
  if (fill(c, 9) < 9 || std::memcmp(here(*c) + 1, "CONFIG\r\n", 8) != 0)
    return fail(error, c->pos,
                "expected the control character and \"CONFIG\\r\\n\", found " + showFound(c));
  report->controlChar = here(*c)[0];
  c->pos += 9;
  if (startsWith(c, "SLASH ZERO;0\r\n")) {
    report->slashZero = 0;
    c->pos += 14;
  } else if (startsWith(c, "SLASH ZERO;1\r\n")) {
    report->slashZero = 1;
    c->pos += 14;
  }
  return expect(c, "END\r\n", error, "in the CONFIG block: ");
}

bool readPaperLine(Cursor* c, JobReport* report, StreamError* error) {
  if (startsWith(c, "\r\n")) {
    c->pos += 2;
    return true;
  }
  const size_t lineStart = c->pos;
  if (!expectCommand(c, report->controlChar, "PAPER", error)) {
    error->message =
        "expected the paper line (empty, or the control character and \"PAPER\"), "
        "found " +
        showFound(c);
    return false;
  }
  const size_t itemsStart = c->pos;
  // Looked for in the same span whatever the window holds, so that a long
  // line gets the same verdict from a file as from memory.
  const size_t n = std::min(fill(c, kMaxPaperLine + 2), kMaxPaperLine + 2);
  const uint8_t* p = here(*c);
  size_t end = 0;
  while (end + 1 < n && !(p[end] == '\r' && p[end + 1] == '\n')) ++end;
  if (end + 1 >= n)
    return fail(
        error, lineStart,
        std::string("paper line is not ended by \"\\r\\n\"") +
            (n >= kMaxPaperLine + 2 ? " within " + std::to_string(kMaxPaperLine) + " bytes" : ""));
  const std::string items(reinterpret_cast<const char*>(p), end);
  report->paperLine = std::string(1, static_cast<char>(report->controlChar)) + "PAPER" + items;
  size_t bad = 0;
  std::string message;
  if (!parsePaperItems(items, &report->paperItems, &bad, &message))
    return fail(error, itemsStart + bad, "paper line: " + message);
  c->pos += end + 2;
  return true;
}

// "BAND%d;COMP0|1" and its line end. rawHeader is set for the
// line-feed-only form, allowed with COMP0 only.
bool readBandHeader(Cursor* c, BandInfo* band, bool* rawHeader, StreamError* error,
                    const std::string& where) {
  band->streamOffset = c->pos;
  if (!expect(c, "BAND", error, where) || !readNumber(c, &band->wireBytes, error, "band count"))
    return false;
  if (band->wireBytes < 0)
    return fail(error, band->streamOffset + 4, where + "negative band count");
  if (startsWith(c, ";COMP1")) {
    band->compressed = true;
  } else if (!startsWith(c, ";COMP0")) {
    return fail(error, c->pos, where + "expected \";COMP0\" or \";COMP1\", found " + showFound(c));
  }
  c->pos += 6;
  *rawHeader = false;
  if (!band->compressed && startsWith(c, "\n")) {
    *rawHeader = true;
    c->pos += 1;
    return true;
  }
  return expect(c, "\r\n", error, where);
}

bool failShortBand(const BandInfo& band, size_t present, StreamError* error,
                   const std::string& where) {
  return fail(error, band.streamOffset,
              where + "band announces " + std::to_string(band.wireBytes) + " bytes but only " +
                  std::to_string(present) + " remain in the stream");
}

// Brings the band's bytes into the window, or fails when the stream ends
// before them. A count above the band size can never be right; such a band
// is only counted against the stream (its first 4 bytes stay in the window
// for the length check), and readBand refuses it without reading it.
bool takeBandBytes(Cursor* c, const BandInfo& band, StreamError* error, const std::string& where) {
  const size_t wanted = static_cast<size_t>(band.wireBytes);
  size_t present = 0;
  if (wanted <= kStreamBandSize) {
    present = fill(c, wanted);
  } else {
    fill(c, 4);
    present = countRest(c, wanted);
  }
  if (present < wanted) return failShortBand(band, present, error, where);
  return true;
}

// The page image being put together from its bands.
struct ImageBuild {
  std::vector<uint8_t>* bytes;
  size_t announced;   // the count of the PCX line
  size_t pageOffset;  // where the page begins
  std::string where;  // "page N: "
  bool headerChecked;
};

// Adds `n` bytes to the page image, which never grows beyond its announced
// size. As soon as the PCX header is in, a page larger than the largest page
// image taken is refused, before any more of it is read; a header that does
// not read is left for the page sink to report.
bool appendImage(ImageBuild* build, const uint8_t* data, size_t n, StreamError* error) {
  std::vector<uint8_t>& v = *build->bytes;
  if (v.size() + n > v.capacity())
    v.reserve(std::max(v.size() + n, std::min(build->announced, 2 * v.capacity())));
  v.insert(v.end(), data, data + n);
  if (!build->headerChecked && v.size() >= kPcxHeaderSize) {
    build->headerChecked = true;
    PcxImage header;
    std::string message;
    if (readPcxHeader(v.data(), v.size(), &header, &message) && !pcxWithinLimits(header, &message))
      return fail(error, build->pageOffset, build->where + message, StreamErrorKind::kTooLarge);
  }
  return true;
}

bool readBand(Cursor* c, BandInfo* band, int32_t expectedLength, ImageBuild* image,
              StreamError* error, const std::string& where) {
  if (!takeBandBytes(c, *band, error, where)) return false;
  const uint8_t* bytes = here(*c);
  if (!band->compressed) {
    if (band->wireBytes != expectedLength)
      return fail(error, band->streamOffset,
                  where + "uncompressed band of " + std::to_string(band->wireBytes) +
                      " bytes; expected " + std::to_string(expectedLength) +
                      " (bands are 32768 bytes, the last one the remainder)");
    if (!appendImage(image, bytes, static_cast<size_t>(band->wireBytes), error)) return false;
  } else {
    const size_t dataOffset = c->pos;
    if (band->wireBytes < 4)
      return fail(error, band->streamOffset,
                  where + "compressed band of " + std::to_string(band->wireBytes) +
                      " bytes cannot hold its 4-byte length");
    const uint32_t announced =
        static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
        static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    if (announced != static_cast<uint32_t>(expectedLength))
      return fail(error, dataOffset,
                  where + "compressed band announces " + std::to_string(announced) +
                      " bytes; expected " + std::to_string(expectedLength));
    if (band->wireBytes >= expectedLength)
      return fail(error, band->streamOffset,
                  where + "compressed band of " + std::to_string(band->wireBytes) +
                      " bytes is not shorter than its " + std::to_string(expectedLength) +
                      " bytes; it should have been sent uncompressed");
    std::vector<uint8_t> decoded;
    BandDecodeError bandError;
    if (!decodeBand(bytes, static_cast<size_t>(band->wireBytes), &decoded, &bandError,
                    static_cast<size_t>(expectedLength)))
      return fail(error, dataOffset + bandError.byteOffset,
                  where + "compressed band does not decode: " + bandError.message);
    if (!appendImage(image, decoded.data(), decoded.size(), error)) return false;
  }
  band->length = expectedLength;
  c->pos += static_cast<size_t>(band->wireBytes);
  return true;
}

// Raw page mode: the whole image in one band, taken from the input a chunk
// at a time so that the window stays small.
bool readRawBand(Cursor* c, PageInfo* page, BandInfo* band, ImageBuild* image, StreamError* error,
                 const std::string& pageWhere) {
  page->rawPageMode = true;
  if (band->wireBytes != page->imageSize)
    return fail(error, band->streamOffset,
                pageWhere + "raw page band of " + std::to_string(band->wireBytes) +
                    " bytes; expected the whole image of " + std::to_string(page->imageSize));
  const size_t wanted = static_cast<size_t>(band->wireBytes);
  for (size_t taken = 0; taken < wanted;) {
    const size_t chunk = std::min(wanted - taken, kReadChunk);
    const size_t present = fill(c, chunk);
    if (present < chunk) return failShortBand(*band, taken + present, error, pageWhere);
    if (!appendImage(image, here(*c), chunk, error)) return false;
    c->pos += chunk;
    taken += chunk;
  }
  band->length = band->wireBytes;
  page->bandBytes = band->wireBytes;
  page->bands.push_back(*band);
  return true;
}

bool readBands(Cursor* c, PageInfo* page, ImageBuild* image, StreamError* error) {
  const std::string& pageWhere = image->where;
  if (page->imageSize == 0 && !startsWith(c, "BAND")) return true;  // no band at all

  BandInfo band;
  bool rawHeader = false;
  if (!readBandHeader(c, &band, &rawHeader, error, pageWhere + "band 1: ")) return false;
  if (rawHeader) return readRawBand(c, page, &band, image, error, pageWhere);
  if (page->imageSize == 0)
    return fail(error, band.streamOffset,
                pageWhere + "band after an empty page image; expected \"ENDPCX\\n\"");

  int32_t remaining = page->imageSize;
  for (int index = 1;; ++index) {
    const std::string where = pageWhere + "band " + std::to_string(index) + ": ";
    const int32_t expected =
        remaining < static_cast<int32_t>(kStreamBandSize) ? remaining : kStreamBandSize;
    if (!readBand(c, &band, expected, image, error, where)) return false;
    page->bandBytes += band.wireBytes;
    page->bands.push_back(band);
    remaining -= expected;
    if (remaining == 0) return true;
    const std::string next = pageWhere + "band " + std::to_string(index + 1) + ": ";
    band = BandInfo();
    if (!startsWith(c, "BAND"))
      return fail(error, c->pos,
                  next + "expected \"BAND\" for the remaining " + std::to_string(remaining) +
                      " bytes of the page image, found " + showFound(c));
    if (!readBandHeader(c, &band, &rawHeader, error, next)) return false;
    if (rawHeader)
      return fail(error, band.streamOffset, next + "line-feed-only band header after band 1");
  }
}

// Records a page in the report; without keepPages only the latest stays.
void addPage(JobReport* report, const PageInfo& page, bool keepPages) {
  if (!keepPages) report->pages.clear();
  report->pages.push_back(page);
  report->pageCount += 1;
}

bool readPage(Cursor* c, JobReport* report, std::vector<uint8_t>* image, StreamError* error,
              const PageSink& sink, bool keepPages) {
  PageInfo page;
  page.number = static_cast<int>(report->pageCount) + 1;
  page.streamOffset = c->pos;
  const std::string where = "page " + std::to_string(page.number) + ": ";
  if (!expect(c, "REPEAT;", error, where) || !readNumber(c, &page.repeat, error, "repeat count") ||
      !expect(c, "\r\n", error, where))
    return false;
  if (page.repeat < 1)
    return fail(error, page.streamOffset + 7, where + "repeat count must be at least 1");
  const size_t pcxAt = c->pos;
  if (!expect(c, "PCX", error, where) || !readNumber(c, &page.imageSize, error, "image size") ||
      !expect(c, ";ROW", error, where) || !readNumber(c, &page.rows, error, "row") ||
      !expect(c, "\r\n", error, where))
    return false;
  if (page.imageSize < 0) return fail(error, pcxAt + 3, where + "negative image size");
  if (static_cast<size_t>(page.imageSize) > kMaxPageImageBytes)
    return fail(error, pcxAt + 3,
                where + "image of " + std::to_string(page.imageSize) +
                    " bytes is larger than the largest page image taken (" +
                    std::to_string(kMaxPageImageBytes) + " bytes)",
                StreamErrorKind::kTooLarge);

  image->clear();
  ImageBuild build{image, static_cast<size_t>(page.imageSize), page.streamOffset, where, false};
  if (!readBands(c, &page, &build, error)) {
    addPage(report, page, keepPages);
    return false;
  }
  // Every page so far was sent like page 1, so the previous one stands for it.
  if (report->pageCount > 0 && report->pages.back().rawPageMode != page.rawPageMode) {
    addPage(report, page, keepPages);
    return fail(error, page.streamOffset,
                where + (page.rawPageMode ? "raw page mode, but page 1 was sent in bands"
                                          : "sent in bands, but page 1 was in raw page mode"));
  }
  addPage(report, page, keepPages);
  if (!expect(c, "ENDPCX\n", error, where) || !expect(c, "PRINT\r\n", error, where)) return false;
  std::string message;
  if (sink && !sink(page, *image, &message)) return fail(error, page.streamOffset, where + message);
  return true;
}

bool parseStream(Cursor* c, JobReport* report, StreamError* error, const PageSink& sink,
                 bool keepPages) {
  if (!readSetup(c, report, error) || !readConfig(c, report, error) ||
      !readPaperLine(c, report, error) ||
      !expectCommand(c, report->controlChar, "WINDRV\r\n", error))
    return false;

  std::vector<uint8_t> image;
  while (startsWith(c, "REPEAT;")) {
    if (!readPage(c, report, &image, error, sink, keepPages)) return false;
  }
  if (!startsWith(c, "WINDRVEND\r\n"))
    return fail(error, c->pos,
                "expected \"REPEAT;\" (a page) or \"WINDRVEND\\r\\n\", found " + showFound(c));
  c->pos += 11;

  if (startsWith(c, std::string(1, static_cast<char>(report->controlChar)) + "PAPER;CUTONCE\r\n")) {
    report->cutOnce = true;
    c->pos += 16;
  }
  if (!expect(c, "!QXR_SETUP\r\n", error, "trailer: ") ||
      !expect(c, "WINMODE-END\r\n", error, "trailer: ") ||
      !expect(c, "RESTORESTATE\r\n", error, "trailer: ") ||
      !expect(c, "QXR_END\r\n", error, "trailer: "))
    return false;
  if (fill(c, 1) != 0) {
    const std::string found = showFound(c);
    const size_t after = countRest(c, SIZE_MAX);
    return fail(error, c->pos,
                std::to_string(after) +
                    " bytes after the trailer; expected the end of the "
                    "stream, found " +
                    found);
  }
  report->complete = true;
  return true;
}

}  // namespace

bool parseJobStream(const uint8_t* data, size_t size, JobReport* report, StreamError* error,
                    const PageSink& sink, bool keepPages) {
  *report = JobReport();
  report->streamSize = size;
  Cursor c;
  c.window = data;
  c.windowSize = size;
  c.ended = true;
  return parseStream(&c, report, error, sink, keepPages);
}

bool parseJobStream(std::FILE* in, JobReport* report, StreamError* error, const PageSink& sink,
                    bool keepPages) {
  *report = JobReport();
  Cursor c;
  c.file = in;
  const bool valid = parseStream(&c, report, error, sink, keepPages);
  countRest(&c, SIZE_MAX);  // the rest of the input, to count its bytes
  report->streamSize = c.fileBytes;
  if (c.readErrno != 0)
    return fail(error, c.fileBytes,
                std::string("cannot read the stream: ") + std::strerror(c.readErrno),
                StreamErrorKind::kUnreadable);
  return valid;
}
