// Adaptive Huffman coder of literals and match lengths, fixed prefix code of
// match offsets, and the bit writer. Called by the band encoder; each routine
// works on the band's record only.
#pragma once

#include "compressor/band_compressor.h"

// Prefix code of the upper 6 bits u (0..63) of a match offset: its length in
// bits (3..8) and the code left-aligned in a byte. Constant.
extern const unsigned char p_len[64];
extern const unsigned char p_code[64];

// Builds the initial tree: symbols 112..311 get the 8-bit codes 0..199,
// symbols 0..111 the 9-bit codes 400..511. Once per band, before any symbol.
void StartHuff(_CParams* p);
// Writes the current code of symbol c (0..311: literals 0..255, copy lengths
// 5..60 as 256..311) through the bit writer, then counts c with update.
void EncodeChar(unsigned short c, _CParams* p);
// Writes a match offset (0..4095): the prefix code of its upper 6 bits, then
// its lower 6 bits. Leaves the adaptive model alone.
void EncodePosition(unsigned short offset, _CParams* p);
// Counts one occurrence of symbol c (0..311) and restores the weight order by
// exchanges along its leaf-to-root path; rebuilds first (reconst) when the
// root weight has reached kMaxWeight.
void update(short c, _CParams* p);
// Rebuilds the tree from the leaf weights halved, rounding up.
void reconst(_CParams* p);
// Putcode(n, code): appends the top n bits (1..16) of code, whose lower bits
// are 0, to the bit writer; each finished byte goes to mputc.
void Putcode(short n, unsigned short code, _CParams* p);
// Delivers the waiting bits, completed by zero bits, as one last byte; none
// when no bit waits.
void EncodeEnd(_CParams* p);
