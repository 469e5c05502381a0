// Job capture: copies standard input into the capture file in large chunks
// and scans it for the bounding box and the device resolution; in raw mode
// keeps the job in a spill file and sends it back as CR LF lines. Called by
// main after the job files exist.
#include "driver/job_capture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "state/job_settings.h"
#include "driver/options.h"
#include "state/printer_output.h"

namespace {

// Memory stays flat however long the job or its lines are. The copy needs no
// line splitting at all (each line plus a line feed is the input itself), and
// the scans look only at lines that hold a marker or that run across a chunk
// boundary. Such a line is never held whole: it is fed piece by piece into a
// small state record that keeps its first 255 characters (the token work
// area), its last 15 bytes (so a marker cut by a chunk boundary is still
// found), and the progress of the bracketed resolution text.
constexpr size_t kChunkSize = 256 * 1024;  // read and written while still in cache
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

// Raw mode keeps the job (with plain line feeds, as captured) in an unlinked
// spill file; only when no spill file can be made at all does it fall back to
// memory. A failed spill write is remembered so no damaged job is sent.
int spillFd = -1;
bool spillFailed = false;
bool spillInMemory = false;
std::string spillMemory;

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
    const __m128i box = _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(a, percent), _mm_cmpeq_epi8(b, percent)),
                                      _mm_cmpeq_epi8(c, bee));
    const __m128i res = _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(a, less), _mm_cmpeq_epi8(b, less)),
                                      _mm_cmpeq_epi8(c, space));
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
      const char* space =
          line.bracket == kFirstNumber ? static_cast<const char*>(memchr(p + i, ' ', span)) : nullptr;
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
    const size_t take = n < sizeof line.head - line.headLength ? n : sizeof line.head - line.headLength;
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

bool writeAll(int fd, const char* data, size_t n) {
  while (n > 0) {
    const ssize_t written = write(fd, data, n);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    n -= static_cast<size_t>(written);
  }
  return true;
}

// An anonymous file in the work directory, else in "/tmp"; readable by the
// owner only and gone as soon as it is closed.
int openSpillFile() {
  const std::string dirs[] = {dirLoc, "/tmp"};
  for (const std::string& dir : dirs) {
    if (dir.empty()) continue;
    int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC | O_LARGEFILE, 0600);
    if (fd >= 0) return fd;
    std::string path = dir + "/vdqspill_XXXXXX";
    fd = mkostemp(&path[0], O_CLOEXEC | O_LARGEFILE);
    if (fd >= 0) {
      unlink(path.c_str());
      return fd;
    }
  }
  return -1;
}

void keepForRaw(const char* data, size_t n) {
  if (spillInMemory) {
    spillMemory.append(data, n);
  } else if (!spillFailed && !writeAll(spillFd, data, n)) {
    spillFailed = true;
  }
}

// The capture file's descriptor, written directly once the header is out:
// the chunks are large already, and stdio would split each into two writes.
int captureFd = -1;

// Set when a byte of the job did not reach the capture file (a full or failing
// disk): Ghostscript would render a job cut short.
bool captureWriteFailed = false;

// Writes to the capture file, remembering a failure.
void writeCapture(const char* data, size_t n) {
  if (!writeAll(captureFd, data, n)) captureWriteFailed = true;
}

void copyOut(const char* data, size_t n) {
  if (captureFd >= 0) writeCapture(data, n);
  if (bRaw) keepForRaw(data, n);
}

// Writes kept job text to standard output with every line feed turned into
// CR LF; `out` has room for twice `n` bytes.
bool sendAsCrLfLines(const char* data, size_t n, char* out) {
  size_t o = 0;
  const char* end = data + n;
  while (data < end) {
    const char* lf = static_cast<const char*>(memchr(data, '\n', end - data));
    const size_t span = lf ? static_cast<size_t>(lf - data) : static_cast<size_t>(end - data);
    memcpy(out + o, data, span);
    o += span;
    data += span;
    if (lf != nullptr) {
      out[o++] = '\r';
      out[o++] = '\n';
      ++data;
    }
  }
  return printerWrite(out, o) == 0;
}

