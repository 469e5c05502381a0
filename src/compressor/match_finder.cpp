// Match finder of the band compressor: a forest of 256 binary search trees of
// window positions, one per first byte, ordered by the 60 stored bytes that
// start at each position. Inserting the coding position and searching for its
// longest earlier match are one walk. Called by the band encoder.
#include "compressor/match_finder.h"

#include <cassert>
#include <cstring>

#include "compressor/forest_ops.h"

void InitTree(_CParams* p) {
  for (int i = kRootBase; i < kRootBase + 256; i++) {
    p->rightLink[i] = kNil;
  }
  for (int i = 0; i < kWindowSize; i++) {
    p->upLink[i] = kNil;
  }
}

namespace forest {

// The walk from the root: inserts pos and finds its best match.
template <bool kOrdered>
void insertFromRoot(int pos, _CParams* p, OrderLinks* order) {
  assert(pos >= 0 && pos < kWindowSize);
  // The key is read as stored, mirror bytes included, never wrapping around
  // the ring: stale or zero bytes past the input steer the search.
  const unsigned char* key = &p->window[pos];

  // Strings in the forest are distinct and never change while they are in
  // it. So when the position after the last 60-byte match holds the same 60
  // bytes as the key, it is the one node the walk would end at: take its
  // place directly. bestOffset is then unchanged and bestLength stays 60.
  if (p->bestLength == kMaxMatch) {
    const int guess = (pos - p->bestOffset - 1) & (kWindowSize - 1);
    if (guess != pos && p->upLink[guess] != kNil &&
        agreement(key, &p->window[guess], 0) == kMaxMatch) {
      replaceNode<kOrdered>(guess, pos, p, order);
      return;
    }
  }

  int node = kRootBase + key[0];
  bool right = true;  // the first step from a root goes right
  p->leftLink[pos] = p->rightLink[pos] = kNil;
  // Every node below the walk's position lies between the nearest smaller
  // and the nearest larger string passed so far, so it agrees with the key
  // in at least as many bytes as the lesser of those two agreements.
  int belowAgree = 1;  // with the nearest smaller string passed
  int aboveAgree = 1;  // with the nearest larger string passed
  // The best match so far as one number, 4096 times its length less its
  // distance (offset + 1, 1..4095): the longer wins and, of two equally
  // long, the nearer, in whatever order the walk meets them. It starts at
  // the floor below every match of kMinMatch bytes, so no shorter one can
  // replace it.
  constexpr int kNoMatch = (kMinMatch - 1) << 12;
  int best = kNoMatch;
  for (;;) {
    const int next = childOf(node, right, p);
    if (next == kNil) {
      attachLeaf<kOrdered>(pos, node, right, belowAgree, aboveAgree, p, order);
      if (best != kNoMatch) {
        const int length = (best + kWindowSize - 1) >> 12;
        p->bestLength = static_cast<int16_t>(length);
        p->bestOffset = static_cast<int16_t>((length << 12) - best - 1);
      } else {
        p->bestLength = 0;
      }
      return;
    }
    node = next;
    const unsigned char* cand = &p->window[node];
    const int i =
        agreementSide(key, cand, belowAgree < aboveAgree ? belowAgree : aboveAgree, &right);
    const int distance = (pos - node) & (kWindowSize - 1);
    if (i == kMaxMatch) {
      // Strings in the forest are distinct: no other match is as long.
      p->bestOffset = static_cast<int16_t>(distance - 1);
      p->bestLength = kMaxMatch;
      break;
    }
    // Kept without a branch: the better match and the side the walk takes
    // follow the data.
    const int score = (i << 12) - distance;
    best = score > best ? score : best;
    // Smaller strings lie to the left, larger ones to the right.
    belowAgree = right ? i : belowAgree;
    aboveAgree = right ? aboveAgree : i;
  }
  replaceNode<kOrdered>(node, pos, p, order);
}

template void insertFromRoot<false>(int pos, _CParams* p, OrderLinks* order);
template void insertFromRoot<true>(int pos, _CParams* p, OrderLinks* order);

// Inserts pos (not equal to any string in the forest) from x, a position of
// its tree sharing xAgree (< 60) bytes with it: climbs to the lowest node
// whose subtree on the key's side holds the key's place, then walks down as
// the search from the root would. Returns after replacing an equal string
// met on the way down, with bestLength 60.
void climbAndInsert(int pos, int x, int xAgree, _CParams* p, OrderLinks* order) {
  assert(pos >= 0 && pos < kWindowSize && x >= 0 && x < kWindowSize && x != pos);
  assert(xAgree >= 1 && xAgree < kMaxMatch);
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

}  // namespace forest

using forest::attachLeaf;
using forest::deleteNode;
using forest::insertFromRoot;
using forest::replaceNode;

void InsertNode(short pos, _CParams* p) { insertFromRoot<false>(pos, p, nullptr); }

void InsertNode(short pos, _CParams* p, OrderLinks* order) { insertFromRoot<true>(pos, p, order); }

void DeleteNode(short pos, _CParams* p) { deleteNode<false>(pos, p, nullptr); }

void DeleteNode(short pos, _CParams* p, OrderLinks* order) { deleteNode<true>(pos, p, order); }

void ReplaceNode(short node, short pos, _CParams* p, OrderLinks* order) {
  assert(node >= 0 && node < kWindowSize && p->upLink[node] != kNil);
  replaceNode<true>(node, pos, p, order);
}

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
  assert(finger >= 0 && finger < kWindowSize);
  forest::insertNear(pos, finger, agreed, p, order);
}
