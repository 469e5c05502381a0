// Holding the band-coding helper back on two cores: the CPU time of gs (read
// through its process CPU clock) against the CPU time spent coding bands,
// both counted from the first page sent on, so that gs's start-up does not
// count as rendering.
#include "driver/core_sharing.h"

#include <time.h>

#include "transfer/band_coding.h"

namespace {

// Coding must need this many times gs's CPU before the helper is let go,
// and the helper is held back again below the second ratio. Measured on two
// cores with 4x6 inch labels, counted from the first page: at 600 dpi coding
// needs about 2.0 times gs's CPU and the shared helper shortened the jobs by
// 5 to 13%; at 300 dpi (about 2.2 times) it made no steady difference; at
// 203 dpi coding needs 1.1 to 1.45 times, and a helper let go from the start
// made the job about a tenth slower.
constexpr double kLetGoRatio = 1.7;
constexpr double kHoldBackRatio = 1.5;
// Rendering CPU seen before the first decision: enough pages to judge by.
constexpr double kSettleSeconds = 0.05;

bool following = false;
bool sharing = false;
bool haveClock = false;
clockid_t renderClock;
bool haveBase = false;
double renderBase = 0;
double codingBase = 0;

bool renderSeconds(double* seconds) {
  struct timespec now;
  if (!haveClock || clock_gettime(renderClock, &now) != 0)
    return false;
  *seconds = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
  return true;
}

void setSharing(bool share) {
  if (share != sharing) {
    sharing = share;
    holdBackHelpers(!share);
  }
}

}  // namespace

bool shareRenderCore(double codingSeconds, double renderSeconds, bool sharingNow) {
  if (renderSeconds <= 0)
    return sharingNow;
  const double ratio = codingSeconds / renderSeconds;
  return sharingNow ? ratio >= kHoldBackRatio : ratio > kLetGoRatio;
}

void startCoreSharing(pid_t gs) {
  endCoreSharing();
  if (gs <= 0 || !helpersShareRenderCore())
    return;
  following = true;
  haveClock = clock_getcpuclockid(gs, &renderClock) == 0;
  haveBase = false;
  sharing = false;
  holdBackHelpers(true);
}

void reviewCoreSharing() {
  double render;
  if (!following || !renderSeconds(&render))
    return;
  if (!haveBase) {
    renderBase = render;
    codingBase = bandCodingSeconds();
    haveBase = true;
    return;
  }
  if (render - renderBase < kSettleSeconds)
    return;
  setSharing(shareRenderCore(bandCodingSeconds() - codingBase, render - renderBase, sharing));
}

void endCoreSharing() {
  if (following)
    holdBackHelpers(false);
  following = false;
  sharing = false;
  haveClock = false;
}