// A job that arrives as a regular file (a spool file, a redirect) is copied
// into the capture file by the kernel, which saves copying every byte out of
// this process again; the bytes are still read once for the scans. Returns
// false, having copied nothing, when the input or the capture file does not
// allow that; the caller then copies through its own buffer. Once the kernel
// copy has begun, any failure falls back to writing from the buffer, so the
// capture copy is complete either way.
bool captureRegularFile(FILE* in, char* chunk, size_t chunkSize, bool* any, char* last) {
  const int inFd = fileno(in);
  struct stat info;
  if (bRaw || captureFd < 0 || inFd < 0 || fstat(inFd, &info) != 0 || !S_ISREG(info.st_mode))
    return false;
  const int flags = fcntl(captureFd, F_GETFL);
  if (flags < 0 || (flags & O_APPEND) != 0)
    return false;
  bool kernelCopy = true;
  ssize_t n;
  while ((n = read(inFd, chunk, chunkSize)) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;  // a read error ends the input like its end
    }
    const size_t length = static_cast<size_t>(n);
    if (kernelCopy) {
      // Copy the bytes just read, from their place in the input file.
      loff_t from = static_cast<loff_t>(lseek(inFd, 0, SEEK_CUR)) - n;
      size_t copied = 0;
      while (from >= 0 && copied < length) {
        const ssize_t c = copy_file_range(inFd, &from, captureFd, nullptr, length - copied, 0);
        if (c < 0 && errno == EINTR) continue;
        if (c <= 0) break;
        copied += static_cast<size_t>(c);
      }
      if (copied < length) {
        kernelCopy = false;
        writeCapture(chunk + copied, length - copied);
      }
    } else {
      writeCapture(chunk, length);
    }
    scanChunk(chunk, length);
    *any = true;
    *last = chunk[length - 1];
  }
  return true;
}

}  // namespace

int captureJob(FILE* in) {
  openLine = LineScan();
  captureFd = -1;
  captureWriteFailed = false;
  if (saveFile != nullptr) {
    if (fflush(saveFile) != 0) captureWriteFailed = true;  // the header and any debug block go first
    captureFd = fileno(saveFile);
  }
  if (spillFd >= 0) close(spillFd);
  spillFd = -1;
  if (bRaw) {
    spillFd = openSpillFile();
    spillInMemory = spillFd < 0;
    spillFailed = false;
    spillMemory.clear();
  }

  static char chunk[kChunkSize];
  bool any = false;
  char last = '\n';
  size_t n = 0;
  const bool copiedByKernel = captureRegularFile(in, chunk, sizeof chunk, &any, &last);
  while (!copiedByKernel && (n = fread(chunk, 1, sizeof chunk, in)) > 0) {
    copyOut(chunk, n);
    scanChunk(chunk, n);
    any = true;
    last = chunk[n - 1];
  }
  // A last line without its line feed is still a line, and gets one.
  if (any && last != '\n') {
    copyOut("\n", 1);
    finishLine(openLine);
  }

  if (saveFile != nullptr && fclose(saveFile) != 0) captureWriteFailed = true;
  saveFile = nullptr;
  captureFd = -1;
  return captureWriteFailed ? -1 : 0;
}

int sendRawJob() {
  if (spillFailed || (!spillInMemory && spillFd < 0)) {
    fprintf(stderr, "ERROR: the job could not be kept for sending\n");
    fflush(stderr);
    return 1;
  }
  static char chunk[kChunkSize];
  static char out[2 * kChunkSize];
  bool ok = true;
  if (spillInMemory) {
    for (size_t at = 0; ok && at < spillMemory.size(); at += kChunkSize) {
      const size_t n = spillMemory.size() - at < kChunkSize ? spillMemory.size() - at : kChunkSize;
      ok = sendAsCrLfLines(spillMemory.data() + at, n, out);
    }
  } else {
    // Read back in order; no offsets, so 32-bit builds handle jobs past 2 GiB.
    ok = lseek(spillFd, 0, SEEK_SET) == 0;
    ssize_t n;
    while (ok && (n = read(spillFd, chunk, sizeof chunk)) != 0) {
      if (n < 0) {
        if (errno == EINTR) continue;
        ok = false;
        break;
      }
      ok = sendAsCrLfLines(chunk, static_cast<size_t>(n), out);
    }
    close(spillFd);
    spillFd = -1;
  }
  if (ok) ok = printerWrite("\n", 1) == 0;
  if (printerFlush() != 0) ok = false;
  if (!ok) {
    const std::string why = printerFailed() ? printerFailureText() : "cannot read it back";
    fprintf(stderr, "ERROR: the job could not be sent: %s\n", why.c_str());
    fflush(stderr);
    return 1;
  }
  return 0;
}

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
