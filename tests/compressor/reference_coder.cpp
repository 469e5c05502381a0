// The band coder written plainly, one statement per rule and no shortcuts,
// kept apart from the library as the yardstick of the tuned coder: both must
// give the same bytes for every band. Its own are the forest walk of the
// match finder, the model update with the code read off the tree, the bit
// writer and the encoding loop; the routines the library keeps plain (byte
// streams, record setup, offset tables, the initial tree, the rebuild, the
// final byte) are the library's own, called from here.
#include "reference_coder.h"

#include <cstdlib>
#include <cstring>

#include "compressor/adaptive_huffman.h"
#include "compressor/match_finder.h"

namespace reference {

// ---- adaptive huffman
// The library's bit writer is fused into its symbol coders and stores four
// bytes at a time; this one hands each finished byte to mputc as it fills,
// so the tuned writer is checked against the plain one.
void Putcode(short n, unsigned short code, _CParams* p) {
  p->bitWord = static_cast<uint16_t>(p->bitWord | (code >> p->bitFill));
  p->bitFill = static_cast<uint8_t>(p->bitFill + n);
  if (p->bitFill >= 8) {
    mputc(p->bitWord >> 8, p);
    p->codeBytes++;
    p->bitFill = static_cast<uint8_t>(p->bitFill - 8);
    if (p->bitFill >= 8) {
      mputc(p->bitWord & 0xFF, p);
      p->codeBytes++;
      p->bitFill = static_cast<uint8_t>(p->bitFill - 8);
      p->bitWord = static_cast<uint16_t>((code << (n - p->bitFill)) & 0xFFFF);
    } else {
      p->bitWord = static_cast<uint16_t>((p->bitWord << 8) & 0xFFFF);
    }
  }
}

void update(short c, _CParams* p) {
  // The rebuild check comes before the increment: the symbol that brings the
  // root to the limit is counted in the rebuilt tree.
  if (p->weight[kRoot] == kMaxWeight) {
    reconst(p);
  }
  int x = p->upNode[kNodes + c];
  do {
    const uint16_t w = static_cast<uint16_t>(++p->weight[x]);
    if (w > p->weight[x + 1]) {
      // Move to the highest position whose weight is still below w.
      int l = x + 1;
      while (p->weight[l + 1] < w) {
        l++;
      }
      p->weight[x] = p->weight[l];
      p->weight[l] = w;
      const int a = p->firstChild[x];
      const int b = p->firstChild[l];
      p->firstChild[l] = static_cast<int16_t>(a);
      p->firstChild[x] = static_cast<int16_t>(b);
      p->upNode[a] = static_cast<int16_t>(l);
      if (a < kNodes) {
        p->upNode[a + 1] = static_cast<int16_t>(l);
      }
      p->upNode[b] = static_cast<int16_t>(x);
      if (b < kNodes) {
        p->upNode[b + 1] = static_cast<int16_t>(x);
      }
      x = l;
    }
    x = p->upNode[x];
  } while (x != 0);
}

void EncodeChar(unsigned short c, _CParams* p) {
  // Gather the path from the leaf up, so the bit of the node below the root
  // ends up first. A leaf can lie up to 21 levels deep, so the path is kept
  // in 32 bits and a code longer than 16 bits goes out in two pieces.
  uint32_t code = 0;
  int n = 0;
  int k = p->upNode[kNodes + c];
  do {
    code >>= 1;
    if (k & 1) {
      code |= 0x80000000u;
    }
    n++;
    k = p->upNode[k];
  } while (k != kRoot);
  if (n <= 16) {
    reference::Putcode(static_cast<short>(n), static_cast<unsigned short>(code >> 16), p);
  } else {
    reference::Putcode(16, static_cast<unsigned short>(code >> 16), p);
    reference::Putcode(static_cast<short>(n - 16), static_cast<unsigned short>(code & 0xFFFF), p);
  }
  reference::update(static_cast<short>(c), p);
}

void EncodePosition(unsigned short offset, _CParams* p) {
  const int u = offset >> 6;
  reference::Putcode(p_len[u], static_cast<unsigned short>(p_code[u] << 8), p);
  reference::Putcode(6, static_cast<unsigned short>((offset << 10) & 0xFFFF), p);
}

// ---- match finder
void InsertNode(short pos, _CParams* p) {
  // The key is read as stored, mirror bytes included, never wrapping around
  // the ring: stale or zero bytes past the input steer the search.
  const unsigned char* key = &p->window[pos];
  int node = kRootBase + key[0];
  int cmp = 1;
  p->leftLink[pos] = p->rightLink[pos] = kNil;
  p->bestLength = 0;
  for (;;) {
    int16_t* link = cmp >= 0 ? &p->rightLink[node] : &p->leftLink[node];
    if (*link == kNil) {
      *link = pos;
      p->upLink[pos] = static_cast<int16_t>(node);
      return;
    }
    node = *link;
    const unsigned char* cand = &p->window[node];
    int i = 1;
    while (i < kMaxMatch && key[i] == cand[i]) {
      i++;
    }
    cmp = i < kMaxMatch ? key[i] - cand[i] : 0;
    if (i >= kMinMatch) {
      const int offset = ((pos - node) & (kWindowSize - 1)) - 1;
      if (i > p->bestLength) {
        p->bestOffset = static_cast<int16_t>(offset);
        p->bestLength = static_cast<int16_t>(i);
        if (i == kMaxMatch) {
          break;
        }
      } else if (i == p->bestLength && offset < p->bestOffset) {
        p->bestOffset = static_cast<int16_t>(offset);
      }
    }
  }
  // Equal strings: the newer position takes the older one's place, keeping
  // every string in the forest distinct.
  p->upLink[pos] = p->upLink[node];
  p->leftLink[pos] = p->leftLink[node];
  p->rightLink[pos] = p->rightLink[node];
  p->upLink[p->leftLink[node]] = pos;
  p->upLink[p->rightLink[node]] = pos;
  const int parent = p->upLink[node];
  if (p->rightLink[parent] == node) {
    p->rightLink[parent] = pos;
  } else {
    p->leftLink[parent] = pos;
  }
  p->upLink[node] = kNil;
}

void DeleteNode(short pos, _CParams* p) {
  if (p->upLink[pos] == kNil) {
    return;
  }
  int q;
  if (p->rightLink[pos] == kNil) {
    q = p->leftLink[pos];
  } else if (p->leftLink[pos] == kNil) {
    q = p->rightLink[pos];
  } else {
    // Two children: the greatest string of the left subtree takes the place.
    q = p->leftLink[pos];
    if (p->rightLink[q] != kNil) {
      do {
        q = p->rightLink[q];
      } while (p->rightLink[q] != kNil);
      p->rightLink[p->upLink[q]] = p->leftLink[q];
      p->upLink[p->leftLink[q]] = p->upLink[q];
      p->leftLink[q] = p->leftLink[pos];
      p->upLink[p->leftLink[pos]] = static_cast<int16_t>(q);
    }
    p->rightLink[q] = p->rightLink[pos];
    p->upLink[p->rightLink[pos]] = static_cast<int16_t>(q);
  }
  // upLink[4096] absorbs the write when q is the empty marker.
  p->upLink[q] = p->upLink[pos];
  const int parent = p->upLink[pos];
  if (p->rightLink[parent] == pos) {
    p->rightLink[parent] = static_cast<int16_t>(q);
  } else {
    p->leftLink[parent] = static_cast<int16_t>(q);
  }
  p->upLink[pos] = kNil;
}

// ---- band encoder
void Encode(_CParams* p) {
  initCParams(p);

  // The header goes straight into the work buffer, past mputc, so it is
  // never dropped; it still counts against the capacity.
  const uint32_t n = static_cast<uint32_t>(p->inSize);
  p->outBuf[0] = static_cast<unsigned char>(n & 0xFF);
  p->outBuf[1] = static_cast<unsigned char>((n >> 8) & 0xFF);
  p->outBuf[2] = static_cast<unsigned char>((n >> 16) & 0xFF);
  p->outBuf[3] = static_cast<unsigned char>((n >> 24) & 0xFF);
  p->outLen += kHeaderSize;
  if (p->inSize == 0) {
    return;
  }

  StartHuff(p);
  InitTree(p);

  // Spaces before the first coding position. Positions past the input and
  // the mirror keep the zeros of the cleared record: they take part in the
  // comparisons near the end of the band and decide between equal matches.
  int s = 0;
  int r = kWindowStart;
  std::memset(p->window, ' ', kWindowStart);
  int remaining = 0;
  for (int i = 0; i < kMaxMatch; i++) {
    const int c = mgetc(p);
    if (c == -1) {
      break;
    }
    p->window[kWindowStart + i] = static_cast<unsigned char>(c);
    remaining++;
  }
  p->firstFill = remaining;

  for (int i = 1; i <= kMaxMatch; i++) {
    reference::InsertNode(static_cast<short>(r - i), p);
  }
  reference::InsertNode(static_cast<short>(r), p);

  do {
    if (p->bestLength > remaining) {
      p->bestLength = static_cast<int16_t>(remaining);
    }
    if (p->bestLength < kMinMatch) {
      p->bestLength = 1;
      reference::EncodeChar(p->window[r], p);
    } else {
      reference::EncodeChar(static_cast<unsigned short>(255 - kMinMatch + 1 + p->bestLength), p);
      reference::EncodePosition(static_cast<unsigned short>(p->bestOffset), p);
    }
    const int step = p->bestLength;
    int i = 0;
    while (i < step) {
      const int c = mgetc(p);
      if (c == -1) {
        break;
      }
      reference::DeleteNode(static_cast<short>(s), p);
      p->window[s] = static_cast<unsigned char>(c);
      if (s < kMirrorSize) {
        p->window[kWindowSize + s] = static_cast<unsigned char>(c);
      }
      s = (s + 1) & (kWindowSize - 1);
      r = (r + 1) & (kWindowSize - 1);
      reference::InsertNode(static_cast<short>(r), p);
      i++;
    }
    // Past the end of the input the window byte at s is left as it was.
    for (; i < step; i++) {
      reference::DeleteNode(static_cast<short>(s), p);
      s = (s + 1) & (kWindowSize - 1);
      r = (r + 1) & (kWindowSize - 1);
      remaining--;
      if (remaining > 0) {
        reference::InsertNode(static_cast<short>(r), p);
      }
    }
  } while (remaining > 0);

  EncodeEnd(p);
}

int Encode(int len, unsigned char* src, int dstCapacity, unsigned char* dst) {
  _CParams* p = makeBandRecord(len, src);
  if (p == nullptr) {
    return -1;
  }
  reference::Encode(p);
  return takeBandResult(p, dstCapacity, dst);
}

}  // namespace reference

std::vector<uint8_t> completeStream(const std::vector<uint8_t>& band, bool plain) {
  _CParams* p = static_cast<_CParams*>(std::calloc(1, sizeof(_CParams)));
  std::vector<uint8_t> src = band;
  std::vector<uint8_t> out(8 * band.size() + 64);
  p->inData = src.data();
  p->inSize = static_cast<int32_t>(src.size());
  p->outBuf = out.data();
  p->outCap = static_cast<int32_t>(out.size());
  if (plain) {
    reference::Encode(p);
  } else {
    Encode(p);
  }
  out.resize(static_cast<size_t>(p->outLen));
  std::free(p);
  return out;
}
