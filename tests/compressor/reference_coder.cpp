// The band coder written plainly, one statement per rule and no shortcuts,
// kept apart from the library as the yardstick of the tuned coder: both must
// give the same bytes for every band.
#include "reference_coder.h"

#include <cstdlib>
#include <cstring>

namespace reference {

// ---- byte streams
int mgetc(_CParams* p) {
  if (p->inPos >= p->inSize) {
    return -1;
  }
  return p->inData[p->inPos++];
}

int mputc(int v, _CParams* p) {
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

// ---- adaptive huffman
const unsigned char p_len[64] = {
    3, 4, 4, 4, 5, 5, 5, 5, 5, 5, 5, 5, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6,
    6, 6, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
    7, 7, 7, 7, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8};
const unsigned char p_code[64] = {
    0x00, 0x20, 0x30, 0x40, 0x50, 0x58, 0x60, 0x68, 0x70, 0x78, 0x80, 0x88, 0x90,
    0x94, 0x98, 0x9C, 0xA0, 0xA4, 0xA8, 0xAC, 0xB0, 0xB4, 0xB8, 0xBC, 0xC0, 0xC2,
    0xC4, 0xC6, 0xC8, 0xCA, 0xCC, 0xCE, 0xD0, 0xD2, 0xD4, 0xD6, 0xD8, 0xDA, 0xDC,
    0xDE, 0xE0, 0xE2, 0xE4, 0xE6, 0xE8, 0xEA, 0xEC, 0xEE, 0xF0, 0xF1, 0xF2, 0xF3,
    0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF};

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

void Putcode(short n, unsigned short code, _CParams* p) {
  p->bitWord = static_cast<uint16_t>(p->bitWord | (code >> p->bitFill));
  p->bitFill = static_cast<uint8_t>(p->bitFill + n);
  if (p->bitFill >= 8) {
    reference::mputc(p->bitWord >> 8, p);
    p->codeBytes++;
    p->bitFill = static_cast<uint8_t>(p->bitFill - 8);
    if (p->bitFill >= 8) {
      reference::mputc(p->bitWord & 0xFF, p);
      p->codeBytes++;
      p->bitFill = static_cast<uint8_t>(p->bitFill - 8);
      p->bitWord = static_cast<uint16_t>((code << (n - p->bitFill)) & 0xFFFF);
    } else {
      p->bitWord = static_cast<uint16_t>((p->bitWord << 8) & 0xFFFF);
    }
  }
}

void EncodeEnd(_CParams* p) {
  if (p->bitFill != 0) {
    reference::mputc(p->bitWord >> 8, p);
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

void update(short c, _CParams* p) {
  // The rebuild check comes before the increment: the symbol that brings the
  // root to the limit is counted in the rebuilt tree.
  if (p->weight[kRoot] == kMaxWeight) {
    reference::reconst(p);
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
void InitTree(_CParams* p) {
  for (int i = kRootBase; i < kRootBase + 256; i++) {
    p->rightLink[i] = kNil;
  }
  for (int i = 0; i < kWindowSize; i++) {
    p->upLink[i] = kNil;
  }
}

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
  reference::initCParams(p);

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

  reference::StartHuff(p);
  reference::InitTree(p);

  // Spaces before the first coding position. Positions past the input and
  // the mirror keep the zeros of the cleared record: they take part in the
  // comparisons near the end of the band and decide between equal matches.
  int s = 0;
  int r = kWindowStart;
  std::memset(p->window, ' ', kWindowStart);
  int remaining = 0;
  for (int i = 0; i < kMaxMatch; i++) {
    const int c = reference::mgetc(p);
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
      const int c = reference::mgetc(p);
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

  reference::EncodeEnd(p);
}

int Encode(int len, unsigned char* src, int dstCapacity, unsigned char* dst) {
  if (len < 0 || (len > 0 && src == nullptr)) {
    return -1;
  }
  _CParams* p = static_cast<_CParams*>(std::calloc(1, sizeof(_CParams)));
  if (p == nullptr) {
    return -1;
  }
  p->inSize = len;
  p->spareInt = 0;
  p->inPos = 0;
  p->outLen = 0;
  const size_t bufSize = static_cast<size_t>(len < kHeaderSize ? kHeaderSize : len);
  p->outBuf = static_cast<unsigned char*>(std::calloc(bufSize, 1));
  if (p->outBuf == nullptr) {
    std::free(p);
    return -1;
  }
  p->inData = src;
  p->outCap = len;

  reference::Encode(p);

  int result = -1;
  if (p->outLen <= dstCapacity) {
    std::memcpy(dst, p->outBuf, static_cast<size_t>(p->outLen));
    result = p->outLen;
  }
  std::free(p->outBuf);
  std::free(p);
  return result;
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
