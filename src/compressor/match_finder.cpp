// Match finder of the band compressor: a forest of 256 binary search trees of
// window positions, one per first byte, ordered by the 60 stored bytes that
// start at each position. Inserting the coding position and searching for its
// longest earlier match are one walk. Called by the band encoder.
#include "compressor/match_finder.h"

#include <cstddef>
#include <cstring>

void InitTree(_CParams* p) {
  for (int i = kRootBase; i < kRootBase + 256; i++) {
    p->rightLink[i] = kNil;
  }
  for (int i = 0; i < kWindowSize; i++) {
    p->upLink[i] = kNil;
  }
}

namespace {

uint64_t load64(const unsigned char* a) {
  uint64_t v;
  std::memcpy(&v, a, sizeof v);
  return v;
}

// Number of leading bytes in which the 60-byte strings at a and b agree (60
// when all do), given that their first `from` bytes are known to agree. Reads
// eight bytes at a time; the last word is read at offset 52 so that nothing
// past the 60 bytes is touched.
inline __attribute__((always_inline)) int agreement(const unsigned char* a, const unsigned char* b, int from) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  constexpr int kLastWord = kMaxMatch - 8;
  int at = from;
  for (; at < kLastWord; at += 8) {
    const uint64_t x = load64(a + at) ^ load64(b + at);
    if (x != 0) {
      return at + (__builtin_ctzll(x) >> 3);
    }
  }
  const uint64_t x = load64(a + kLastWord) ^ load64(b + kLastWord);
  return x != 0 ? kLastWord + (__builtin_ctzll(x) >> 3) : kMaxMatch;
#else
  int i = from;
  while (i < kMaxMatch && a[i] == b[i]) {
    i++;
  }
  return i;
#endif
}

// The link of `parent` (a position or a root) that holds `child`, its right
// link if that holds it, else its left one. Found without a branch, as the
// side follows the data: the right links lie at a fixed distance after the
// left ones in the record.
inline int16_t* linkHolding(int parent, int child, _CParams* p) {
  constexpr size_t kLeft = offsetof(_CParams, leftLink);
  constexpr size_t kApart = offsetof(_CParams, rightLink) - kLeft;
  const size_t side = p->rightLink[parent] == child ? kApart : 0;
  return reinterpret_cast<int16_t*>(reinterpret_cast<char*>(p) + kLeft + side + 2 * static_cast<size_t>(parent));
}

// The order links of a missing neighbour land in entry kNil.
inline void linkInOrder(int pos, int below, int above, int sharedBelow, int sharedAbove, OrderLinks* order) {
  OrderEntry* const e = order->at;
  e[below].next = static_cast<int16_t>(pos);
  e[below].sharedNext = static_cast<uint8_t>(sharedBelow);
  e[pos].prev = static_cast<int16_t>(below);
  e[pos].sharedPrev = static_cast<uint8_t>(sharedBelow);
  e[pos].next = static_cast<int16_t>(above);
  e[pos].sharedNext = static_cast<uint8_t>(sharedAbove);
  e[above].prev = static_cast<int16_t>(pos);
  e[above].sharedPrev = static_cast<uint8_t>(sharedAbove);
}

// pos becomes a new leaf below `parent` (a position or a root), on its
// larger side when `right`. sharedBelow and sharedAbove are the bytes pos
// shares with its nearest smaller and larger strings (any value where there
// is none).
template <bool kOrdered>
inline void attachLeaf(int pos, int parent, bool right, int sharedBelow, int sharedAbove, _CParams* p,
                       OrderLinks* order) {
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
void replaceNode(int node, int pos, _CParams* p, OrderLinks* order) {
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
    e[e[node].prev].next = static_cast<int16_t>(pos);
    e[e[node].next].prev = static_cast<int16_t>(pos);
  }
}

