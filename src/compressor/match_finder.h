// Match finder: a forest of 256 binary search trees over window positions.
#pragma once

#include "compressor/band_compressor.h"

void InitTree(_CParams* p);
void InsertNode(short pos, _CParams* p);
void DeleteNode(short pos, _CParams* p);
