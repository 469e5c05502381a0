// Band coding for page transfer. Bands are coded independently of each other
// (each starts from a fresh coder state), so any thread may read and code any
// band; the caller hands them over strictly in order. A band is claimed in
// page order by whichever thread is free, at most `slots` bands ahead of the
// one being handed over, and read from the file and coded in its own slot, so
// nothing is copied and memory stays bounded whatever the page size.
#include "transfer/band_coding.h"

#include <sched.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "compressor/band_compressor.h"
#include "transfer/quiet_thread.h"

namespace {

constexpr int kMaxHelpers = 3;
// Two slots per thread that codes: each can leave one band coded and waiting
// while it codes the next.
constexpr int kMaxSlots = 2 * (kMaxHelpers + 1);

}  // namespace

// A page being coded, shared by the caller and the helpers under `lock`.
struct PageBands {
  int fd = -1;
  int32_t size = 0;
  int32_t bandSize = 0;
  int32_t bands = 0;
  int32_t slots = 0;
  unsigned char* slotBytes = nullptr;  // per slot: the band, then its coded form
  int32_t ready[kMaxSlots];            // per slot: the band coded into it, or -1
  int result[kMaxSlots];               // per slot: Encode's result
  bool whole[kMaxSlots];               // per slot: the file gave every byte of the band
  int32_t nextClaim = 0;               // next band nobody has claimed yet
  int32_t handedOver = 0;              // bands given to the sink so far
  int32_t coding = 0;                  // bands claimed and not yet coded
  bool stop = false;
};

namespace {

// Created once and never destroyed: helpers may still wait on them while the
// process exits.
std::mutex* lock = nullptr;
std::condition_variable* workWaiting = nullptr;  // a band can be claimed
std::condition_variable* bandReady = nullptr;    // a band was coded
PageBands* current = nullptr;                    // the page being sent
int helpers = -1;                                // helpers taking part
int started = 0;                                 // helper threads running
bool memoryFailing = false;

int coresAvailable() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return CPU_COUNT(&set);
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int>(online) : 1;
}

int32_t bandCount(int32_t size, int32_t bandSize) {
  return size / bandSize + (size % bandSize != 0);
}

// Length of the band starting at `start`: the last one may be short.
int32_t bandLength(int32_t size, int32_t start, int32_t bandSize) {
  return size - start < bandSize ? size - start : bandSize;
}

// A slot holds the band as read (one band size) and its coded form (Encode's
// capacity, two band sizes).
size_t slotSize(int32_t bandSize) { return 3 * static_cast<size_t>(bandSize); }

unsigned char* slotOf(const PageBands& page, int32_t band) {
  return page.slotBytes + static_cast<size_t>(band % page.slots) * slotSize(page.bandSize);
}

// Reads `band` into its slot and codes it there. Bytes the file no longer
// gives are zeros: the page's size is announced already, so the band keeps
// its length. Called without the lock.
int loadAndCode(const PageBands& page, int32_t band, bool* whole) {
  const int32_t start = band * page.bandSize;
  const int32_t length = bandLength(page.size, start, page.bandSize);
  unsigned char* raw = slotOf(page, band);
  const int32_t got = readImageBytes(page.fd, raw, length, start);
  if (got < length) memset(raw + got, 0, static_cast<size_t>(length - got));
  *whole = got == length;
  return Encode(length, raw, 2 * page.bandSize, raw + page.bandSize);
}

CodedBand codedBand(const PageBands& page, int32_t band, int codedLength) {
  const int32_t start = band * page.bandSize;
  const unsigned char* slot = slotOf(page, band);
  return {slot, bandLength(page.size, start, page.bandSize), slot + page.bandSize, codedLength};
}

bool canClaim(const PageBands* page) {
  return page != nullptr && !page->stop && page->nextClaim < page->bands &&
         page->nextClaim < page->handedOver + page->slots;
}

// The page a free thread should code a band of next, or nullptr.
PageBands* claimable() { return canClaim(current) ? current : nullptr; }

// Claims the next band of `page`, reads and codes it outside the lock and
// publishes it. Called with `held` locked and canClaim(page) true.
void claimAndCode(PageBands& page, std::unique_lock<std::mutex>& held) {
  const int32_t band = page.nextClaim++;
  ++page.coding;
  held.unlock();
  bool whole = false;
  const int c = loadAndCode(page, band, &whole);
  held.lock();
  const int32_t slot = band % page.slots;
  page.result[slot] = c;
  page.whole[slot] = whole;
  page.ready[slot] = band;
  --page.coding;
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
  for (; started < helpers; started++) startThreadWithoutSignals(helperLoop, started).detach();
}

