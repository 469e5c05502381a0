// Band encoder: the entry point that compresses one band of a page image into
// the compressed band format (4-byte little-endian length, then the coded
// tokens), and the encoding loop over literals and copies. Called by the page
// transfer once per band.
#include <cassert>
#include <cstdlib>
#include <cstring>

#include "compressor/adaptive_huffman.h"
#include "compressor/band_compressor.h"
#include "compressor/forest_ops.h"
#include "compressor/match_finder.h"

namespace {

// Passes over the first `inner` positions of a copy of `step` bytes at
// `copyOffset` that starts at coding position r, refilling the window from
// `next`; returns the new coding position. kNearRingEnd: the coding
// position or the copy's source reaches the end of the ring on the way.
//
// Each new position's string shares a prefix with the matching position of
// the copy's source, so it is inserted from there; only the copy's last
// position, whose match is coded next, needs the full search from the root.
// The match compared the stored bytes from token and source on, and the
// refills during the copy never touch them, so while neither string has
// wrapped past 4095 the first `agreed` bytes of both are known to agree:
// step - 1 for the first position, one fewer for each next; once either
// string has wrapped, only their first byte.
template <bool kNearRingEnd>
inline __attribute__((always_inline)) int passCopy(const unsigned char* next, int inner, int r,
                                                   int step, int copyOffset, _CParams* p,
                                                   OrderLinks* order) {
  int agreed = step - 1;
  const int source = (r - copyOffset - 1) & (kWindowSize - 1);
  const int agreedFloor = step - 1 - (kWindowSize - 1 - (r > source ? r : source));
  // In runs and repeated rows the strings at the two ends of the copy stay
  // equal from one position to the next: then only the byte each string
  // gained needs comparing, and the new position takes the place of the
  // one it copies (strings in the forest are distinct). `equal` holds while
  // the last pair compared had equal strings. The string of position 4095
  // runs on into the mirror, so at the ring's end the pair gives no such
  // inference.
  bool equal = step == kMaxMatch;
  for (const unsigned char* const end = next + inner; next < end; next++) {
    const unsigned char c = *next;
    const int s = (r + kMaxMatch) & (kWindowSize - 1);
    forest::deleteNode<true>(s, p, order);
    p->window[s] = c;
    if (s < kMirrorSize) {
      p->window[kWindowSize + s] = c;
    }
    r = (r + 1) & (kWindowSize - 1);
    const int finger = (r - copyOffset - 1) & (kWindowSize - 1);
    if (equal && (!kNearRingEnd || (r != 0 && finger != 0)) &&
        p->window[r + kMaxMatch - 1] == p->window[finger + kMaxMatch - 1] &&
        p->upLink[finger] != kNil) {
      forest::replaceNode<true>(finger, r, p, order);
      p->bestOffset = static_cast<int16_t>(copyOffset);
      p->bestLength = kMaxMatch;
    } else {
      // Another finger: the string that shares the most with the last
      // position, one byte on, shares all but one of those bytes with this
      // one. Near the end of a copy it is usually the nearer.
      int near = finger;
      int nearAgreed = !kNearRingEnd || agreed > agreedFloor ? agreed : 1;
      const int lastPos = (r - 1) & (kWindowSize - 1);
      const OrderEntry& last = order->at[lastPos];
      const int lastSharedPrev = order->sharedPrev[lastPos];
      const int lastSharedNext = order->sharedPrev[last.next];
      const bool lastBelow = lastSharedPrev > lastSharedNext;
      const int lastShared = lastBelow ? lastSharedPrev : lastSharedNext;
      const int lastNeighbour = lastBelow ? last.prev : last.next;
      if (lastShared - 1 >= nearAgreed && lastNeighbour < kWindowSize - 1 &&
          (!kNearRingEnd || r != 0)) {
        near = lastNeighbour + 1;
        nearAgreed = lastShared - 1;
      }
      forest::insertNear<!kNearRingEnd>(r, near, nearAgreed, p, order);
      equal = p->bestLength == kMaxMatch && p->bestOffset == copyOffset;
    }
    agreed--;
  }
  return r;
}

}  // namespace

