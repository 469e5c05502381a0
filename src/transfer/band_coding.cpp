// Band coding for page transfer. Bands are coded independently of each other
// (each starts from a fresh coder state), so any thread may code any band; the
// caller sends them strictly in order. A band is claimed in page order by
// whichever thread is free, at most `slots` bands ahead of the one being sent,
// each into its own slot, so nothing is copied and memory stays bounded. When
// the page under way has no band left to claim, the helpers go on with the
// page read ahead, if there is one.
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

// A page being coded, shared by the caller and the helpers under `lock`.
struct PageWork {
  const unsigned char* image = nullptr;
  unsigned char* ownImage = nullptr;  // a page read ahead owns its bytes
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
PageWork* current = nullptr;  // the page being sent
PageWork* ahead = nullptr;    // the page expected next, read ahead
int helpers = -1;  // helpers taking part
int started = 0;   // helper threads running

int encodeBand(int32_t length, const unsigned char* band, int capacity, unsigned char* coded) {
  return Encode(length, const_cast<unsigned char*>(band), capacity, coded);
}

int coresAvailable() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0)
    return CPU_COUNT(&set);
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int>(online) : 1;
}

int32_t bandCount(int32_t size, int32_t bandSize) { return size / bandSize + (size % bandSize != 0); }

// Length of the band starting at `start`: the last one may be short.
int32_t bandLength(int32_t size, int32_t start, int32_t bandSize) {
  return size - start < bandSize ? size - start : bandSize;
}

bool canClaim(const PageWork* work) {
  return work != nullptr && !work->stop && work->nextClaim < work->bands &&
         work->nextClaim < work->handedOver + work->slots;
}

// The page a free thread should code a band of next, or nullptr.
PageWork* claimable() {
  if (canClaim(current))
    return current;
  return canClaim(ahead) ? ahead : nullptr;
}

// Codes the band claimed as `band` into its slot; called without the lock.
int codeOne(const PageWork& work, int32_t band) {
  const int32_t start = band * work.bandSize;
  const int32_t length = bandLength(work.size, start, work.bandSize);
  unsigned char* slot = work.slotBytes + static_cast<size_t>(band % work.slots) * static_cast<size_t>(work.capacity);
  return encodeBand(length, work.image + start, work.capacity, slot);
}

// Claims the next band of `work`, codes it outside the lock and publishes
// it. Called with `held` locked and canClaim(work) true.
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
    workWaiting->wait(held, [index] { return index < helpers && claimable() != nullptr; });
    claimAndCode(*claimable(), held);
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

// A page to be coded; nullptr when memory cannot be had.
PageWork* newPageWork(const unsigned char* image, int32_t size, int32_t bandSize) {
  PageWork* work = new PageWork;
  work->image = image;
  work->size = size;
  work->bandSize = bandSize;
  work->bands = bandCount(size, bandSize);
  work->slots = 2 * (helpers + 1);
  work->capacity = 2 * bandSize;
  work->slotBytes =
      static_cast<unsigned char*>(malloc(static_cast<size_t>(work->slots) * static_cast<size_t>(work->capacity)));
  if (work->slotBytes == nullptr) {
    delete work;
    return nullptr;
  }
  work->ready.assign(static_cast<size_t>(work->slots), -1);
  work->result.assign(static_cast<size_t>(work->slots), -1);
  return work;
}

// Lets no helper start on `work` and waits until none is coding it; then it
// may be freed. Called with `held` locked.
void retire(PageWork* work, std::unique_lock<std::mutex>& held) {
  work->stop = true;
  bandReady->wait(held, [work] { return work->coding == 0; });
}

void freePageWork(PageWork* work) {
  free(work->slotBytes);
  free(work->ownImage);
  delete work;
}

// The page to code for `image`: the page read ahead when it holds the same
// bytes (its bands may be coded already), else a new one; the read-ahead page
// is dropped either way. Called with `held` locked.
PageWork* takePage(const unsigned char* image, int32_t size, int32_t bandSize, std::unique_lock<std::mutex>& held) {
  PageWork* work = ahead;
  ahead = nullptr;
  if (work != nullptr &&
      (work->size != size || work->bandSize != bandSize || memcmp(work->ownImage, image, static_cast<size_t>(size)) != 0)) {
    retire(work, held);
    freePageWork(work);
    work = nullptr;
  }
  return work != nullptr ? work : newPageWork(image, size, bandSize);
}

