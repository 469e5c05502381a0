// Band coding for page transfer. Bands are coded independently of each other
// (each starts from a fresh coder state), so any thread may code any band; the
// caller sends them strictly in order. A band is claimed in page order by
// whichever thread is free, at most `slots` bands ahead of the one being sent,
// each into its own slot, so nothing is copied and memory stays bounded.
#include "transfer/band_coding.h"

#include <sched.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "compressor/band_compressor.h"
#include "driver/job_cancel.h"

namespace {

constexpr int kMaxHelpers = 3;

// The page being coded, shared by the caller and the helpers under `lock`.
struct PageWork {
  const unsigned char* image = nullptr;
  int32_t size = 0;
  int32_t bandSize = 0;
  int32_t bands = 0;
  int32_t slots = 0;
  int32_t capacity = 0;        // bytes of one slot
  unsigned char* slotBytes = nullptr;
  std::vector<int32_t> ready;  // per slot: the band coded into it, or -1
  std::vector<int> result;     // per slot: Encode's result
  int32_t nextClaim = 0;       // next band nobody has claimed yet
  int32_t handedOver = 0;      // bands given to the sink so far
  int32_t coding = 0;          // bands claimed and not yet coded
  bool stop = false;
};

// Created once and never destroyed: helpers may still wait on them while the
// process exits.
std::mutex* lock = nullptr;
std::condition_variable* workWaiting = nullptr;  // a band can be claimed
std::condition_variable* bandReady = nullptr;    // a band was coded
PageWork* current = nullptr;
int helpers = -1;  // helpers taking part
int started = 0;   // helper threads running

int coresAvailable() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0)
    return CPU_COUNT(&set);
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int>(online) : 1;
}

bool canClaim(const PageWork& work) {
  return !work.stop && work.nextClaim < work.bands && work.nextClaim < work.handedOver + work.slots;
}

// Codes the band claimed as `band` into its slot; called without the lock.
int codeOne(const PageWork& work, int32_t band) {
  const int32_t start = band * work.bandSize;
  const int32_t length = work.size - start < work.bandSize ? work.size - start : work.bandSize;
  unsigned char* slot = work.slotBytes + static_cast<size_t>(band % work.slots) * static_cast<size_t>(work.capacity);
  return Encode(length, const_cast<unsigned char*>(work.image + start), work.capacity, slot);
}

// Claims the next band, codes it outside the lock and publishes it. Called
// with `held` locked and canClaim true.
void claimAndCode(PageWork& work, std::unique_lock<std::mutex>& held) {
  const int32_t band = work.nextClaim++;
  ++work.coding;
  held.unlock();
  const int c = codeOne(work, band);
  held.lock();
  work.result[band % work.slots] = c;
  work.ready[band % work.slots] = band;
  --work.coding;
  bandReady->notify_all();
}

void helperLoop(int index) {
  std::unique_lock<std::mutex> held(*lock);
  for (;;) {
    workWaiting->wait(held, [index] { return index < helpers && current != nullptr && canClaim(*current); });
    claimAndCode(*current, held);
  }
}

void startHelpers() {
  if (lock == nullptr) {
    lock = new std::mutex;
    workWaiting = new std::condition_variable;
    bandReady = new std::condition_variable;
  }
  for (; started < helpers; started++)
    startThreadWithoutSignals(helperLoop, started).detach();
}

bool codeInOrder(const unsigned char* image, int32_t size, int32_t bandSize, BandSink sink) {
  const int capacity = 2 * bandSize;
  unsigned char* coded = static_cast<unsigned char*>(malloc(static_cast<size_t>(capacity)));
  if (coded == nullptr)
    return false;
  for (int32_t start = 0; start < size; start += bandSize) {
    const int32_t length = size - start < bandSize ? size - start : bandSize;
    CodedBand band = {image + start, length, coded, 0};
    band.codedLength = Encode(length, const_cast<unsigned char*>(image + start), capacity, coded);
    if (!sink(band))
      break;
  }
  free(coded);
  return true;
}

}  // namespace

int bandCodingHelpers() {
  if (helpers < 0) {
    const char* forced = getenv("VORMEL_CODER_THREADS");
    if (forced != nullptr && forced[0] >= '0' && forced[0] <= '0' + kMaxHelpers && forced[1] == '\0') {
      helpers = forced[0] - '0';
    } else {
      const int cores = coresAvailable();
      helpers = cores - 1 < kMaxHelpers ? cores - 1 : kMaxHelpers;
      if (helpers < 0)
        helpers = 0;
    }
  }
  return helpers;
}

void setBandCodingHelpers(int count) {
  // Helpers read the count under the lock when they wake.
  std::unique_lock<std::mutex> held;
  if (lock != nullptr)
    held = std::unique_lock<std::mutex>(*lock);
  helpers = count < 0 ? 0 : count > kMaxHelpers ? kMaxHelpers : count;
}

bool codeBands(const unsigned char* image, int32_t size, int32_t bandSize, BandSink sink) {
  const int32_t bands = size / bandSize + (size % bandSize != 0);
  if (bands < 2 || bandCodingHelpers() == 0)
    return codeInOrder(image, size, bandSize, sink);

  if (started < helpers)
    startHelpers();

  PageWork work;
  work.image = image;
  work.size = size;
  work.bandSize = bandSize;
  work.bands = bands;
  work.slots = 2 * (helpers + 1);
  work.capacity = 2 * bandSize;
  work.slotBytes = static_cast<unsigned char*>(malloc(static_cast<size_t>(work.slots) * static_cast<size_t>(work.capacity)));
  if (work.slotBytes == nullptr)
    return false;
  work.ready.assign(static_cast<size_t>(work.slots), -1);
  work.result.assign(static_cast<size_t>(work.slots), -1);

  std::unique_lock<std::mutex> held(*lock);
  current = &work;
  workWaiting->notify_all();
  for (int32_t band = 0; band < bands; band++) {
    const int32_t slot = band % work.slots;
    // While the band is not coded yet, code the next free one here rather
    // than wait: the band may be our own to code.
    while (work.ready[slot] != band) {
      if (canClaim(work))
        claimAndCode(work, held);
      else
        bandReady->wait(held);
    }
    held.unlock();
    const int32_t start = band * bandSize;
    const CodedBand coded = {image + start, size - start < bandSize ? size - start : bandSize,
                             work.slotBytes + static_cast<size_t>(slot) * static_cast<size_t>(work.capacity),
                             work.result[slot]};
    const bool more = sink(coded);
    held.lock();
    work.handedOver = band + 1;
    if (!more) {
      work.stop = true;
      break;
    }
    workWaiting->notify_all();
  }
  // No helper may still read the image or write a slot once we return.
  work.stop = true;
  bandReady->wait(held, [&work] { return work.coding == 0; });
  current = nullptr;
  held.unlock();
  free(work.slotBytes);
  return true;
}
