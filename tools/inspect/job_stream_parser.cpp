// Walks a printer job stream command by command, in the order the filter
// writes it, and checks each count against the bytes that are really there
// before using it. Compressed bands are decoded with the band decoder and
// must give exactly the length their page still needs.
#include "inspect/job_stream_parser.h"

#include <cstring>

#include "band_decoder/band_decoder.h"

namespace {

struct Cursor {
  const uint8_t* data;
  size_t size;
  size_t pos;
  size_t left() const { return size - pos; }
};

// Printable form of the bytes at the cursor, for error messages.
std::string showFound(const Cursor& c) {
  if (c.pos >= c.size) return "end of stream";
  std::string s = "\"";
  const size_t n = c.left() < 16 ? c.left() : 16;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t b = c.data[c.pos + i];
    if (b == '\r') {
      s += "\\r";
    } else if (b == '\n') {
      s += "\\n";
    } else if (b == '"' || b == '\\') {
      s += '\\';
      s += static_cast<char>(b);
    } else if (b >= 0x20 && b < 0x7F) {
      s += static_cast<char>(b);
    } else {
      static const char hex[] = "0123456789ABCDEF";
      s += "\\x";
      s += hex[b >> 4];
      s += hex[b & 15];
    }
  }
  s += n < c.left() ? "\"..." : "\"";
  return s;
}

std::string showLiteral(const char* text) {
  std::string s = "\"";
  for (const char* p = text; *p; ++p) {
    if (*p == '\r') {
      s += "\\r";
    } else if (*p == '\n') {
      s += "\\n";
    } else {
      s += *p;
    }
  }
  return s + "\"";
}

bool fail(StreamError* error, size_t offset, const std::string& message) {
  error->offset = offset;
  error->message = message;
  return false;
}

bool startsWith(const Cursor& c, const char* text) {
  const size_t n = std::strlen(text);
  return c.left() >= n && std::memcmp(c.data + c.pos, text, n) == 0;
}

bool expect(Cursor* c, const char* text, StreamError* error, const std::string& context = "") {
  if (!startsWith(*c, text))
    return fail(error, c->pos,
                context + "expected " + showLiteral(text) + ", found " + showFound(*c));
  c->pos += std::strlen(text);
  return true;
}

// The control character followed by a command, e.g. "~CONFIG\r\n".
bool expectCommand(Cursor* c, uint8_t controlChar, const char* text, StreamError* error) {
  const std::string full = std::string(1, static_cast<char>(controlChar)) + text;
  if (c->left() < full.size() || std::memcmp(c->data + c->pos, full.data(), full.size()) != 0)
    return fail(error, c->pos, "expected " + showLiteral(full.c_str()) + ", found " + showFound(*c));
  c->pos += full.size();
  return true;
}

// A signed decimal number as the filter formats it: optional '-', digits,
// within 32 bits.
bool readNumber(Cursor* c, int32_t* value, StreamError* error, const char* what) {
  const size_t start = c->pos;
  bool negative = false;
  if (c->left() > 0 && c->data[c->pos] == '-') {
    negative = true;
    ++c->pos;
  }
  int64_t v = 0;
  size_t digits = 0;
  while (c->left() > 0 && c->data[c->pos] >= '0' && c->data[c->pos] <= '9') {
    v = v * 10 + (c->data[c->pos] - '0');
    ++c->pos;
    if (++digits > 10 || v > (negative ? 2147483648LL : 2147483647LL)) {
      c->pos = start;
      return fail(error, start, std::string("number for ") + what + " does not fit in 32 bits");
    }
  }
  if (digits == 0) {
    c->pos = start;
    return fail(error, start,
                std::string("expected a decimal number (") + what + "), found " + showFound(*c));
  }
  *value = static_cast<int32_t>(negative ? -v : v);
  return true;
}

bool readSetup(Cursor* c, JobReport* report, StreamError* error) {
  if (!expect(c, "!QXR_SETUP\r\n", error) || !expect(c, "ENGINE-LENGTH;", error) ||
      !readNumber(c, &report->engineLength, error, "page length") ||
      !expect(c, ":WIDTH;", error) || !readNumber(c, &report->engineWidth, error, "page width") ||
      !expect(c, "\r\n", error) || !expect(c, "WINMODE-BEGIN\r\n", error) ||
      !expect(c, "SAVESTATE\r\n", error) || !expect(c, "QXR_END\r\n", error))
    return false;
  return true;
}

