// The page scanner of the relay: pages are counted at their PRINT line only,
// band data is skipped by its announced length, however the stream is cut.
#include "page_frames.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Two pages; the band data holds a PRINT line and a band header of its own.
std::string twoPageStream() {
  const std::string page =
      "REPEAT;1\r\nPCX21;ROW1\r\nBAND9;COMP0\r\n\nPRINT\r\n\nBAND12;COMP1\r\nBAND3;COMP0\n"
      "ENDPCX\nPRINT\r\n";
  return "!QXR_SETUP\r\nENGINE-LENGTH;6000:WIDTH;4000\r\n~WINDRV\r\n" + page + page +
         "WINDRVEND\r\n";
}

TEST(PageFrames, band_data_is_never_read_as_commands_whatever_the_chunking) {
  const std::string stream = twoPageStream();
  for (size_t chunk = 1; chunk <= stream.size(); ++chunk) {
    PageFrames frames{};
    int32_t total = 0;
    for (size_t at = 0; at < stream.size(); at += chunk)
      total += scanPageFrames(frames, stream.data() + at, std::min(chunk, stream.size() - at));
    EXPECT_EQ(total, 2) << "chunk size " << chunk;
    EXPECT_EQ(frames.pagesDone, 2);
    EXPECT_EQ(frames.bandBytesLeft, 0);
  }
}

TEST(PageFrames, page_counts_only_when_its_print_line_is_complete) {
  const std::string stream = twoPageStream();
  const size_t firstPrint = stream.find("ENDPCX\nPRINT\r\n") + 7;
  PageFrames frames{};
  EXPECT_EQ(scanPageFrames(frames, stream.data(), firstPrint + 6), 0);  // "PRINT\r" without LF
  EXPECT_EQ(scanPageFrames(frames, stream.data() + firstPrint + 6, 1), 1);
}

TEST(PageFrames, raw_page_header_ended_by_line_feed_and_empty_bands) {
  const std::string stream =
      "REPEAT;1\r\nPCX4;ROW1\r\nBAND4;COMP0\nP\r\n\nENDPCX\nPRINT\r\n"  // raw page, data holds LFs
      "REPEAT;1\r\nPCX0;ROW1\r\nENDPCX\nPRINT\r\n";                     // empty image: no band
  PageFrames frames{};
  EXPECT_EQ(scanPageFrames(frames, stream.data(), stream.size()), 2);
}

TEST(PageFrames, lines_that_only_resemble_commands_do_not_count) {
  const std::string stream = "PRINTER\r\nXPRINT\r\nBANDx;COMP1\r\nBAND5;COMP7\r\nPRINT\r\n";
  PageFrames frames{};
  EXPECT_EQ(scanPageFrames(frames, stream.data(), stream.size()), 1);
}

TEST(PageFrames, stream_start_is_recognised_from_its_first_bytes) {
  EXPECT_EQ(checkStreamStart("!QXR_", 5), -1);
  EXPECT_EQ(checkStreamStart("!QXR_SETUP\r\nENGINE", 18), 1);
  EXPECT_EQ(checkStreamStart("Unable to find", 14), 0);
  EXPECT_EQ(checkStreamStart("", 0), -1);
}

}  // namespace
