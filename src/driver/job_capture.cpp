// Job capture: copies standard input into the capture file in large chunks
// and scans it for the bounding box and the device resolution; in raw mode
// keeps the job in a spill file and sends it back as CR LF lines. Called by
// main after the job files exist.
#include "driver/job_capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "driver/job_settings.h"
#include "driver/options.h"
#include "transfer/printer_output.h"

namespace {

// Memory stays flat however long the job or its lines are. The copy needs no
// line splitting at all (each line plus a line feed is the input itself), and
// the scans look only at lines that hold a marker or that run across a chunk
// boundary. Such a line is never held whole: it is fed piece by piece into a
// small state record that keeps its first 255 characters (the token work
// area), its last 15 bytes (so a marker cut by a chunk boundary is still
// found), and the progress of the bracketed resolution text.
constexpr size_t kChunkSize = 128 * 1024;
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

bool contains(const char* data, size_t length, const char* marker, size_t markerLength) {
  return memmem(data, length, marker, markerLength) != nullptr;
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
  if (!line.hasBox)
    line.hasBox = contains(p, n, kBoxMarker, kBoxMarkerLength) ||
                  contains(joint, jointLength, kBoxMarker, kBoxMarkerLength);
  if (!line.hasRes)
    line.hasRes = contains(p, n, kResMarker, kResMarkerLength) ||
                  contains(joint, jointLength, kResMarker, kResMarkerLength);

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
  const char* box = nullptr;
  const char* res = nullptr;
  while (from < end) {
    if (box != end && box < from) {
      box = static_cast<const char*>(memmem(from, end - from, kBoxMarker, kBoxMarkerLength));
      if (box == nullptr) box = end;
    }
    if (res != end && res < from) {
      res = static_cast<const char*>(memmem(from, end - from, kResMarker, kResMarkerLength));
      if (res == nullptr) res = end;
    }
    const char* hit = box < res ? box : res;
    if (hit == end) return;
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

void copyOut(const char* data, size_t n) {
  if (saveFile != nullptr) fwrite(data, 1, n, saveFile);
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

}  // namespace

void captureJob(FILE* in) {
  openLine = LineScan();
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
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, in)) > 0) {
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

  if (saveFile != nullptr) fclose(saveFile);
  saveFile = nullptr;
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
