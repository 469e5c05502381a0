// Match finder: a forest of 256 binary search trees over window positions.
#pragma once

#include "compressor/band_compressor.h"

void InitTree(_CParams* p);
void InsertNode(short pos, _CParams* p);
void DeleteNode(short pos, _CParams* p);

// InsertNodeNear(pos, finger, agreed): inserts pos exactly where
// InsertNode(pos) would, searching from `finger`, a position whose string
// shares a long prefix with that of pos, instead of from the root. Any finger
// in 0..4095 is correct; a near one is fast. `agreed` (1..59) is a number of
// leading bytes the caller knows the two stored strings share; 1 when it
// knows nothing. The match is not searched: bestLength and bestOffset are as
// after InsertNode only when an equal string was replaced (bestLength 60);
// otherwise bestLength is 0 and bestOffset unspecified.
void InsertNodeNear(short pos, short finger, int agreed, _CParams* p);
