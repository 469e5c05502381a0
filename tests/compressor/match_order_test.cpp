// The tuned match finder against the plain one: inserting from a finger
// through the string order must leave the very forest that the walk from the
// root leaves, the order beside it must stay the in-order sequence of each
// tree with the exact shared prefixes, and whole bands built to take the fast
// paths (runs, repeated rows, copies across the ring's end, lengths near the
// band limit) must leave the same record and stream as the reference coder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "byte_diff.h"
#include "compressor/band_compressor.h"
#include "compressor/match_finder.h"
#include "reference_coder.h"
#include "sample_bands.h"

namespace {

struct Forests {
  _CParams* tuned = static_cast<_CParams*>(std::calloc(1, sizeof(_CParams)));
  _CParams* plain = static_cast<_CParams*>(std::calloc(1, sizeof(_CParams)));
  OrderLinks* order = static_cast<OrderLinks*>(std::calloc(1, sizeof(OrderLinks)));
  Forests() {
    InitTree(tuned);
    InitOrder(order);
    InitTree(plain);
  }
  ~Forests() {
    std::free(tuned);
    std::free(plain);
    std::free(order);
  }
  Forests(const Forests&) = delete;
  Forests& operator=(const Forests&) = delete;
};

int sharedBytes(const _CParams* p, int a, int b) {
  int i = 0;
  while (i < kMaxMatch && p->window[a + i] == p->window[b + i]) i++;
  return i;
}

// Names the first link in which the two forests differ; empty when none.
std::string forestDifference(const _CParams* a, const _CParams* b) {
  for (int x = 0; x < kWindowSize; x++) {
    if (a->upLink[x] != b->upLink[x]) return "upLink[" + std::to_string(x) + "]";
    if (a->upLink[x] == kNil) continue;
    if (a->leftLink[x] != b->leftLink[x]) return "leftLink[" + std::to_string(x) + "]";
    if (a->rightLink[x] != b->rightLink[x]) return "rightLink[" + std::to_string(x) + "]";
  }
  for (int root = kRootBase; root < kRootBase + 256; root++) {
    if (a->rightLink[root] != b->rightLink[root]) return "root " + std::to_string(root - kRootBase);
  }
  return "";
}

// Checks that the order holds each tree's positions in order with the exact
// number of bytes shared by neighbours; empty when it does.
std::string orderDifference(const _CParams* p, const OrderLinks* order) {
  for (int root = kRootBase; root < kRootBase + 256; root++) {
    std::vector<int> inOrder;
    std::vector<int> stack;
    int x = p->rightLink[root];
    while (x != kNil || !stack.empty()) {
      while (x != kNil) {
        stack.push_back(x);
        x = p->leftLink[x];
      }
      x = stack.back();
      stack.pop_back();
      inOrder.push_back(x);
      x = p->rightLink[x];
    }
    for (size_t k = 0; k < inOrder.size(); k++) {
      const OrderEntry& e = order->at[inOrder[k]];
      const int want_prev = k > 0 ? inOrder[k - 1] : kNil;
      const int want_next = k + 1 < inOrder.size() ? inOrder[k + 1] : kNil;
      const std::string at = "position " + std::to_string(inOrder[k]);
      if (e.prev != want_prev)
        return at + ": prev " + std::to_string(e.prev) + ", wanted " + std::to_string(want_prev);
      if (e.next != want_next)
        return at + ": next " + std::to_string(e.next) + ", wanted " + std::to_string(want_next);
      if (want_prev != kNil &&
          order->sharedPrev[inOrder[k]] != sharedBytes(p, inOrder[k], want_prev)) {
        return at + ": sharedPrev";
      }
    }
  }
  return "";
}

uint32_t nextRandom(uint32_t* s) {
  *s ^= *s << 13;
  *s ^= *s >> 17;
  *s ^= *s << 5;
  return *s;
}

// Window contents whose strings share long prefixes: a few short motifs
// repeated with the odd changed byte, over an alphabet of three values.
void fillWindow(_CParams* p, uint32_t seed) {
  uint32_t s = seed;
  int at = 0;
  while (at < kWindowSize + kMirrorSize) {
    const int len = 1 + static_cast<int>(nextRandom(&s) % 90);
    const int period = 1 + static_cast<int>(nextRandom(&s) % 7);
    uint8_t motif[8];
    for (uint8_t& m : motif) m = static_cast<uint8_t>(0x41 + nextRandom(&s) % 3);
    for (int k = 0; k < len && at < kWindowSize + kMirrorSize; k++, at++) {
      p->window[at] = nextRandom(&s) % 41 == 0 ? static_cast<uint8_t>(0x41 + nextRandom(&s) % 3)
                                               : motif[k % period];
    }
  }
}

}  // namespace

