// Byte streams of one band encode: mgetc reads the band being compressed,
// mputc appends code bytes to the work buffer but never past its capacity.
// Used by the band encoder and the bit writer of the Huffman coder.
#include <cassert>

#include "compressor/band_compressor.h"

int mgetc(_CParams* p) {
  assert(p->inPos >= 0 && p->inPos <= p->inSize);
  if (p->inPos >= p->inSize) {
    return -1;
  }
  return p->inData[p->inPos++];
}

int mputc(int v, _CParams* p) {
  assert(p->outLen >= 0 && p->outBuf != nullptr);
  // The header was stored directly and counts against the capacity, so a
  // band of 4 bytes or fewer never receives a code byte.
  if (p->outLen >= p->outCap) {
    return -1;
  }
  p->outBuf[p->outLen++] = static_cast<unsigned char>(v & 0xFF);
  return v;
}

void initCParams(_CParams* p) {
  p->firstFill = 0;
  p->codeBytes = 0;
  p->auxCount = 0;
  p->bitWord = 0;
  p->bitFill = 0;
  p->spareWord = 0;
  p->spareByte = 0;
}
