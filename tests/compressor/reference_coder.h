// The band coder written plainly, as the yardstick of the tuned library: its
// own forest walk, model update, bit writer and encoding loop, in namespace
// reference, over the same record. What the library keeps plain (byte
// streams, record setup, tables, initial tree, rebuild) it calls from there.
#pragma once

#include <cstdint>
#include <vector>

#include "compressor/band_compressor.h"

namespace reference {

void EncodeChar(unsigned short c, _CParams* p);
void EncodePosition(unsigned short offset, _CParams* p);
void update(short c, _CParams* p);
void Putcode(short n, unsigned short code, _CParams* p);
void InsertNode(short pos, _CParams* p);
void DeleteNode(short pos, _CParams* p);
void Encode(_CParams* p);
int Encode(int len, unsigned char* src, int dstCapacity, unsigned char* dst);

}  // namespace reference

// The complete stream of a band: the encoding loop over a record whose
// capacity never cuts the output, by the library or (`plain`) by the plain
// coder above.
std::vector<uint8_t> completeStream(const std::vector<uint8_t>& band, bool plain = false);
