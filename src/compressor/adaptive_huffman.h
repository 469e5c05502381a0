// Adaptive Huffman coder of literals and match lengths, fixed prefix code of
// match offsets, and the bit writer.
#pragma once

#include "compressor/band_compressor.h"

extern const unsigned char p_len[64];
extern const unsigned char p_code[64];

void StartHuff(_CParams* p);
void EncodeChar(unsigned short c, _CParams* p);
void EncodePosition(unsigned short offset, _CParams* p);
void update(short c, _CParams* p);
void reconst(_CParams* p);
void Putcode(short n, unsigned short code, _CParams* p);
void EncodeEnd(_CParams* p);
