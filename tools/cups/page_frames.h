// Follows vormel's printer stream as it is relayed, to know when a page has
// gone out. Command lines are read as lines; after a BAND header line the
// announced number of data bytes is skipped unread, so image data is never
// taken for a command.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kFrameLineKeep = 32;  // longest command head the scanner needs to see

// Scanner state for one stream; zero-initialise (PageFrames frames{};).
struct PageFrames {
  int64_t bandBytesLeft;      // data bytes of the current band still to skip
  char line[kFrameLineKeep];  // head of the current command line
  size_t lineLength;          // bytes of the current line seen so far (may exceed the head)
  int32_t pagesDone;          // pages whose "PRINT" line has been seen
};

// Feeds `length` bytes of the stream, in order. Returns how many pages were
// completed by these bytes (their "PRINT" line ended within them); adds them
// to frames.pagesDone.
int32_t scanPageFrames(PageFrames& frames, const char* data, size_t length);

// The text a printer stream begins with.
constexpr char kStreamStart[] = "!QXR_SETUP\r\n";
constexpr size_t kStreamStartLength = sizeof kStreamStart - 1;

// Decides, from the first bytes of vormel's output, whether it is a printer
// stream. Returns 1 when `data` begins with the setup block, 0 when it
// cannot (the bytes differ), -1 when `length` is too short to tell.
int checkStreamStart(const char* data, size_t length);
