// Forest operations of the match finder, defined here so that the band
// encoder's loop over the positions of a copy compiles them in place: the
// call per position would otherwise cost as much as some of the operations.
// Used by the match finder's routines and by the band encoder.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "compressor/band_compressor.h"
#include "compressor/match_finder.h"

namespace forest {

// The word the strings are compared in: eight bytes on 64-bit targets, four
// on 32-bit ones, where a 64-bit compare takes two and its bit scan a branch.
using Word = std::conditional_t<sizeof(void*) >= 8, uint64_t, uint32_t>;

inline Word loadWord(const unsigned char* a) {
  Word v;
  std::memcpy(&v, a, sizeof v);
  return v;
}

inline int lowestSetBit(Word x) {
  if constexpr (sizeof(Word) == 8) {
    return __builtin_ctzll(x);
  } else {
    return __builtin_ctz(static_cast<unsigned>(x));
  }
}

inline Word byteSwap(Word x) {
  if constexpr (sizeof(Word) == 8) {
    return __builtin_bswap64(x);
  } else {
    return __builtin_bswap32(static_cast<uint32_t>(x));
  }
}

// Number of leading bytes in which the 60-byte strings at a and b agree (60
// when all do), given that their first `from` bytes are known to agree, and
// in *larger whether a's string is the larger (false when all agree). Reads
// a word at a time; the last word is read so that it ends at byte 60 and
// nothing past the 60 bytes is touched. The side is taken from the same
// words that locate the first difference.
inline __attribute__((always_inline)) int agreementSide(const unsigned char* a,
                                                        const unsigned char* b, int from,
                                                        bool* larger) {
  assert(from >= 0 && from <= kMaxMatch);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  constexpr int kWordBytes = static_cast<int>(sizeof(Word));
  constexpr int kLastWord = kMaxMatch - kWordBytes;
  Word wa;
  Word wb;
  Word x;
  int at = from;
  for (; at < kLastWord; at += kWordBytes) {
    wa = loadWord(a + at);
    wb = loadWord(b + at);
    x = wa ^ wb;
    if (x != 0) {
      goto differ;
    }
  }
  at = kLastWord;
  wa = loadWord(a + at);
  wb = loadWord(b + at);
  x = wa ^ wb;
  if (x == 0) {
    *larger = false;
    return kMaxMatch;
  }
differ:
  // The byte at the lower address is the more significant in the order of
  // the strings, so the words compare as the strings do once byte-swapped.
  *larger = byteSwap(wa) > byteSwap(wb);
  return at + (lowestSetBit(x) >> 3);
#else
  int i = from;
  while (i < kMaxMatch && a[i] == b[i]) {
    i++;
  }
  *larger = i < kMaxMatch && a[i] > b[i];
  return i;
#endif
}

// agreementSide without the side.
inline __attribute__((always_inline)) int agreement(const unsigned char* a, const unsigned char* b,
                                                    int from) {
  bool larger;
  return agreementSide(a, b, from, &larger);
}

// The link of `parent` (a position or a root) that holds `child`, its right
// link if that holds it, else its left one. Found without a branch, as the
// side follows the data: the right links lie at a fixed distance after the
// left ones in the record.
inline int16_t* linkHolding(int parent, int child, _CParams* p) {
  constexpr size_t kLeft = offsetof(_CParams, leftLink);
  constexpr size_t kApart = offsetof(_CParams, rightLink) - kLeft;
  const size_t side = p->rightLink[parent] == child ? kApart : 0;
  return reinterpret_cast<int16_t*>(reinterpret_cast<char*>(p) + kLeft + side +
                                    2 * static_cast<size_t>(parent));
}

// The child of `node` (a position or a root) on its larger side when
// `right`, else on its smaller side; chosen without a branch.
inline int childOf(int node, bool right, const _CParams* p) {
  constexpr size_t kLeft = offsetof(_CParams, leftLink);
  constexpr size_t kApart = offsetof(_CParams, rightLink) - kLeft;
  const size_t side = right ? kApart : 0;
  return *reinterpret_cast<const int16_t*>(reinterpret_cast<const char*>(p) + kLeft + side +
                                           2 * static_cast<size_t>(node));
}

// The order links of a missing neighbour land in entry kNil.
inline void linkInOrder(int pos, int below, int above, int sharedBelow, int sharedAbove,
                        OrderLinks* order) {
  assert(sharedBelow >= 0 && sharedBelow < kMaxMatch && sharedAbove >= 0 &&
         sharedAbove < kMaxMatch);
  OrderEntry* const e = order->at;
  e[below].next = static_cast<int16_t>(pos);
  e[pos].prev = static_cast<int16_t>(below);
  e[pos].next = static_cast<int16_t>(above);
  e[above].prev = static_cast<int16_t>(pos);
  order->sharedPrev[pos] = static_cast<int16_t>(sharedBelow);
  order->sharedPrev[above] = static_cast<int16_t>(sharedAbove);
}

// pos becomes a new leaf below `parent` (a position or a root), on its
// larger side when `right`. sharedBelow and sharedAbove are the bytes pos
// shares with its nearest smaller and larger strings (any value where there
// is none).
template <bool kOrdered>
inline void attachLeaf(int pos, int parent, bool right, int sharedBelow, int sharedAbove,
                       _CParams* p, OrderLinks* order) {
  assert(pos >= 0 && pos < kWindowSize && (parent < kWindowSize || parent >= kRootBase));
  p->upLink[pos] = static_cast<int16_t>(parent);
  if (right) {
    p->rightLink[parent] = static_cast<int16_t>(pos);
  } else {
    p->leftLink[parent] = static_cast<int16_t>(pos);
  }
  if constexpr (kOrdered) {
    int below = kNil;
    int above = kNil;
    if (parent < kRootBase) {
      below = right ? parent : order->at[parent].prev;
      above = right ? order->at[parent].next : parent;
    }
    linkInOrder(pos, below, above, sharedBelow, sharedAbove, order);
  }
}

// The newer position pos takes the place of node, whose string equals its
// own; node leaves the forest. Keeps every string in the forest distinct.
template <bool kOrdered>
inline __attribute__((always_inline)) void replaceNode(int node, int pos, _CParams* p,
                                                       OrderLinks* order) {
  assert(node >= 0 && node < kWindowSize && pos >= 0 && pos < kWindowSize && node != pos);
  p->upLink[pos] = p->upLink[node];
  p->leftLink[pos] = p->leftLink[node];
  p->rightLink[pos] = p->rightLink[node];
  p->upLink[p->leftLink[node]] = static_cast<int16_t>(pos);
  p->upLink[p->rightLink[node]] = static_cast<int16_t>(pos);
  *linkHolding(p->upLink[node], node, p) = static_cast<int16_t>(pos);
  p->upLink[node] = kNil;
  if constexpr (kOrdered) {
    OrderEntry* const e = order->at;
    e[pos] = e[node];
    order->sharedPrev[pos] = order->sharedPrev[node];
    e[e[node].prev].next = static_cast<int16_t>(pos);
    e[e[node].next].prev = static_cast<int16_t>(pos);
  }
}

// DeleteNode, with or without keeping the order.
template <bool kOrdered>
inline __attribute__((always_inline)) void deleteNode(int pos, _CParams* p, OrderLinks* order) {
  assert(pos >= 0 && pos < kWindowSize);
  if (p->upLink[pos] == kNil) {
    return;
  }
  // With one child or none, the child (or the empty marker) takes the place.
  const int left = p->leftLink[pos];
  const int right = p->rightLink[pos];
  int q = right == kNil ? left : right;
  if (left != kNil && right != kNil) {
    // Two children: the greatest string of the left subtree, the nearest
    // smaller one, takes the place.
    q = p->leftLink[pos];
    bool deeper = p->rightLink[q] != kNil;
    if constexpr (kOrdered) {
      q = order->at[pos].prev;
      deeper = q != p->leftLink[pos];
    } else if (deeper) {
      do {
        q = p->rightLink[q];
      } while (p->rightLink[q] != kNil);
    }
    if (deeper) {
      p->rightLink[p->upLink[q]] = p->leftLink[q];
      p->upLink[p->leftLink[q]] = p->upLink[q];
      p->leftLink[q] = p->leftLink[pos];
      p->upLink[p->leftLink[pos]] = static_cast<int16_t>(q);
    }
    p->rightLink[q] = p->rightLink[pos];
    p->upLink[p->rightLink[pos]] = static_cast<int16_t>(q);
  }
  // upLink[4096] absorbs the write when q is the empty marker.
  p->upLink[q] = p->upLink[pos];
  *linkHolding(p->upLink[pos], pos, p) = static_cast<int16_t>(q);
  p->upLink[pos] = kNil;
  if constexpr (kOrdered) {
    // The neighbours of pos become each other's; they share what both
    // shared with pos.
    OrderEntry* const e = order->at;
    const int below = e[pos].prev;
    const int above = e[pos].next;
    const int sharedBelow = order->sharedPrev[pos];
    const int sharedAbove = order->sharedPrev[above];
    e[below].next = static_cast<int16_t>(above);
    e[above].prev = static_cast<int16_t>(below);
    order->sharedPrev[above] =
        static_cast<int16_t>(sharedBelow < sharedAbove ? sharedBelow : sharedAbove);
  }
}

// The walk from the root (InsertNode) and the climb from a position towards
// the place of a new string (used by insertNear), out of line in the match
// finder.
template <bool kOrdered>
void insertFromRoot(int pos, _CParams* p, OrderLinks* order);
void climbAndInsert(int pos, int x, int xAgree, _CParams* p, OrderLinks* order);

// Steps through the string order from a finger before falling back to the
// climb through the tree.
constexpr int kOrderSteps = 8;

// InsertNodeNear (see there).
// kAgreedKnown: the caller knows that the finger is another position and
// that the two strings agree in their first `agreed` bytes, so neither is
// checked.
template <bool kAgreedKnown = false>
inline __attribute__((always_inline)) void insertNear(int pos, int finger, int agreed, _CParams* p,
                                                      OrderLinks* order) {
  assert(pos >= 0 && pos < kWindowSize && finger >= 0 && finger < kWindowSize);
  assert(agreed >= 1 && agreed < kMaxMatch);
  assert(!kAgreedKnown ||
         (finger != pos && agreement(&p->window[pos], &p->window[finger], 0) >= agreed));
  const unsigned char* key = &p->window[pos];
  if ((!kAgreedKnown && finger == pos) || p->upLink[finger] == kNil ||
      (!kAgreedKnown && p->window[finger] != key[0])) {
    insertFromRoot<true>(pos, p, order);
    return;
  }
  bool larger;
  const int shared = agreementSide(key, &p->window[finger], agreed, &larger);
  if (shared == kMaxMatch) {
    p->bestOffset = static_cast<int16_t>(((pos - finger) & (kWindowSize - 1)) - 1);
    p->bestLength = kMaxMatch;
    replaceNode<true>(finger, pos, p, order);
    return;
  }
  p->leftLink[pos] = p->rightLink[pos] = kNil;
  p->bestLength = 0;

  // Step through the string order from the finger towards the key. A
  // neighbour that shares fewer bytes with the string just passed than the
  // key does lies beyond the key; one that shares more lies on the near side
  // and agrees with the key exactly as far as the string passed; only a tie
  // needs the bytes compared.
  const OrderEntry* const e = order->at;
  const int16_t* const sharedPrev = order->sharedPrev;
  int below;
  int above;
  int sharedBelow;
  int sharedAbove;
  if (larger) {
    below = finger;
    sharedBelow = shared;
    for (int steps = 0;; steps++) {
      above = e[below].next;
      if (above == kNil) {
        sharedAbove = 1;
        break;
      }
      const int between = sharedPrev[above];
      if (between < sharedBelow) {
        sharedAbove = between;
        break;
      }
      if (between == sharedBelow) {
        const int i = agreement(key, &p->window[above], between);
        if (i == kMaxMatch) {
          p->bestOffset = static_cast<int16_t>(((pos - above) & (kWindowSize - 1)) - 1);
          p->bestLength = kMaxMatch;
          replaceNode<true>(above, pos, p, order);
          return;
        }
        if (key[i] < p->window[above + i]) {
          sharedAbove = i;
          break;
        }
        sharedBelow = i;
      }
      below = above;
      if (steps == kOrderSteps) {
        climbAndInsert(pos, below, sharedBelow, p, order);
        return;
      }
    }
  } else {
    above = finger;
    sharedAbove = shared;
    for (int steps = 0;; steps++) {
      below = e[above].prev;
      if (below == kNil) {
        sharedBelow = 1;
        break;
      }
      const int between = sharedPrev[above];
      if (between < sharedAbove) {
        sharedBelow = between;
        break;
      }
      if (between == sharedAbove) {
        const int i = agreement(key, &p->window[below], between);
        if (i == kMaxMatch) {
          p->bestOffset = static_cast<int16_t>(((pos - below) & (kWindowSize - 1)) - 1);
          p->bestLength = kMaxMatch;
          replaceNode<true>(below, pos, p, order);
          return;
        }
        if (key[i] > p->window[below + i]) {
          sharedBelow = i;
          break;
        }
        sharedAbove = i;
      }
      above = below;
      if (steps == kOrderSteps) {
        climbAndInsert(pos, above, sharedAbove, p, order);
        return;
      }
    }
  }

  // Of two neighbours in a search tree, either the smaller has no right
  // child or the larger has no left child; that empty link is where the
  // walk from the root ends.
  // The neighbours are known here, so the order is linked directly.
  const bool right = below != kNil && p->rightLink[below] == kNil;
  const int parent = right ? below : above;
  p->upLink[pos] = static_cast<int16_t>(parent);
  if (right) {
    p->rightLink[parent] = static_cast<int16_t>(pos);
  } else {
    p->leftLink[parent] = static_cast<int16_t>(pos);
  }
  linkInOrder(pos, below, above, sharedBelow, sharedAbove, order);
}

}  // namespace forest
