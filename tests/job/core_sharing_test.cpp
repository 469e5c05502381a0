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

// Codes small bands on this thread until the coding time has grown by
// `seconds`.
void code(double seconds) {
  std::vector<uint8_t> band(2048);
  uint32_t x = 1;
  for (uint8_t& b : band) {
    x = x * 1103515245 + 12345;
    b = (x >> 24) % 5 == 0 ? static_cast<uint8_t>(x >> 16) : 0;
  }
  const double until = bandCodingSeconds() + seconds;
  while (bandCodingSeconds() < until)
    codeBands(band.data(), static_cast<int32_t>(band.size()), 2048, ignoreBand);
}

TEST_F(CoreSharingWithChild, the_helper_follows_coding_against_rendering_since_the_first_page) {
  setBandCodingHelpers(1, true);
  render(0.03);  // gs's start-up: not counted
  startCoreSharing(child);
  EXPECT_FALSE(bandCodingHelpersAtWork()) << "not held back while gs starts";
  // The first page is sent: counting starts from here (gs is stopped).
  const double renderBase = cpuSeconds(childClock);
  const double codingBase = bandCodingSeconds();
  reviewCoreSharing();
  // A band takes long to code in an instrumented build, so every step below
  // goes by the CPU times reached, not by the ones asked for.
  auto ratio = [&] { return (bandCodingSeconds() - codingBase) / (cpuSeconds(childClock) - renderBase); };

  // Rendering needs more than coding: held back.
  render(0.06);
  code(0.001);
  ASSERT_LT(ratio(), 1.5);
  reviewCoreSharing();
  EXPECT_FALSE(bandCodingHelpersAtWork());
  // Coding passes 1.6 times the rendering: still held back.
  while (ratio() < 1.6)
    code(0.001);
  if (ratio() < 1.7) {
    reviewCoreSharing();
    EXPECT_FALSE(bandCodingHelpersAtWork()) << ratio();
  }
  // Coding passes 1.8 times the rendering: let go.
  while (ratio() < 1.8)
    code(0.001);
  reviewCoreSharing();
  EXPECT_TRUE(bandCodingHelpersAtWork()) << ratio();
  // Rendering catches up to 1.6 times: still let go; to 1.45: held back.
  while (ratio() > 1.6)
    render(0.002);
  if (ratio() >= 1.5) {
    reviewCoreSharing();
    EXPECT_TRUE(bandCodingHelpersAtWork()) << ratio();
  }
  while (ratio() > 1.45)
    render(0.002);
  reviewCoreSharing();
  EXPECT_FALSE(bandCodingHelpersAtWork()) << ratio();
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
