// Match finder: a forest of 256 binary search trees over window positions.
#pragma once

#include "compressor/band_compressor.h"

void InitTree(_CParams* p);
void InsertNode(short pos, _CParams* p);
void DeleteNode(short pos, _CParams* p);

// InsertNodeNear(pos, finger): inserts pos exactly where InsertNode(pos)
// would, searching from `finger`, a position whose string shares a long
// prefix with that of pos, instead of from the root. Any finger is correct;
// a near one is fast. The match is not searched: bestLength and bestOffset
// are left as after InsertNode only when an equal string was replaced
// (bestLength 60); otherwise bestLength is 0 and bestOffset unspecified.
void InsertNodeNear(short pos, short finger, _CParams* p);
