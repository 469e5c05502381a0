// The line scanner: finds the bounding box and the device resolution in the
// job as it streams past in chunks, for the job capture.
#include "driver/line_scanner.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <cstring>

#include "driver/options.h"
#include "state/job_settings.h"

namespace {

// Memory stays flat however long the job or its lines are. The copy needs no
// line splitting at all (each line plus a line feed is the input itself), and
// the scans look only at lines that hold a marker or that run across a chunk
// boundary. Such a line is never held whole: it is fed piece by piece into a
// small state record that keeps its first 255 characters (the token work
// area), its last 15 bytes (so a marker cut by a chunk boundary is still
// found), and the progress of the bracketed resolution text.
const char kBoxMarker[] = "%%BoundingBox: ";
const char kResMarker[] = "<< /HWResolution";
constexpr size_t kBoxMarkerLength = sizeof kBoxMarker - 1;
constexpr size_t kResMarkerLength = sizeof kResMarker - 1;
constexpr size_t kTailSize = kResMarkerLength - 1;  // enough for either marker

// Where the scan of the first "[" ... first "]" of a line stands.
enum Bracket { kBeforeOpen, kFirstNumber, kSecondNumber, kClosed, kUnusable };

// One line seen so far, fed in pieces.
struct LineScan {
  char head[kTokenAreaSize - 1];  // the token work area: first 255 characters
  size_t headLength = 0;
  char tail[kTailSize];
  size_t tailLength = 0;
  bool hasBox = false;
  bool hasRes = false;
  Bracket bracket = kBeforeOpen;
  AtoiState x;  // bracketed text up to its first space
  AtoiState y;  // bracketed text from that space on
};

LineScan openLine;  // the line the input stands in

// True when one of the markers starts at `p`; *isBox says which.
bool markerAt(const char* p, const char* end, bool* isBox) {
  const size_t left = static_cast<size_t>(end - p);
  if (left >= kBoxMarkerLength && memcmp(p, kBoxMarker, kBoxMarkerLength) == 0) {
    *isBox = true;
    return true;
  }
  if (left >= kResMarkerLength && memcmp(p, kResMarker, kResMarkerLength) == 0) {
    *isBox = false;
    return true;
  }
  return false;
}

// The first place in p[0..n) where either marker starts, or null. One pass
// for both markers: where SSE2 is at hand, 16 positions at a time are tested
// for the markers' first three bytes ("%%B", "<< ") and only those are
// compared in full. Other builds test byte by byte; the result is the same.
const char* findMarker(const char* p, size_t n, bool* isBox) {
  const char* at = p;
  const char* end = p + n;
#ifdef __SSE2__
  const __m128i percent = _mm_set1_epi8('%');
  const __m128i bee = _mm_set1_epi8('B');
  const __m128i less = _mm_set1_epi8('<');
  const __m128i space = _mm_set1_epi8(' ');
  while (end - at >= 18) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 1));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 2));
    const __m128i box =
        _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(a, percent), _mm_cmpeq_epi8(b, percent)),
                      _mm_cmpeq_epi8(c, bee));
    const __m128i res = _mm_and_si128(
        _mm_and_si128(_mm_cmpeq_epi8(a, less), _mm_cmpeq_epi8(b, less)), _mm_cmpeq_epi8(c, space));
    uint32_t candidates = static_cast<uint32_t>(_mm_movemask_epi8(_mm_or_si128(box, res)));
    while (candidates != 0) {
      const char* candidate = at + __builtin_ctz(candidates);
      if (markerAt(candidate, end, isBox)) return candidate;
      candidates &= candidates - 1;
    }
    at += 16;
  }
#endif
  for (; at < end; ++at)
    if ((*at == '%' || *at == '<') && markerAt(at, end, isBox)) return at;
  return nullptr;
}

// Notes which markers occur in p[0..n).
void noteMarkers(LineScan& line, const char* p, size_t n) {
  const char* at = p;
  const char* end = p + n;
  bool isBox = false;
  while ((!line.hasBox || !line.hasRes) && at < end) {
    const char* hit = findMarker(at, static_cast<size_t>(end - at), &isBox);
    if (hit == nullptr) return;
    (isBox ? line.hasBox : line.hasRes) = true;
    at = hit + 1;
  }
}

// Follows the first "[" and the first "]" of the line: the numbers between
// them are converted as they stream past. A "]" before any "[", or no space
// between the brackets, leaves the resolution unusable for this line.
void scanBrackets(LineScan& line, const char* p, size_t n) {
  size_t i = 0;
  while (i < n && line.bracket < kClosed) {
    if (line.bracket == kBeforeOpen) {
      const char* open = static_cast<const char*>(memchr(p + i, '[', n - i));
      const size_t before = open ? static_cast<size_t>(open - (p + i)) : n - i;
      if (memchr(p + i, ']', before) != nullptr) {
        line.bracket = kUnusable;
        return;
      }
      if (open == nullptr) return;
      line.bracket = kFirstNumber;
      i = static_cast<size_t>(open - p) + 1;
      continue;
    }
    // Once a number has ended, only the space and the "]" still matter.
    AtoiState& number = line.bracket == kFirstNumber ? line.x : line.y;
    if (number.phase == 3) {
      const char* close = static_cast<const char*>(memchr(p + i, ']', n - i));
      const size_t span = close ? static_cast<size_t>(close - (p + i)) : n - i;
      const char* space = line.bracket == kFirstNumber
                              ? static_cast<const char*>(memchr(p + i, ' ', span))
                              : nullptr;
      const char* next = space ? space : close;
      if (next == nullptr) return;
      i = static_cast<size_t>(next - p);
    }
    const char c = p[i++];
    if (c == ']') {
      line.bracket = line.bracket == kSecondNumber ? kClosed : kUnusable;
    } else if (line.bracket == kFirstNumber && c == ' ') {
      line.bracket = kSecondNumber;
      atoiFeed(line.y, c);
    } else {
      atoiFeed(number, c);
    }
  }
}

