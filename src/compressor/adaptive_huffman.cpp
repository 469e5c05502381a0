// Adaptive Huffman coder of the band compressor: one code over 312 symbols
// (256 literals and 56 copy lengths) reshaped after every symbol, the fixed
// prefix code of match offsets, and the bit writer feeding mputc. Called by
// the band encoder; the printer runs the same model in step, so every
// tie-break below fixes the bit stream.
#include "compressor/adaptive_huffman.h"

#include <cassert>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Prefix code of the upper 6 bits of a match offset: length and code,
// left-aligned in a byte.
const unsigned char p_len[64] = {3, 4, 4, 4, 5, 5, 5, 5, 5, 5, 5, 5, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6,
                                 6, 6, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
                                 7, 7, 7, 7, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8};
const unsigned char p_code[64] = {
    0x00, 0x20, 0x30, 0x40, 0x50, 0x58, 0x60, 0x68, 0x70, 0x78, 0x80, 0x88, 0x90, 0x94, 0x98, 0x9C,
    0xA0, 0xA4, 0xA8, 0xAC, 0xB0, 0xB4, 0xB8, 0xBC, 0xC0, 0xC2, 0xC4, 0xC6, 0xC8, 0xCA, 0xCC, 0xCE,
    0xD0, 0xD2, 0xD4, 0xD6, 0xD8, 0xDA, 0xDC, 0xDE, 0xE0, 0xE2, 0xE4, 0xE6, 0xE8, 0xEA, 0xEC, 0xEE,
    0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF};

void StartHuff(_CParams* p) {
  // Leaves 0..311 hold the symbols in order; each internal node j takes the
  // pair at 2 * (j - 312) as its children.
  for (int s = 0; s < kSymbols; s++) {
    p->weight[s] = 1;
    p->firstChild[s] = static_cast<int16_t>(kNodes + s);
    p->upNode[kNodes + s] = static_cast<int16_t>(s);
  }
  for (int j = kSymbols, i = 0; j < kNodes; j++, i += 2) {
    p->weight[j] = static_cast<uint16_t>(p->weight[i] + p->weight[i + 1]);
    p->firstChild[j] = static_cast<int16_t>(i);
    p->upNode[i] = p->upNode[i + 1] = static_cast<int16_t>(j);
  }
  p->weight[kNodes] = 0xFFFF;  // sentinel that stops every upward scan
  p->upNode[kRoot] = 0;
}

namespace {

// Appends the top n bits (1..25) of `code` to the bit writer; the bits below
// them are 0. The waiting bits and the new ones are gathered in 32 bits, the
// finished bytes (0..4) delivered as mputc would, and the rest left waiting
// in bitWord as Putcode leaves them. Away from the capacity all four bytes
// are stored at once and only the finished ones counted: the bytes past
// outLen are not part of the output and are overwritten later.
inline __attribute__((always_inline)) void putBits(uint32_t code, int n, _CParams* p) {
  assert(n >= 1 && n <= 25 && p->bitFill <= 7);
  const uint32_t acc = (static_cast<uint32_t>(p->bitWord) << 16) | (code >> p->bitFill);
  const int fill = p->bitFill + n;
  const int bytes = fill >> 3;
  if (p->outLen + 4 <= p->outCap) {
    const uint32_t bigEndian = __builtin_bswap32(acc);
    std::memcpy(p->outBuf + p->outLen, &bigEndian, sizeof bigEndian);
    p->outLen += bytes;
  } else {
    for (int k = 0; k < bytes; k++) {
      if (p->outLen < p->outCap) {
        p->outBuf[p->outLen++] = static_cast<unsigned char>(acc >> (24 - 8 * k));
      }
    }
  }
  p->codeBytes += bytes;
  p->bitWord = static_cast<uint16_t>((static_cast<uint64_t>(acc) << (8 * bytes)) >> 16);
  p->bitFill = static_cast<uint8_t>(fill & 7);
}

}  // namespace

void Putcode(short n, unsigned short code, _CParams* p) {
  assert(n >= 1 && n <= 16);
  assert((code & (0xFFFFu >> n)) == 0);
  putBits(static_cast<uint32_t>(code) << 16, n, p);
}

void EncodeEnd(_CParams* p) {
  if (p->bitFill != 0) {
    mputc(p->bitWord >> 8, p);
    p->codeBytes++;
  }
}

void reconst(_CParams* p) {
  // Gather the leaves in their present order with halved weights; rounding
  // up keeps every weight at 1 or more.
  int j = 0;
  for (int pos = 0; pos < kNodes; pos++) {
    if (p->firstChild[pos] >= kNodes) {
      p->weight[j] = static_cast<uint16_t>((p->weight[pos] + 1) / 2);
      p->firstChild[j] = p->firstChild[pos];
      j++;
    }
  }
  // Rebuild the internal nodes; a new node goes above every node of equal
  // weight.
  for (int node = kSymbols, i = 0; node < kNodes; node++, i += 2) {
    const uint16_t f = static_cast<uint16_t>(p->weight[i] + p->weight[i + 1]);
    int k = node - 1;
    while (p->weight[k] > f) {
      k--;
    }
    k++;
    const size_t moved = static_cast<size_t>(node - k);
    std::memmove(&p->weight[k + 1], &p->weight[k], moved * sizeof p->weight[0]);
    std::memmove(&p->firstChild[k + 1], &p->firstChild[k], moved * sizeof p->firstChild[0]);
    p->weight[k] = f;
    p->firstChild[k] = static_cast<int16_t>(i);
  }
  for (int pos = 0; pos < kNodes; pos++) {
    const int a = p->firstChild[pos];
    if (a >= kNodes) {
      p->upNode[a] = static_cast<int16_t>(pos);
    } else {
      p->upNode[a] = p->upNode[a + 1] = static_cast<int16_t>(pos);
    }
  }
}