bool codeInOrder(const unsigned char* image, int32_t size, int32_t bandSize, BandSink sink) {
  const int capacity = 2 * bandSize;
  unsigned char* coded = static_cast<unsigned char*>(malloc(static_cast<size_t>(capacity)));
  if (coded == nullptr)
    return false;
  for (int32_t start = 0; start < size; start += bandSize) {
    const int32_t length = bandLength(size, start, bandSize);
    CodedBand band = {image + start, length, coded, 0};
    band.codedLength = encodeBand(length, image + start, capacity, coded);
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
      // One core is Ghostscript's and one this process's own thread's; the
      // cores beyond get a helper each. A helper on Ghostscript's core would
      // slow the rendering down as much as it speeds the coding up.
      const int cores = coresAvailable();
      helpers = cores - 2 < kMaxHelpers ? cores - 2 : kMaxHelpers;
      if (helpers < 0)
        helpers = 0;
    }
  }
  return helpers;
}

void setBandCodingHelpers(int count) {
  dropReadAhead();
  // Helpers read the count under the lock when they wake.
  std::unique_lock<std::mutex> held;
  if (lock != nullptr)
    held = std::unique_lock<std::mutex>(*lock);
  helpers = count < 0 ? 0 : count > kMaxHelpers ? kMaxHelpers : count;
}

bool bandCodingHelpersAtWork() { return bandCodingHelpers() > 0; }

void codeAhead(unsigned char* image, int32_t size, int32_t bandSize) {
  dropReadAhead();
  if (size <= 0 || !bandCodingHelpersAtWork()) {
    free(image);
    return;
  }
  if (started < helpers)
    startHelpers();
  PageWork* work = newPageWork(image, size, bandSize);
  if (work == nullptr) {
    free(image);
    return;
  }
  work->ownImage = image;
  std::unique_lock<std::mutex> held(*lock);
  ahead = work;
  workWaiting->notify_all();
}

void dropReadAhead() {
  if (lock == nullptr)
    return;
  std::unique_lock<std::mutex> held(*lock);
  if (ahead == nullptr)
    return;
  PageWork* work = ahead;
  ahead = nullptr;
  retire(work, held);
  freePageWork(work);
}

bool codeBands(const unsigned char* image, int32_t size, int32_t bandSize, BandSink sink) {
  const int32_t bands = bandCount(size, bandSize);
  // Alone, or with a single band, there is nothing to share out; a page read
  // ahead may still hold coded bands.
  const bool alone = !bandCodingHelpersAtWork();
  if ((alone || bands < 2) && (lock == nullptr || ahead == nullptr))
    return codeInOrder(image, size, bandSize, sink);
  if (started < helpers)
    startHelpers();

  std::unique_lock<std::mutex> held(*lock);
  PageWork* work = takePage(image, size, bandSize, held);
  if (work == nullptr)
    return false;
  current = work;
  workWaiting->notify_all();
  for (int32_t band = 0; band < bands; band++) {
    const int32_t slot = band % work->slots;
    // While the band is not coded yet, code the next free one here rather
    // than wait: the band may be our own to code.
    while (work->ready[slot] != band) {
      if (PageWork* other = claimable())
        claimAndCode(*other, held);
      else
        bandReady->wait(held);
    }
    held.unlock();
    const int32_t start = band * bandSize;
    const CodedBand coded = {work->image + start, bandLength(size, start, bandSize),
                             work->slotBytes + static_cast<size_t>(slot) * static_cast<size_t>(work->capacity),
                             work->result[slot]};
    const bool more = sink(coded);
    held.lock();
    work->handedOver = band + 1;
    if (!more)
      break;
    workWaiting->notify_all();
  }
  // No helper may still read the image or write a slot once we return.
  retire(work, held);
  current = nullptr;
  held.unlock();
  freePageWork(work);
  return true;
}