// Feeds the next piece of the current line (no line feed inside).
void feedLine(LineScan& line, const char* p, size_t n) {
  if (line.headLength < sizeof line.head) {
    const size_t take =
        n < sizeof line.head - line.headLength ? n : sizeof line.head - line.headLength;
    memcpy(line.head + line.headLength, p, take);
    line.headLength += take;
  }

  // Markers inside this piece, and markers that begin in the previous piece.
  char joint[2 * kTailSize];
  size_t jointLength = 0;
  if (line.tailLength > 0) {
    memcpy(joint, line.tail, line.tailLength);
    const size_t take = n < kTailSize ? n : kTailSize;
    memcpy(joint + line.tailLength, p, take);
    jointLength = line.tailLength + take;
  }
  noteMarkers(line, p, n);
  noteMarkers(line, joint, jointLength);

  if (n >= kTailSize) {
    memcpy(line.tail, p + n - kTailSize, kTailSize);
    line.tailLength = kTailSize;
  } else {
    const size_t keep = line.tailLength + n > kTailSize ? kTailSize - n : line.tailLength;
    memmove(line.tail, line.tail + line.tailLength - keep, keep);
    memcpy(line.tail + keep, p, n);
    line.tailLength = keep + n;
  }

  scanBrackets(line, p, n);
}

// Bounding box: tokens of the line's first 255 characters, split at runs of
// spaces; token 3 is the width and token 4 the length of the page.
void applyBoundingBox(const LineScan& line) {
  if (!line.hasBox) return;
  int token = 0;
  size_t i = 0;
  while (i < line.headLength && token <= 4) {
    while (i < line.headLength && line.head[i] == ' ') ++i;
    if (i == line.headLength) break;
    const size_t start = i;
    while (i < line.headLength && line.head[i] != ' ') ++i;
    if (token == 3) pageWid = atoiText(line.head + start, i - start);
    if (token == 4) pageLen = atoiText(line.head + start, i - start);
    ++token;
  }
}

void applyResolution(const LineScan& line) {
  if (!line.hasRes || line.bracket != kClosed) return;
  xRes = atoiResult(line.x);
  yRes = atoiResult(line.y);
}

void finishLine(LineScan& line) {
  applyBoundingBox(line);
  applyResolution(line);
  line = LineScan();
}

// Complete lines, each ended by a line feed: only the lines that hold a
// marker are looked at.
void scanCompleteLines(const char* region, size_t length) {
  const char* end = region + length;
  const char* from = region;
  bool isBox = false;
  while (from < end) {
    const char* hit = findMarker(from, static_cast<size_t>(end - from), &isBox);
    if (hit == nullptr) return;
    const char* previousEnd = static_cast<const char*>(memrchr(from, '\n', hit - from));
    const char* lineStart = previousEnd ? previousEnd + 1 : from;
    const char* lineEnd = static_cast<const char*>(memchr(hit, '\n', end - hit));
    LineScan line;
    feedLine(line, lineStart, lineEnd - lineStart);
    finishLine(line);
    from = lineEnd + 1;
  }
}

// One chunk of input: the line left open by the previous chunk continues up
// to the first line feed, complete lines follow, and the rest opens the next
// line.
}  // namespace

void scanChunk(const char* p, size_t n) {
  const char* firstEnd = static_cast<const char*>(memchr(p, '\n', n));
  if (firstEnd == nullptr) {
    feedLine(openLine, p, n);
    return;
  }
  feedLine(openLine, p, firstEnd - p);
  finishLine(openLine);
  const char* rest = firstEnd + 1;
  const char* end = p + n;
  const char* lastEnd = static_cast<const char*>(memrchr(rest, '\n', end - rest));
  if (lastEnd != nullptr) {
    scanCompleteLines(rest, lastEnd + 1 - rest);
    rest = lastEnd + 1;
  }
  if (rest < end) feedLine(openLine, rest, end - rest);
}

void startScan() { openLine = LineScan(); }

void endScan() { finishLine(openLine); }

void scanBoundingBox(const std::string& line) {
  LineScan scan;
  feedLine(scan, line.data(), line.size());
  applyBoundingBox(scan);
}

void scanResolution(const std::string& line) {
  LineScan scan;
  feedLine(scan, line.data(), line.size());
  applyResolution(scan);
}