namespace {

// The node at x, whose weight has just become w and now exceeds that of the
// position above it, moves to the highest position whose weight is still
// below w, exchanging contents with it; returns that position.
inline int moveUp(int x, uint16_t w, _CParams* p) {
  assert(x >= 0 && x < kRoot && w > p->weight[x + 1]);
  // The weights above x are sorted and the sentinel at 623 is above every
  // weight: a short scan finds most, a binary search the long runs of equal
  // weights. With SSE2 the scan compares eight weights at a time; lanes past
  // the sentinel read the record's next field and never count, since the
  // first weight of w or more is taken.
  int l = x + 1;
#if defined(__SSE2__)
  const __m128i wanted = _mm_set1_epi16(static_cast<short>(w));
  bool found = false;
  for (int n = 0; n < 2 && !found; n++) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&p->weight[l + 1]));
    // A lane is w or more where w - weight, saturated at 0, is 0.
    const unsigned stop = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_subs_epu16(wanted, v), _mm_setzero_si128())));
    if (stop != 0) {
      l += __builtin_ctz(stop) >> 1;
      found = true;
    } else {
      l += 8;
    }
  }
  if (!found) {
#else
  for (int n = 0; n < 8 && p->weight[l + 1] < w; n++) {
    l++;
  }
  if (p->weight[l + 1] < w) {
#endif
    int hi = kNodes;  // weight[hi] >= w
    while (hi - l > 1) {
      const int mid = (l + hi) >> 1;
      if (p->weight[mid] < w) {
        l = mid;
      } else {
        hi = mid;
      }
    }
  }
  p->weight[x] = p->weight[l];
  p->weight[l] = w;
  const int a = p->firstChild[x];
  const int b = p->firstChild[l];
  p->firstChild[l] = static_cast<int16_t>(a);
  p->firstChild[x] = static_cast<int16_t>(b);
  // An internal node's second child follows its first; a leaf has only its
  // own entry, which then simply takes the same value twice. No branch:
  // whether a node or a leaf moves follows the data.
  p->upNode[a] = static_cast<int16_t>(l);
  p->upNode[a + (a < kNodes)] = static_cast<int16_t>(l);
  p->upNode[b] = static_cast<int16_t>(x);
  p->upNode[b + (b < kNodes)] = static_cast<int16_t>(x);
  return l;
}

// The rest of an update from position x up to the root.
inline void countFrom(int x, _CParams* p) {
  do {
    const uint16_t w = static_cast<uint16_t>(++p->weight[x]);
    if (w > p->weight[x + 1]) {
      x = moveUp(x, w, p);
    }
    x = p->upNode[x];
  } while (x != 0);
}

}  // namespace

void update(short c, _CParams* p) {
  assert(c >= 0 && c < kSymbols);
  // The rebuild check comes before the increment: the symbol that brings the
  // root to the limit is counted in the rebuilt tree.
  if (p->weight[kRoot] == kMaxWeight) {
    reconst(p);
  }
  countFrom(p->upNode[kNodes + c], p);
}

void EncodeChar(unsigned short c, _CParams* p) {
  assert(c < kSymbols);
  // Gather the path from the leaf up, so the bit of the node below the root
  // ends up first.
  uint32_t code = 0;
  int n = 0;
  int k = p->upNode[kNodes + c];
  if (p->weight[kRoot] == kMaxWeight) {
    // The update rebuilds the tree: the code is that of the tree before.
    do {
      code = (code >> 1) | (static_cast<uint32_t>(k & 1) << 31);
      n++;
      k = p->upNode[k];
    } while (k != kRoot);
    putBits(code, n, p);
    update(static_cast<short>(c), p);
    return;
  }
  // The count goes up the same path as the code until a node moves, so the
  // code is gathered on the way. Until that first move only weights have
  // changed: the rest of the code is read from the parents as they stand,
  // just before it.
  for (;;) {
    code = (code >> 1) | (static_cast<uint32_t>(k & 1) << 31);
    n++;
    const uint16_t w = static_cast<uint16_t>(++p->weight[k]);
    if (w > p->weight[k + 1]) {
      for (int up = p->upNode[k]; up != kRoot; up = p->upNode[up]) {
        code = (code >> 1) | (static_cast<uint32_t>(up & 1) << 31);
        n++;
      }
      putBits(code, n, p);
      countFrom(p->upNode[moveUp(k, w, p)], p);
      return;
    }
    k = p->upNode[k];
    if (k == kRoot) {
      putBits(code, n, p);
      p->weight[kRoot]++;  // the root never moves: the sentinel is above it
      return;
    }
  }
}

void EncodePosition(unsigned short offset, _CParams* p) {
  assert(offset < kWindowSize);
  // The prefix code of the upper 6 bits and the lower 6 bits, as one code.
  const int u = offset >> 6;
  const uint32_t code = (static_cast<uint32_t>(p_code[u]) << 24) |
                        (static_cast<uint32_t>(offset & 63) << (26 - p_len[u]));
  putBits(code, p_len[u] + 6, p);
}
