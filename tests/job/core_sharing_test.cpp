// Sharing Ghostscript's core with the band-coding helper: the helper is let go
// only while coding has needed clearly more CPU than rendering since the
// first page, held back again once the two come close, and set free when gs
// ends. A child process that burns CPU while the test lets it run stands in
// for gs, so the CPU clocks read are real ones.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "driver/core_sharing.h"
#include "transfer/band_coding.h"

namespace {

TEST(CoreSharing, the_helper_is_let_go_well_above_rendering_and_held_back_close_to_it) {
  // From held back: let go only above 1.7 times gs's CPU.
  EXPECT_FALSE(shareRenderCore(1.0, 1.0, false));
  EXPECT_FALSE(shareRenderCore(1.45, 1.0, false));  // a 203 dpi label job
  EXPECT_FALSE(shareRenderCore(1.7, 1.0, false));
  EXPECT_TRUE(shareRenderCore(1.71, 1.0, false));
  EXPECT_TRUE(shareRenderCore(2.1, 1.0, false));  // 300 and 600 dpi
  // Once let go, held back again only below 1.5 times.
  EXPECT_TRUE(shareRenderCore(1.6, 1.0, true));
  EXPECT_TRUE(shareRenderCore(1.5, 1.0, true));
  EXPECT_FALSE(shareRenderCore(1.49, 1.0, true));
  // No rendering seen yet: nothing to judge by.
  EXPECT_FALSE(shareRenderCore(5.0, 0.0, false));
  EXPECT_TRUE(shareRenderCore(0.0, 0.0, true));
}

double cpuSeconds(clockid_t clock) {
  struct timespec now;
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

class CoreSharingWithChild : public ::testing::Test {
 protected:
  void SetUp() override {
    child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (volatile uint64_t spin = 0;; spin = spin + 1) {
      }
    }
    kill(child, SIGSTOP);
    ASSERT_EQ(0, clock_getcpuclockid(child, &childClock));
  }
  void TearDown() override {
    endCoreSharing();
    holdBackHelpers(false);
    setBandCodingHelpers(0);
    if (child > 0) {
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
    }
  }
  // Lets the child burn CPU until it has used `seconds` more.
  void render(double seconds) {
    const double until = cpuSeconds(childClock) + seconds;
    kill(child, SIGCONT);
    while (cpuSeconds(childClock) < until)
      usleep(1000);
    kill(child, SIGSTOP);
  }
  pid_t child = -1;
  clockid_t childClock;
};

bool ignoreBand(const CodedBand&) { return true; }

// Codes bands on this thread until the coding time has grown by `seconds`.
void code(double seconds) {
  std::vector<uint8_t> band(32768);
  uint32_t x = 1;
  for (uint8_t& b : band) {
    x = x * 1103515245 + 12345;
    b = (x >> 24) % 5 == 0 ? static_cast<uint8_t>(x >> 16) : 0;
  }
  const double until = bandCodingSeconds() + seconds;
  while (bandCodingSeconds() < until)
    codeBands(band.data(), static_cast<int32_t>(band.size()), 32768, ignoreBand);
}

TEST_F(CoreSharingWithChild, the_helper_follows_coding_against_rendering_since_the_first_page) {
  setBandCodingHelpers(1, true);
  render(0.03);  // gs's start-up: not counted
  startCoreSharing(child);
  EXPECT_FALSE(bandCodingHelpersAtWork()) << "not held back while gs starts";
  reviewCoreSharing();  // the first page is sent: counting starts

  // Rendering needs far more than coding: held back.
  render(0.06);
  code(0.01);
  reviewCoreSharing();
  EXPECT_FALSE(bandCodingHelpersAtWork());
  // Coding catches up and passes twice the rendering: let go.
  code(0.11);
  reviewCoreSharing();
  EXPECT_TRUE(bandCodingHelpersAtWork());
  // Rendering catches up to within 1.5 times: held back again.
  render(0.03);
  reviewCoreSharing();
  EXPECT_FALSE(bandCodingHelpersAtWork());
  // gs ends: the helper codes freely.
  endCoreSharing();
  EXPECT_TRUE(bandCodingHelpersAtWork());
}

TEST_F(CoreSharingWithChild, a_helper_that_does_not_share_the_core_is_never_held_back) {
  setBandCodingHelpers(1, false);
  startCoreSharing(child);
  EXPECT_TRUE(bandCodingHelpersAtWork());
  reviewCoreSharing();
  render(0.06);
  reviewCoreSharing();
  EXPECT_TRUE(bandCodingHelpersAtWork());
}

}  // namespace