bool readConfig(Cursor* c, JobReport* report, StreamError* error) {
  // Whatever byte comes before CONFIG is the control character of the job.
  if (c->left() < 1 || c->left() < 1 + std::strlen("CONFIG\r\n") ||
      std::memcmp(c->data + c->pos + 1, "CONFIG\r\n", 8) != 0)
    return fail(error, c->pos,
                "expected the control character and \"CONFIG\\r\\n\", found " + showFound(*c));
  report->controlChar = c->data[c->pos];
  c->pos += 9;
  if (startsWith(*c, "SLASH ZERO;0\r\n")) {
    report->slashZero = 0;
    c->pos += 14;
  } else if (startsWith(*c, "SLASH ZERO;1\r\n")) {
    report->slashZero = 1;
    c->pos += 14;
  }
  return expect(c, "END\r\n", error, "in the CONFIG block: ");
}

bool readPaperLine(Cursor* c, JobReport* report, StreamError* error) {
  if (startsWith(*c, "\r\n")) {
    c->pos += 2;
    return true;
  }
  const size_t lineStart = c->pos;
  if (!expectCommand(c, report->controlChar, "PAPER", error)) {
    error->message = "expected the paper line (empty, or the control character and \"PAPER\"), "
                     "found " + showFound(*c);
    return false;
  }
  const size_t itemsStart = c->pos;
  const uint8_t* end = nullptr;
  for (size_t i = c->pos; i + 1 < c->size; ++i) {
    if (c->data[i] == '\r' && c->data[i + 1] == '\n') {
      end = c->data + i;
      break;
    }
  }
  if (!end) return fail(error, lineStart, "paper line is not ended by \"\\r\\n\"");
  const std::string items(reinterpret_cast<const char*>(c->data + itemsStart),
                          static_cast<size_t>(end - (c->data + itemsStart)));
  report->paperLine = std::string(reinterpret_cast<const char*>(c->data + lineStart),
                                  static_cast<size_t>(end - (c->data + lineStart)));
  size_t bad = 0;
  std::string message;
  if (!parsePaperItems(items, &report->paperItems, &bad, &message))
    return fail(error, itemsStart + bad, "paper line: " + message);
  c->pos = static_cast<size_t>(end - c->data) + 2;
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
  if (startsWith(*c, ";COMP1")) {
    band->compressed = true;
  } else if (!startsWith(*c, ";COMP0")) {
    return fail(error, c->pos, where + "expected \";COMP0\" or \";COMP1\", found " + showFound(*c));
  }
  c->pos += 6;
  *rawHeader = false;
  if (!band->compressed && startsWith(*c, "\n")) {
    *rawHeader = true;
    c->pos += 1;
    return true;
  }
  return expect(c, "\r\n", error, where);
}

bool takeBandBytes(Cursor* c, const BandInfo& band, StreamError* error, const std::string& where) {
  if (static_cast<size_t>(band.wireBytes) > c->left())
    return fail(error, band.streamOffset,
                where + "band announces " + std::to_string(band.wireBytes) + " bytes but only " +
                    std::to_string(c->left()) + " remain in the stream");
  return true;
}

bool readBand(Cursor* c, BandInfo* band, int32_t expectedLength, std::vector<uint8_t>* image,
              StreamError* error, const std::string& where) {
  if (!takeBandBytes(c, *band, error, where)) return false;
  const uint8_t* bytes = c->data + c->pos;
  if (!band->compressed) {
    if (band->wireBytes != expectedLength)
      return fail(error, band->streamOffset,
                  where + "uncompressed band of " + std::to_string(band->wireBytes) +
                      " bytes; expected " + std::to_string(expectedLength) +
                      " (bands are 32768 bytes, the last one the remainder)");
    image->insert(image->end(), bytes, bytes + band->wireBytes);
  } else {
    const size_t dataOffset = c->pos;
    if (band->wireBytes < 4)
      return fail(error, band->streamOffset,
                  where + "compressed band of " + std::to_string(band->wireBytes) +
                      " bytes cannot hold its 4-byte length");
    const uint32_t announced = static_cast<uint32_t>(bytes[0]) |
                               static_cast<uint32_t>(bytes[1]) << 8 |
                               static_cast<uint32_t>(bytes[2]) << 16 |
                               static_cast<uint32_t>(bytes[3]) << 24;
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
    image->insert(image->end(), decoded.begin(), decoded.end());
  }
  band->length = expectedLength;
  c->pos += static_cast<size_t>(band->wireBytes);
  return true;
}