TEST(MatchOrder, the_lead_in_of_a_band_leaves_the_forest_and_match_of_its_sixty_insertions) {
  // The band's first byte below, above or equal to a space, bands that
  // begin with spaces and then differ, and bands shorter than the lookahead
  // (zeros behind them), then the first coding position on top.
  const std::vector<std::vector<uint8_t>> starts = {
      {0x00}, {0x1F, 0x20},       {0x21},       {0xFF, 0x00, 0xFF},
      {0x20}, {0x20, 0x20, 0x41}, {0x20, 0x1F}, {0x0A, 0x05, 0x01, 0x01}};
  for (const std::vector<uint8_t>& start : starts) {
    for (const int len : {1, 2, 5, 59, 60}) {
      SCOPED_TRACE("first byte " + std::to_string(start[0]) + ", length " + std::to_string(len));
      Forests f;
      for (_CParams* p : {f.tuned, f.plain}) {
        std::memset(p->window, ' ', kWindowStart);
        for (int i = 0; i < len; i++) {
          p->window[kWindowStart + i] =
              i < static_cast<int>(start.size()) ? start[i] : static_cast<uint8_t>(0x41 + i % 3);
        }
      }
      InsertLeadIn(f.tuned, f.order);
      for (int k = 1; k <= kMaxMatch; k++)
        reference::InsertNode(static_cast<short>(kWindowStart - k), f.plain);
      ASSERT_EQ(forestDifference(f.tuned, f.plain), "");
      ASSERT_EQ(orderDifference(f.tuned, f.order), "");
      EXPECT_EQ(f.tuned->bestLength, f.plain->bestLength);
      EXPECT_EQ(f.tuned->bestOffset, f.plain->bestOffset);
      InsertNode(static_cast<short>(kWindowStart), f.tuned, f.order);
      reference::InsertNode(static_cast<short>(kWindowStart), f.plain);
      ASSERT_EQ(forestDifference(f.tuned, f.plain), "");
      EXPECT_EQ(f.tuned->bestLength, f.plain->bestLength);
      EXPECT_EQ(f.tuned->bestOffset, f.plain->bestOffset);
    }
  }
}

TEST(MatchOrder, insertion_from_any_finger_leaves_the_forest_of_the_walk_from_the_root) {
  // Positions go in in ring order and leave 1500 positions later, as the
  // encoder slides its window; each is inserted from the root or from a
  // finger: the position a copy would give, a random one or one that
  // shares nothing, with any true lower bound of the bytes it shares.
  for (uint32_t seed = 1; seed <= 6; seed++) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Forests f;
    fillWindow(f.tuned, seed);
    std::memcpy(f.plain->window, f.tuned->window, sizeof f.tuned->window);
    uint32_t s = seed * 977;
    int checked = 0;
    for (int pos = 0; pos < 2 * kWindowSize; pos++) {
      const int r = pos & (kWindowSize - 1);
      const int old = (pos - 1500) & (kWindowSize - 1);
      if (pos >= 1500) {
        DeleteNode(static_cast<short>(old), f.tuned, f.order);
        reference::DeleteNode(static_cast<short>(old), f.plain);
      }
      reference::InsertNode(static_cast<short>(r), f.plain);
      const uint32_t how = nextRandom(&s) % 8;
      if (how == 0) {
        InsertNode(static_cast<short>(r), f.tuned, f.order);
        ASSERT_EQ(f.tuned->bestLength, f.plain->bestLength) << "position " << r;
        if (f.plain->bestLength > 0) {
          ASSERT_EQ(f.tuned->bestOffset, f.plain->bestOffset) << "position " << r;
        }
      } else {
        const int back = how < 5 ? 1 + static_cast<int>(nextRandom(&s) % 12)
                                 : 1 + static_cast<int>(nextRandom(&s) % 1499);
        const int finger = (r - back) & (kWindowSize - 1);
        const int shared = sharedBytes(f.tuned, r, finger);
        const int agreed =
            shared == 0 ? 1 : 1 + static_cast<int>(nextRandom(&s) % (shared < 59 ? shared : 59));
        InsertNodeNear(static_cast<short>(r), static_cast<short>(finger), agreed, f.tuned, f.order);
        if (f.plain->bestLength == kMaxMatch) {
          ASSERT_EQ(f.tuned->bestLength, kMaxMatch) << "position " << r;
          ASSERT_EQ(f.tuned->bestOffset, f.plain->bestOffset) << "position " << r;
        }
      }
      const std::string forest = forestDifference(f.tuned, f.plain);
      ASSERT_EQ(forest, "") << "after position " << r << " (how " << how << ")";
      if (pos % 97 == 0) {
        ASSERT_EQ(orderDifference(f.tuned, f.order), "") << "after position " << r;
        checked++;
      }
    }
    EXPECT_GT(checked, 80);
  }
}