void Encode(_CParams* p) {
  assert(p->inSize >= 0 && p->inSize <= kMaxBand);
  assert(p->outBuf != nullptr && p->outCap >= 0 && p->outLen == 0 && p->inPos == 0);
  initCParams(p);

  // The header goes straight into the work buffer, past mputc, so it is
  // never dropped; it still counts against the capacity.
  const uint32_t n = static_cast<uint32_t>(p->inSize);
  p->outBuf[0] = static_cast<unsigned char>(n & 0xFF);
  p->outBuf[1] = static_cast<unsigned char>((n >> 8) & 0xFF);
  p->outBuf[2] = static_cast<unsigned char>((n >> 16) & 0xFF);
  p->outBuf[3] = static_cast<unsigned char>((n >> 24) & 0xFF);
  p->outLen += kHeaderSize;
  if (p->inSize == 0) {
    return;
  }

  StartHuff(p);
  InitTree(p);
  // The string order beside the forest lets the positions passed over by a
  // copy be inserted without a walk; it lives for this band only.
  OrderLinks order;
  InitOrder(&order);

  // Spaces before the first coding position. Positions past the input and
  // the mirror keep the zeros of the cleared record: they take part in the
  // comparisons near the end of the band and decide between equal matches.
  // The refill position, where the next input byte goes, is always r + 60
  // (mod 4096): just past the lookahead, the oldest byte of the window.
  int r = kWindowStart;
  std::memset(p->window, ' ', kWindowStart);
  int remaining = 0;
  for (int i = 0; i < kMaxMatch; i++) {
    const int c = mgetc(p);
    if (c == -1) {
      break;
    }
    p->window[kWindowStart + i] = static_cast<unsigned char>(c);
    remaining++;
  }
  p->firstFill = remaining;

  InsertLeadIn(p, &order);
  InsertNode(static_cast<short>(r), p, &order);

  do {
    assert(remaining >= 1 && remaining <= kMaxMatch);
    assert(p->bestLength >= 0 && p->bestLength <= kMaxMatch && p->bestOffset >= 0 &&
           p->bestOffset < kWindowSize);
    if (p->bestLength > remaining) {
      p->bestLength = static_cast<int16_t>(remaining);
    }
    if (p->bestLength < kMinMatch) {
      p->bestLength = 1;
      EncodeChar(p->window[r], p);
    } else {
      EncodeChar(static_cast<unsigned short>(255 - kMinMatch + 1 + p->bestLength), p);
      EncodePosition(static_cast<unsigned short>(p->bestOffset), p);
    }
    const int step = p->bestLength;
    const int copyOffset = p->bestOffset;
    // The bytes that refill the window while the copy is passed over are
    // read as mgetc would, stopping at the end of the band; the band and the
    // read position stay in locals, which the stores into the window could
    // otherwise force to be reloaded at every byte.
    const unsigned char* next = p->inData + p->inPos;
    const int readable = p->inSize - p->inPos < step ? p->inSize - p->inPos : step;
    p->inPos += readable;
    const unsigned char* const innerEnd = next + (readable < step - 1 ? readable : step - 1);

    // Neither the coding position nor the copy's source passes the end of
    // the ring before the copy's last position in almost every copy; those
    // that do take the loop that checks for it.
    const int source = (r - copyOffset - 1) & (kWindowSize - 1);
    const int inner = static_cast<int>(innerEnd - next);
    if ((r > source ? r : source) + inner < kWindowSize) {
      r = passCopy<false>(next, inner, r, step, copyOffset, p, &order);
    } else {
      r = passCopy<true>(next, inner, r, step, copyOffset, p, &order);
    }
    next = innerEnd;
    // The copy's last position, when the band still holds its byte.
    int passed = step - 1;
    if (readable == step) {
      const int s = (r + kMaxMatch) & (kWindowSize - 1);
      forest::deleteNode<true>(s, p, &order);
      p->window[s] = *next;
      if (s < kMirrorSize) {
        p->window[kWindowSize + s] = *next;
      }
      r = (r + 1) & (kWindowSize - 1);
      InsertNode(static_cast<short>(r), p, &order);
      passed = step;
    } else {
      passed = readable;
    }
    // Past the end of the input the window byte at the refill position is
    // left as it was.
    for (; passed < step; passed++) {
      DeleteNode(static_cast<short>((r + kMaxMatch) & (kWindowSize - 1)), p, &order);
      r = (r + 1) & (kWindowSize - 1);
      remaining--;
      if (remaining > 0) {
        InsertNode(static_cast<short>(r), p, &order);
      }
    }
    // Once the output has filled up the result is the band's length
    // whatever follows, so the rest of the band need not be coded.
  } while (remaining > 0 && p->outLen < p->outCap);

  EncodeEnd(p);
}

_CParams* makeBandRecord(int len, unsigned char* src) {
  if (len < 0 || (len > 0 && src == nullptr)) {
    return nullptr;
  }
  _CParams* p = static_cast<_CParams*>(std::calloc(1, sizeof(_CParams)));
  if (p == nullptr) {
    return nullptr;
  }
  p->inSize = len;
  p->spareInt = 0;
  p->inPos = 0;
  p->outLen = 0;
  const size_t bufSize = static_cast<size_t>(len < kHeaderSize ? kHeaderSize : len);
  p->outBuf = static_cast<unsigned char*>(std::calloc(bufSize, 1));
  if (p->outBuf == nullptr) {
    std::free(p);
    return nullptr;
  }
  p->inData = src;
  p->outCap = len;
  return p;
}

int takeBandResult(_CParams* p, int dstCapacity, unsigned char* dst) {
  int result = -1;
  if (p->outLen <= dstCapacity) {
    std::memcpy(dst, p->outBuf, static_cast<size_t>(p->outLen));
    result = p->outLen;
  }
  std::free(p->outBuf);
  std::free(p);
  return result;
}

int Encode(int len, unsigned char* src, int dstCapacity, unsigned char* dst) {
  _CParams* p = makeBandRecord(len, src);
  if (p == nullptr) {
    return -1;
  }
  Encode(p);
  return takeBandResult(p, dstCapacity, dst);
}
