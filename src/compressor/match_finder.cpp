// Match finder of the band compressor: a forest of 256 binary search trees of
// window positions, one per first byte, ordered by the 60 stored bytes that
// start at each position. Inserting the coding position and searching for its
// longest earlier match are one walk. Called by the band encoder.
#include "compressor/match_finder.h"

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

// The newer position pos takes the place of node, whose string equals its
// own; node leaves the forest. Keeps every string in the forest distinct.
void replaceNode(int node, int pos, _CParams* p) {
  p->upLink[pos] = p->upLink[node];
  p->leftLink[pos] = p->leftLink[node];
  p->rightLink[pos] = p->rightLink[node];
  p->upLink[p->leftLink[node]] = static_cast<int16_t>(pos);
  p->upLink[p->rightLink[node]] = static_cast<int16_t>(pos);
  const int parent = p->upLink[node];
  if (p->rightLink[parent] == node) {
    p->rightLink[parent] = static_cast<int16_t>(pos);
  } else {
    p->leftLink[parent] = static_cast<int16_t>(pos);
  }
  p->upLink[node] = kNil;
}

}  // namespace

void InsertNode(short pos, _CParams* p) {
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
      replaceNode(guess, pos, p);
      return;
    }
  }

  int node = kRootBase + key[0];
  int16_t* link = &p->rightLink[node];  // the first step from a root goes right
  p->leftLink[pos] = p->rightLink[pos] = kNil;
  p->bestLength = 0;
  // Every node below the walk's position lies between the nearest smaller
  // and the nearest larger string passed so far, so it agrees with the key
  // in at least as many bytes as the lesser of those two agreements.
  int belowAgree = 1;  // with the nearest smaller string passed
  int aboveAgree = 1;  // with the nearest larger string passed
  for (;;) {
    if (*link == kNil) {
      *link = pos;
      p->upLink[pos] = static_cast<int16_t>(node);
      return;
    }
    node = *link;
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
    if (key[i] > cand[i]) {
      belowAgree = i;
      link = &p->rightLink[node];
    } else {
      aboveAgree = i;
      link = &p->leftLink[node];
    }
  }
  replaceNode(node, pos, p);
}

void InsertNodeNear(short pos, short finger, int agreed, _CParams* p) {
  const unsigned char* key = &p->window[pos];
  if (finger == pos || p->upLink[finger] == kNil || p->window[finger] != key[0]) {
    InsertNode(pos, p);
    return;
  }
  p->leftLink[pos] = p->rightLink[pos] = kNil;
  p->bestLength = 0;

  // Climb from the finger to the lowest node x whose subtree on the key's
  // side holds the key's place: the key lies between x and the nearest
  // ancestor that bounds x's subtree on that side. In a search tree of
  // distinct strings that place is unique, so it is the one the walk from
  // the root would reach.
  int x = finger;
  int xAgree = agreement(key, &p->window[x], agreed);
  int boundAgree = 1;  // with the bound on the far side; 1 when there is none
  for (;;) {
    if (xAgree == kMaxMatch) {
      p->bestOffset = static_cast<int16_t>(((pos - x) & (kWindowSize - 1)) - 1);
      p->bestLength = kMaxMatch;
      replaceNode(x, pos, p);
      return;
    }
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
    if (upAgree < kMaxMatch && (key[upAgree] > p->window[up + upAgree]) != larger) {
      boundAgree = upAgree;
      break;
    }
    x = up;
    xAgree = upAgree;
  }

  // Walk down from x as the search from the root would.
  const bool larger = key[xAgree] > p->window[x + xAgree];
  int belowAgree = larger ? xAgree : boundAgree;
  int aboveAgree = larger ? boundAgree : xAgree;
  int node = x;
  int16_t* link = larger ? &p->rightLink[x] : &p->leftLink[x];
  for (;;) {
    if (*link == kNil) {
      *link = pos;
      p->upLink[pos] = static_cast<int16_t>(node);
      return;
    }
    node = *link;
    const unsigned char* cand = &p->window[node];
    const int i = agreement(key, cand, belowAgree < aboveAgree ? belowAgree : aboveAgree);
    if (i == kMaxMatch) {
      p->bestOffset = static_cast<int16_t>(((pos - node) & (kWindowSize - 1)) - 1);
      p->bestLength = kMaxMatch;
      replaceNode(node, pos, p);
      return;
    }
    if (key[i] > cand[i]) {
      belowAgree = i;
      link = &p->rightLink[node];
    } else {
      aboveAgree = i;
      link = &p->leftLink[node];
    }
  }
}

void DeleteNode(short pos, _CParams* p) {
  if (p->upLink[pos] == kNil) {
    return;
  }
  int q;
  if (p->rightLink[pos] == kNil) {
    q = p->leftLink[pos];
  } else if (p->leftLink[pos] == kNil) {
    q = p->rightLink[pos];
  } else {
    // Two children: the greatest string of the left subtree takes the place.
    q = p->leftLink[pos];
    if (p->rightLink[q] != kNil) {
      do {
        q = p->rightLink[q];
      } while (p->rightLink[q] != kNil);
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
  const int parent = p->upLink[pos];
  if (p->rightLink[parent] == pos) {
    p->rightLink[parent] = static_cast<int16_t>(q);
  } else {
    p->leftLink[parent] = static_cast<int16_t>(q);
  }
  p->upLink[pos] = kNil;
}