// The walk from the root: inserts pos and finds its best match.
template <bool kOrdered>
void insertFromRoot(int pos, _CParams* p, OrderLinks* order) {
  // The key is read as stored, mirror bytes included, never wrapping around
  // the ring: stale or zero bytes past the input steer the search.
  const unsigned char* key = &p->window[pos];

  // Strings in the forest are distinct and never change while they are in
  // it. So when the position after the last 60-byte match holds the same 60
  // bytes as the key, it is the one node the walk would end at: take its
  // place directly. bestOffset is then unchanged and bestLength stays 60.
  if (p->bestLength == kMaxMatch) {
    const int guess = (pos - p->bestOffset - 1) & (kWindowSize - 1);
    if (guess != pos && p->upLink[guess] != kNil && agreement(key, &p->window[guess], 0) == kMaxMatch) {
      replaceNode<kOrdered>(guess, pos, p, order);
      return;
    }
  }

  int node = kRootBase + key[0];
  bool right = true;  // the first step from a root goes right
  p->leftLink[pos] = p->rightLink[pos] = kNil;
  p->bestLength = 0;
  // Every node below the walk's position lies between the nearest smaller
  // and the nearest larger string passed so far, so it agrees with the key
  // in at least as many bytes as the lesser of those two agreements.
  int belowAgree = 1;  // with the nearest smaller string passed
  int aboveAgree = 1;  // with the nearest larger string passed
  for (;;) {
    const int next = right ? p->rightLink[node] : p->leftLink[node];
    if (next == kNil) {
      attachLeaf<kOrdered>(pos, node, right, belowAgree, aboveAgree, p, order);
      return;
    }
    node = next;
    const unsigned char* cand = &p->window[node];
    const int i = agreement(key, cand, belowAgree < aboveAgree ? belowAgree : aboveAgree);
    if (i >= kMinMatch) {
      const int offset = ((pos - node) & (kWindowSize - 1)) - 1;
      if (i > p->bestLength) {
        p->bestOffset = static_cast<int16_t>(offset);
        p->bestLength = static_cast<int16_t>(i);
        if (i == kMaxMatch) {
          break;
        }
      } else if (i == p->bestLength && offset < p->bestOffset) {
        // Of two matches of equal length the nearer wins, in whatever order
        // the walk meets them.
        p->bestOffset = static_cast<int16_t>(offset);
      }
    }
    // Smaller strings lie to the left, larger ones to the right.
    right = key[i] > cand[i];
    if (right) {
      belowAgree = i;
    } else {
      aboveAgree = i;
    }
  }
  replaceNode<kOrdered>(node, pos, p, order);
}

template <bool kOrdered>
void deleteNode(int pos, _CParams* p, OrderLinks* order) {
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
    const int shared = e[pos].sharedPrev < e[pos].sharedNext ? e[pos].sharedPrev : e[pos].sharedNext;
    e[below].next = static_cast<int16_t>(above);
    e[below].sharedNext = static_cast<uint8_t>(shared);
    e[above].prev = static_cast<int16_t>(below);
    e[above].sharedPrev = static_cast<uint8_t>(shared);
  }
}

// Inserts pos (not equal to any string in the forest) from x, a position of
// its tree sharing xAgree (< 60) bytes with it: climbs to the lowest node
// whose subtree on the key's side holds the key's place, then walks down as
// the search from the root would. Returns after replacing an equal string
// met on the way down, with bestLength 60.
void climbAndInsert(int pos, int x, int xAgree, _CParams* p, OrderLinks* order) {
  // The key lies between x and the nearest ancestor that bounds x's subtree
  // on that side. In a search tree of distinct strings that place is
  // unique, so it is the one the walk from the root would reach.
  const unsigned char* key = &p->window[pos];
  int boundAgree = 1;  // with the bound on the far side; 1 when there is none
  for (;;) {
    const bool larger = key[xAgree] > p->window[x + xAgree];
    int child = x;
    int up = p->upLink[x];
    while (up < kRootBase && (larger ? p->rightLink[up] : p->leftLink[up]) == child) {
      child = up;
      up = p->upLink[up];
    }
    if (up >= kRootBase) {
      break;  // no bound: everything on that side of x is below x
    }
    const int upAgree = agreement(key, &p->window[up], 1);
    if (upAgree == kMaxMatch) {
      p->bestOffset = static_cast<int16_t>(((pos - up) & (kWindowSize - 1)) - 1);
      p->bestLength = kMaxMatch;
      replaceNode<true>(up, pos, p, order);
      return;
    }
    if ((key[upAgree] > p->window[up + upAgree]) != larger) {
      boundAgree = upAgree;
      break;
    }
    x = up;
    xAgree = upAgree;
  }

  bool right = key[xAgree] > p->window[x + xAgree];
  int belowAgree = right ? xAgree : boundAgree;
  int aboveAgree = right ? boundAgree : xAgree;
  int node = x;
  for (;;) {
    const int next = right ? p->rightLink[node] : p->leftLink[node];
    if (next == kNil) {
      attachLeaf<true>(pos, node, right, belowAgree, aboveAgree, p, order);
      return;
    }
    node = next;
    const unsigned char* cand = &p->window[node];
    const int i = agreement(key, cand, belowAgree < aboveAgree ? belowAgree : aboveAgree);
    if (i == kMaxMatch) {
      p->bestOffset = static_cast<int16_t>(((pos - node) & (kWindowSize - 1)) - 1);
      p->bestLength = kMaxMatch;
      replaceNode<true>(node, pos, p, order);
      return;
    }
    right = key[i] > cand[i];
    if (right) {
      belowAgree = i;
    } else {
      aboveAgree = i;
    }
  }
}