bool readBands(Cursor* c, PageInfo* page, std::vector<uint8_t>* image, StreamError* error) {
  const std::string pageWhere = "page " + std::to_string(page->number) + ": ";
  if (page->imageSize == 0 && !startsWith(*c, "BAND")) return true;  // no band at all

  BandInfo band;
  bool rawHeader = false;
  if (!readBandHeader(c, &band, &rawHeader, error, pageWhere + "band 1: ")) return false;
  if (rawHeader) {
    // Raw page mode: the whole image in one band.
    page->rawPageMode = true;
    if (band.wireBytes != page->imageSize)
      return fail(error, band.streamOffset,
                  pageWhere + "raw page band of " + std::to_string(band.wireBytes) +
                      " bytes; expected the whole image of " + std::to_string(page->imageSize));
    if (!takeBandBytes(c, band, error, pageWhere)) return false;
    image->assign(c->data + c->pos, c->data + c->pos + band.wireBytes);
    c->pos += static_cast<size_t>(band.wireBytes);
    band.length = band.wireBytes;
    page->bandBytes = band.wireBytes;
    page->bands.push_back(band);
    return true;
  }
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
    if (!startsWith(*c, "BAND"))
      return fail(error, c->pos,
                  next + "expected \"BAND\" for the remaining " + std::to_string(remaining) +
                      " bytes of the page image, found " + showFound(*c));
    if (!readBandHeader(c, &band, &rawHeader, error, next)) return false;
    if (rawHeader)
      return fail(error, band.streamOffset, next + "line-feed-only band header after band 1");
  }
}

bool readPage(Cursor* c, JobReport* report, std::vector<uint8_t>* image, StreamError* error,
              const PageSink& sink) {
  PageInfo page;
  page.number = static_cast<int>(report->pages.size()) + 1;
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

  image->clear();
  if (!readBands(c, &page, image, error)) {
    report->pages.push_back(page);
    return false;
  }
  if (!report->pages.empty() && report->pages.front().rawPageMode != page.rawPageMode) {
    report->pages.push_back(page);
    return fail(error, page.streamOffset,
                where + (page.rawPageMode ? "raw page mode, but page 1 was sent in bands"
                                          : "sent in bands, but page 1 was in raw page mode"));
  }
  report->pages.push_back(page);
  if (!expect(c, "ENDPCX\n", error, where) || !expect(c, "PRINT\r\n", error, where)) return false;
  std::string message;
  if (sink && !sink(page, *image, &message)) return fail(error, page.streamOffset, where + message);
  return true;
}

}  // namespace

bool parseJobStream(const uint8_t* data, size_t size, JobReport* report, StreamError* error,
                    const PageSink& sink) {
  *report = JobReport();
  report->streamSize = size;
  Cursor c{data, size, 0};
  if (!readSetup(&c, report, error) || !readConfig(&c, report, error) ||
      !readPaperLine(&c, report, error) ||
      !expectCommand(&c, report->controlChar, "WINDRV\r\n", error))
    return false;

  std::vector<uint8_t> image;
  while (startsWith(c, "REPEAT;")) {
    if (!readPage(&c, report, &image, error, sink)) return false;
  }
  if (!startsWith(c, "WINDRVEND\r\n"))
    return fail(error, c.pos,
                "expected \"REPEAT;\" (a page) or \"WINDRVEND\\r\\n\", found " + showFound(c));
  c.pos += 11;

  const std::string cutOnce = std::string(1, static_cast<char>(report->controlChar)) +
                              "PAPER;CUTONCE\r\n";
  if (c.left() >= cutOnce.size() && std::memcmp(c.data + c.pos, cutOnce.data(), cutOnce.size()) == 0) {
    report->cutOnce = true;
    c.pos += cutOnce.size();
  }
  if (!expect(&c, "!QXR_SETUP\r\n", error, "trailer: ") ||
      !expect(&c, "WINMODE-END\r\n", error, "trailer: ") ||
      !expect(&c, "RESTORESTATE\r\n", error, "trailer: ") ||
      !expect(&c, "QXR_END\r\n", error, "trailer: "))
    return false;
  if (c.left() != 0)
    return fail(error, c.pos,
                std::to_string(c.left()) + " bytes after the trailer; expected the end of the "
                "stream, found " + showFound(c));
  report->complete = true;
  return true;
}