namespace {

// Complete stream and final record of a band; `plain` runs the reference.
struct Coded {
  Bytes stream;
  _CParams record;
};

Coded codeBand(const Bytes& band, bool plain) {
  _CParams* p = static_cast<_CParams*>(std::calloc(1, sizeof(_CParams)));
  Bytes src = band;
  Coded c;
  c.stream.resize(8 * band.size() + 64);
  p->inData = src.data();
  p->inSize = static_cast<int32_t>(band.size());
  p->outBuf = c.stream.data();
  p->outCap = static_cast<int32_t>(c.stream.size());
  if (plain) {
    reference::Encode(p);
  } else {
    Encode(p);
  }
  c.stream.resize(static_cast<size_t>(p->outLen));
  c.record = *p;
  std::free(p);
  return c;
}

// Everything of the record that the coding defines: window, forest (stale
// links of departed positions included), model and bit writer.
std::string recordDifference(const _CParams& a, const _CParams& b) {
  if (std::memcmp(a.window, b.window, sizeof a.window) != 0) return "window";
  if (std::memcmp(a.leftLink, b.leftLink, kWindowSize * sizeof a.leftLink[0]) != 0)
    return "leftLink";
  if (std::memcmp(a.rightLink, b.rightLink, sizeof a.rightLink) != 0) return "rightLink";
  if (std::memcmp(a.upLink, b.upLink, kWindowSize * sizeof a.upLink[0]) != 0) return "upLink";
  if (std::memcmp(a.weight, b.weight, sizeof a.weight) != 0) return "weight";
  if (std::memcmp(a.upNode, b.upNode, sizeof a.upNode) != 0) return "upNode";
  if (std::memcmp(a.firstChild, b.firstChild, sizeof a.firstChild) != 0) return "firstChild";
  if (a.bitWord != b.bitWord || a.bitFill != b.bitFill) return "bit writer";
  if (a.firstFill != b.firstFill || a.inPos != b.inPos) return "counters";
  return "";
}

// Rows of a page image repeated with small changes: each row is a few PCX
// runs; a row is kept for a while, then changed in one run.
Bytes repeatedRows(size_t size, int rowLength, uint32_t seed) {
  uint32_t s = seed;
  Bytes row;
  Bytes out;
  while (out.size() < size) {
    if (row.empty() || nextRandom(&s) % 5 == 0) {
      row.clear();
      while (static_cast<int>(row.size()) < rowLength) {
        row.push_back(static_cast<uint8_t>(0xC0 | (1 + nextRandom(&s) % 63)));
        row.push_back(nextRandom(&s) % 3 == 0 ? static_cast<uint8_t>(nextRandom(&s)) : 0xFF);
      }
      row.resize(static_cast<size_t>(rowLength));
    }
    out.insert(out.end(), row.begin(), row.end());
  }
  out.resize(size);
  return out;
}

// Long runs of the pairs a blank page image is made of, broken by marks.
Bytes blankRuns(size_t size, uint32_t seed) {
  uint32_t s = seed;
  Bytes out;
  while (out.size() < size) {
    const size_t pairs = 1 + nextRandom(&s) % 3000;
    for (size_t k = 0; k < pairs; k++) {
      out.push_back(0xCF);
      out.push_back(0xFF);
    }
    const size_t marks = nextRandom(&s) % 12;
    for (size_t k = 0; k < marks; k++)
      out.push_back(static_cast<uint8_t>(0xC1 + nextRandom(&s) % 4));
  }
  out.resize(size);
  return out;
}

// Copies from far back (up to the window's reach) of pieces that end in
// the middle of a motif, so that copies cross the end of the ring.
Bytes farCopies(size_t size, uint32_t seed) {
  uint32_t s = seed;
  Bytes out = randomBytes(300, seed);
  while (out.size() < size) {
    const size_t back = 1 + nextRandom(&s) % (out.size() < 4030 ? out.size() : 4030);
    const size_t len = 1 + nextRandom(&s) % 70;
    for (size_t k = 0; k < len; k++) out.push_back(out[out.size() - back]);
    if (nextRandom(&s) % 4 == 0) out.push_back(static_cast<uint8_t>(nextRandom(&s)));
  }
  out.resize(size);
  return out;
}

}  // namespace

TEST(MatchOrder, bands_that_take_the_fast_paths_leave_the_reference_record_and_stream) {
  struct Case {
    std::string name;
    Bytes band;
  };
  std::vector<Case> cases;
  const size_t lengths[] = {4097, 9000, 32700, 32767, 32768};
  for (uint32_t seed = 1; seed <= 3; seed++) {
    for (const size_t len : lengths) {
      const std::string tail =
          " seed " + std::to_string(seed) + ", " + std::to_string(len) + " bytes";
      cases.push_back({"repeated rows of 105" + tail, repeatedRows(len, 105, seed)});
      cases.push_back({"repeated rows of 26" + tail, repeatedRows(len, 26, seed + 10)});
      cases.push_back({"blank runs" + tail, blankRuns(len, seed)});
      cases.push_back({"far copies" + tail, farCopies(len, seed)});
      cases.push_back({"page rows" + tail, pcxRowBytes(len, seed + 20)});
    }
  }
  // Runs of every period from 1 to 8 at the band limit.
  for (size_t period = 1; period <= 8; period++) {
    Bytes band(32768);
    for (size_t i = 0; i < band.size(); i++)
      band[i] = static_cast<uint8_t>(0x30 + (i % period) * 7);
    cases.push_back({"period " + std::to_string(period), band});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Coded tuned = codeBand(c.band, false);
    const Coded plain = codeBand(c.band, true);
    EXPECT_EQ(describeDifference(plain.stream, tuned.stream), "");
    EXPECT_EQ(recordDifference(tuned.record, plain.record), "");
  }
}