// Steps through the string order from a finger before falling back to the
// climb through the tree.
constexpr int kOrderSteps = 8;

}  // namespace

void InsertNode(short pos, _CParams* p) { insertFromRoot<false>(pos, p, nullptr); }

void InsertNode(short pos, _CParams* p, OrderLinks* order) { insertFromRoot<true>(pos, p, order); }

void DeleteNode(short pos, _CParams* p) { deleteNode<false>(pos, p, nullptr); }

void DeleteNode(short pos, _CParams* p, OrderLinks* order) { deleteNode<true>(pos, p, order); }

void ReplaceNode(short node, short pos, _CParams* p, OrderLinks* order) { replaceNode<true>(node, pos, p, order); }

void InitOrder(OrderLinks* order) { std::memset(order, 0, sizeof *order); }

void InsertLeadIn(_CParams* p, OrderLinks* order) {
  const unsigned char first = p->window[kWindowStart];
  if (first == ' ') {
    for (int k = 1; k <= kMaxMatch; k++) {
      InsertNode(static_cast<short>(kWindowStart - k), p, order);
    }
    return;
  }
  // The string of position 4036 - k is k spaces and then the band's first
  // bytes, so the k-th insertion differs from every earlier one first at its
  // byte k, a space against the band's first byte: it is the least string
  // of the tree of spaces so far when that byte is above a space, the
  // greatest when below. Each walk from the root thus runs down the whole
  // chain of the earlier ones, agreeing in 1, 2, ..., k - 1 bytes, and ends
  // below the last; it is built directly here, with the agreements and the
  // match (k - 1 bytes at offset 4094 from the 6th on) that the walks find.
  const bool larger = first < ' ';
  int parent = kRootBase + ' ';
  for (int k = 1; k <= kMaxMatch; k++) {
    const int pos = kWindowStart - k;
    p->leftLink[pos] = p->rightLink[pos] = kNil;
    const bool right = k == 1 || larger;
    const int sharedBelow = k > 1 && larger ? k - 1 : 1;
    const int sharedAbove = k > 1 && !larger ? k - 1 : 1;
    attachLeaf<true>(pos, parent, right, sharedBelow, sharedAbove, p, order);
    if (k - 1 >= kMinMatch) {
      p->bestLength = static_cast<int16_t>(k - 1);
      p->bestOffset = kWindowSize - 2;
    } else {
      p->bestLength = 0;
    }
    parent = pos;
  }
}

void InsertNodeNear(short pos, short finger, int agreed, _CParams* p, OrderLinks* order) {
  const unsigned char* key = &p->window[pos];
  if (finger == pos || p->upLink[finger] == kNil || p->window[finger] != key[0]) {
    insertFromRoot<true>(pos, p, order);
    return;
  }
  const int shared = agreement(key, &p->window[finger], agreed);
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
  int below;
  int above;
  int sharedBelow;
  int sharedAbove;
  if (key[shared] > p->window[finger + shared]) {
    below = finger;
    sharedBelow = shared;
    for (int steps = 0;; steps++) {
      above = e[below].next;
      if (above == kNil) {
        sharedAbove = 1;
        break;
      }
      const int between = e[below].sharedNext;
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
      const int between = e[above].sharedPrev;
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
  if (below != kNil && p->rightLink[below] == kNil) {
    attachLeaf<true>(pos, below, true, sharedBelow, sharedAbove, p, order);
  } else {
    attachLeaf<true>(pos, above, false, sharedBelow, sharedAbove, p, order);
  }
}
