// Match finder of the band compressor: a forest of 256 binary search trees of
// window positions, one per first byte, ordered by the 60 stored bytes that
// start at each position. Inserting the coding position and searching for its
// longest earlier match are one walk. Called by the band encoder.
#include "compressor/match_finder.h"

void InitTree(_CParams* p) {
  for (int i = kRootBase; i < kRootBase + 256; i++) {
    p->rightLink[i] = kNil;
  }
  for (int i = 0; i < kWindowSize; i++) {
    p->upLink[i] = kNil;
  }
}

void InsertNode(short pos, _CParams* p) {
  // The key is read as stored, mirror bytes included, never wrapping around
  // the ring: stale or zero bytes past the input steer the search.
  const unsigned char* key = &p->window[pos];
  int node = kRootBase + key[0];
  int cmp = 1;
  p->leftLink[pos] = p->rightLink[pos] = kNil;
  p->bestLength = 0;
  for (;;) {
    int16_t* link = cmp >= 0 ? &p->rightLink[node] : &p->leftLink[node];
    if (*link == kNil) {
      *link = pos;
      p->upLink[pos] = static_cast<int16_t>(node);
      return;
    }
    node = *link;
    const unsigned char* cand = &p->window[node];
    int i = 1;
    while (i < kMaxMatch && key[i] == cand[i]) {
      i++;
    }
    cmp = i < kMaxMatch ? key[i] - cand[i] : 0;
    if (i >= kMinMatch) {
      const int offset = ((pos - node) & (kWindowSize - 1)) - 1;
      if (i > p->bestLength) {
        p->bestOffset = static_cast<int16_t>(offset);
        p->bestLength = static_cast<int16_t>(i);
        if (i == kMaxMatch) {
          break;
        }
      } else if (i == p->bestLength && offset < p->bestOffset) {
        p->bestOffset = static_cast<int16_t>(offset);
      }
    }
  }
  // Equal strings: the newer position takes the older one's place, keeping
  // every string in the forest distinct.
  p->upLink[pos] = p->upLink[node];
  p->leftLink[pos] = p->leftLink[node];
  p->rightLink[pos] = p->rightLink[node];
  p->upLink[p->leftLink[node]] = pos;
  p->upLink[p->rightLink[node]] = pos;
  const int parent = p->upLink[node];
  if (p->rightLink[parent] == node) {
    p->rightLink[parent] = pos;
  } else {
    p->leftLink[parent] = pos;
  }
  p->upLink[node] = kNil;
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
