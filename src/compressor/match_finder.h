// Match finder: a forest of 256 binary search trees over window positions,
// one per first byte, ordered by the 60 stored bytes from each position.
// Called by the band encoder.
#pragma once

#include "compressor/band_compressor.h"

// Empties the forest: every root and every position's parent link to kNil.
void InitTree(_CParams* p);
// InsertNode(pos): adds window position pos (0..4095) to the tree of its
// first byte and leaves its longest earlier match in bestLength (5..60, or 0
// with bestOffset unchanged when none reaches 5 bytes) and bestOffset; of
// equally long matches the nearest wins. An equal string already in the
// forest is replaced by pos, ending the search with bestLength 60.
void InsertNode(short pos, _CParams* p);
// DeleteNode(pos): takes position pos (0..4095) out of the forest; nothing
// when it is in no tree.
void DeleteNode(short pos, _CParams* p);

// The positions of each tree in string order, kept beside the forest by the
// band encoder (on its stack, one per band): the nearest smaller and larger
// position of the same tree, and the number of leading bytes each position
// shares with the nearest smaller one; what it shares with the nearest
// larger one is that position's own count. The trees themselves stay exactly
// as InsertNode and DeleteNode leave them; the order only lets the encoder
// find a position's place without a walk. Entry kNil absorbs the writes made
// for a missing neighbour, and the count of a position without a smaller
// neighbour means nothing. Links and counts are kept apart, 16 KB and 8 KB,
// to keep the order small beside the record in the data cache.
struct OrderEntry {
  int16_t prev;  // nearest smaller string, or kNil
  int16_t next;  // nearest larger string, or kNil
};
struct OrderLinks {
  OrderEntry at[kWindowSize + 1];
  int16_t sharedPrev[kWindowSize + 1];  // leading bytes shared with prev (1..59)
};

// Clears the order for an empty forest.
void InitOrder(OrderLinks* order);
// InsertNode(4035), InsertNode(4034), ..., InsertNode(3976) with `order`, as
// the band encoder starts a band: the space fill before the first coding
// position, with the band's first bytes stored from 4036 on and the forest
// empty. The forest, the order, bestLength and bestOffset come out as from
// those calls.
void InsertLeadIn(_CParams* p, OrderLinks* order);
// InsertNode and DeleteNode that also keep `order`; the forest, bestLength
// and bestOffset come out exactly as from the plain routines.
void InsertNode(short pos, _CParams* p, OrderLinks* order);
void DeleteNode(short pos, _CParams* p, OrderLinks* order);

// ReplaceNode(node, pos): pos, whose string equals that of node, a position
// in the forest, takes node's place as InsertNode(pos) would; node leaves the
// forest. bestLength and bestOffset are left as they are.
void ReplaceNode(short node, short pos, _CParams* p, OrderLinks* order);

// InsertNodeNear(pos, finger, agreed): inserts pos exactly where
// InsertNode(pos) would, searching from `finger`, a position whose string
// shares a long prefix with that of pos, instead of from the root. Any finger
// in 0..4095 is correct; a near one is fast. `agreed` (1..59) is a number of
// leading bytes the caller knows the two stored strings share; 1 when it
// knows nothing. The match is not searched: bestLength and bestOffset are as
// after InsertNode only when an equal string was replaced (bestLength 60);
// otherwise bestLength is 0 and bestOffset unspecified. Keeps `order`.
void InsertNodeNear(short pos, short finger, int agreed, _CParams* p, OrderLinks* order);
