// A printer stream read back the way the printer reads it, by the inspector's
// parser (vormel_stream_parser): the tests' one oracle for whole job streams.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One page of a stream: its announced image size, the bands' kinds ("COMP0",
// "COMP1", or "RAW" for the raw page mode's one band) and the page image put
// back together.
struct StreamPage {
  int32_t announcedSize = 0;
  std::vector<std::string> bandKinds;
  std::string bytes;
};

// "" when `out` is a whole printer stream: every command and count as the
// printer takes them, every compressed band decoding to its length, the
// trailer last and nothing after it. Otherwise the parser's message with the
// byte offset. Fills `pages` (when given) with the pages read.
std::string streamProblem(const std::string& out, std::vector<StreamPage>* pages = nullptr);

// The page images of a whole stream, one string per page; none when the
// stream is not whole.
std::vector<std::string> streamPages(const std::string& out);

// The stream with every band (its header line and its bytes) replaced by
// "<band>", so that the fixed parts compare byte for byte; "" when the stream
// is not whole.
std::string streamSkeleton(const std::string& out);
