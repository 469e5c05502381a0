// Reads a whole printer job stream as the filter writes it (setup block,
// configuration block, paper line, framed pages of bands, trailer), checks
// every command and count, and decodes every compressed band. Used by the
// vormel-inspect program, its tests and its fuzz target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "inspect/pcx_reader.h"

constexpr uint32_t kStreamBandSize = 32768;  // bands of a page, the last one shorter

// The largest page image taken (the count of a PCX line): the largest PCX
// file of the largest page the PCX reader takes. A larger count is refused
// before any of the page is read.
constexpr size_t kMaxPageImageBytes = kMaxPcxFileBytes;

// One item of the paper line, e.g. ";CUT 3".
struct PaperItem {
  std::string name;  // "CUT", "FEED SHIFT", "SPEED IPS", ...
  int32_t value = 0;
  std::string meaning;  // e.g. "cut after every 3 labels"
};

struct BandInfo {
  int32_t wireBytes = 0;    // count in the BAND header: bytes that follow it
  int32_t length = 0;       // bytes of page image the band stands for
  bool compressed = false;  // COMP1
  size_t streamOffset = 0;  // offset of the BAND header line
};

struct PageInfo {
  int number = 0;           // 1-based
  size_t streamOffset = 0;  // offset of the REPEAT line
  int32_t repeat = 0;
  int32_t imageSize = 0;     // the PCX header's byte count
  int32_t rows = 0;          // the ROW value
  bool rawPageMode = false;  // one uncompressed band with a line-feed-only header
  int32_t bandBytes = 0;     // bytes after the band headers, summed (fits: at most imageSize)
  std::vector<BandInfo> bands;
};

struct JobReport {
  size_t streamSize = 0;
  int32_t engineLength = 0;  // thousandths of an inch
  int32_t engineWidth = 0;
  uint8_t controlChar = 0;
  int slashZero = -1;     // -1 not sent, else the value of SLASH ZERO;n
  std::string paperLine;  // the line as sent (raw bytes), without CR LF
  std::vector<PaperItem> paperItems;
  size_t pageCount = 0;         // pages begun, the last one possibly cut short by a fault
  std::vector<PageInfo> pages;  // every page, or only the last one (see parseJobStream)
  bool cutOnce = false;         // PAPER;CUTONCE after the pages
  bool complete = false;        // the trailer was read and nothing followed it
};

enum class StreamErrorKind {
  kInvalid,     // the stream breaks a rule of the printer's language
  kTooLarge,    // a page beyond the largest page image taken; not read further
  kUnreadable,  // the input could not be read
};

struct StreamError {
  StreamErrorKind kind = StreamErrorKind::kInvalid;
  size_t offset = 0;    // byte offset in the stream
  std::string message;  // what was expected there and what was found; stream
                        // bytes in it are escaped (printableText)
};

// Called once per page once all its bands are read, with the reassembled
// page image. Returns false (and fills `message`) to stop with an error.
using PageSink =
    std::function<bool(const PageInfo&, const std::vector<uint8_t>& image, std::string* message)>;

// Parses the `size` bytes at `data`. Returns true when the whole stream is
// valid; otherwise false with `error` set, and `report` holding what was read
// before the fault. With `keepPages` every page stays in report->pages;
// without it a page is dropped once the sink has seen it, so that
// report->pages holds at most the page the parse stopped in. Besides the
// pages kept, memory holds one page image, which grows only by bands present
// in the input and never beyond kMaxPageImageBytes.
bool parseJobStream(const uint8_t* data, size_t size, JobReport* report, StreamError* error,
                    const PageSink& sink = nullptr, bool keepPages = true);

// The same for a stream read from `in` (a file or a pipe) in chunks, never
// whole: besides the pages kept and the page image, memory holds about one
// band's worth of input. Reads `in` to its end also after a fault, to count
// the stream's bytes. A read error ends the parse with kUnreadable.
bool parseJobStream(std::FILE* in, JobReport* report, StreamError* error,
                    const PageSink& sink = nullptr, bool keepPages = true);

// Splits the item text after "PAPER" (e.g. ";CUT 3;LABELS 2") into items with
// their meanings. Returns false with `message` and the offset within `items`
// for an unknown, malformed or out-of-order item.
bool parsePaperItems(const std::string& items, std::vector<PaperItem>* out, size_t* badOffset,
                     std::string* message);
