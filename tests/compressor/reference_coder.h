// The band coder written plainly, as the yardstick of the tuned library: the
// same routines over the same record, in namespace reference.
#pragma once

#include <cstdint>
#include <vector>

#include "compressor/band_compressor.h"

namespace reference {

int mgetc(_CParams* p);
int mputc(int v, _CParams* p);
void initCParams(_CParams* p);
void StartHuff(_CParams* p);
void EncodeChar(unsigned short c, _CParams* p);
void EncodePosition(unsigned short offset, _CParams* p);
void update(short c, _CParams* p);
void reconst(_CParams* p);
void Putcode(short n, unsigned short code, _CParams* p);
void EncodeEnd(_CParams* p);
void InitTree(_CParams* p);
void InsertNode(short pos, _CParams* p);
void DeleteNode(short pos, _CParams* p);
void Encode(_CParams* p);
int Encode(int len, unsigned char* src, int dstCapacity, unsigned char* dst);

}  // namespace reference

// The complete stream of a band: the encoding loop over a record whose
// capacity never cuts the output, by the library or (`plain`) by the plain
// coder above.
std::vector<uint8_t> completeStream(const std::vector<uint8_t>& band, bool plain = false);