// A page of `slots` slots for the file open as `fd`; nullptr when memory
// cannot be had.
PageBands* newPageBands(int fd, const struct stat& info, int32_t bandSize, int slots) {
  PageBands* page = new (std::nothrow) PageBands;
  if (page == nullptr) return nullptr;
  page->slotBytes = static_cast<unsigned char*>(
      allocatePageMemory(static_cast<size_t>(slots) * slotSize(bandSize)));
  if (page->slotBytes == nullptr) {
    delete page;
    return nullptr;
  }
  page->fd = fd;
  page->size = static_cast<int32_t>(info.st_size);
  page->bandSize = bandSize;
  page->bands = bandCount(page->size, bandSize);
  page->slots = slots;
  for (int32_t slot = 0; slot < slots; slot++) page->ready[slot] = -1;
  return page;
}

void freePageBands(PageBands* page) {
  free(page->slotBytes);
  delete page;
}

// Lets no helper start on `page` and waits until none is coding it; then it
// may be freed. Called with `held` locked.
void retire(PageBands* page, std::unique_lock<std::mutex>& held) {
  page->stop = true;
  bandReady->wait(held, [page] { return page->coding == 0; });
}

// Hands the bands over on the calling thread alone, from the page's one slot.
bool codeInOrder(PageBands* page, BandSink sink) {
  bool whole = true;
  for (int32_t band = 0; band < page->bands; band++) {
    bool read = false;
    const int c = loadAndCode(*page, band, &read);
    whole = whole && read;
    if (!sink(codedBand(*page, band, c))) break;
  }
  freePageBands(page);
  return whole;
}

}  // namespace

int bandCodingHelpers() {
  if (helpers < 0) {
    const char* forced = getenv("VORMEL_CODER_THREADS");
    if (forced != nullptr && forced[0] >= '0' && forced[0] <= '0' + kMaxHelpers &&
        forced[1] == '\0') {
      helpers = forced[0] - '0';
    } else {
      // One core is Ghostscript's and one this process's own thread's; the
      // cores beyond get a helper each. A helper on Ghostscript's core would
      // slow the rendering down as much as it speeds the coding up.
      const int cores = coresAvailable();
      helpers = cores - 2 < kMaxHelpers ? cores - 2 : kMaxHelpers;
      if (helpers < 0) helpers = 0;
    }
  }
  return helpers;
}

void setBandCodingHelpers(int count) {
  // Helpers read the count under the lock when they wake.
  std::unique_lock<std::mutex> held;
  if (lock != nullptr) held = std::unique_lock<std::mutex>(*lock);
  helpers = count < 0 ? 0 : count > kMaxHelpers ? kMaxHelpers : count;
}

int32_t readImageBytes(int fd, unsigned char* to, int32_t length, off_t offset) {
  int32_t done = 0;
  while (done < length) {
    const ssize_t n = pread(fd, to + done, static_cast<size_t>(length - done), offset + done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<int32_t>(n);
  }
  return done;
}

void* allocatePageMemory(size_t bytes) { return memoryFailing ? nullptr : malloc(bytes); }

void setPageMemoryFailing(bool failing) { memoryFailing = failing; }

PageBands* openPageBands(int fd, const struct stat& info, int32_t bandSize) {
  assert(info.st_size >= 0 && info.st_size <= INT32_MAX && bandSize > 0);
  // Alone, or with a single band, there is nothing to share out: one slot,
  // coded on the calling thread.
  const bool alone =
      bandCodingHelpers() == 0 || bandCount(static_cast<int32_t>(info.st_size), bandSize) < 2;
  PageBands* page = newPageBands(fd, info, bandSize, alone ? 1 : 2 * (helpers + 1));
  if (page != nullptr && !alone && started < helpers) startHelpers();
  return page;
}

bool codeBands(PageBands* page, BandSink sink) {
  if (page->slots == 1) return codeInOrder(page, sink);

  bool whole = true;
  std::unique_lock<std::mutex> held(*lock);
  current = page;
  workWaiting->notify_all();
  for (int32_t band = 0; band < page->bands; band++) {
    const int32_t slot = band % page->slots;
    // While the band is not coded yet, code the next free one here rather
    // than wait: the band may be our own to code.
    while (page->ready[slot] != band) {
      if (PageBands* other = claimable())
        claimAndCode(*other, held);
      else
        bandReady->wait(held);
    }
    whole = whole && page->whole[slot];
    const CodedBand coded = codedBand(*page, band, page->result[slot]);
    held.unlock();
    const bool more = sink(coded);
    held.lock();
    page->handedOver = band + 1;
    if (!more) break;
    workWaiting->notify_all();
  }
  // No helper may still read the file or write a slot once we return.
  retire(page, held);
  current = nullptr;
  held.unlock();
  freePageBands(page);
  return whole;
}
