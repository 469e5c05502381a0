// The receiver's adaptive code model: the initial tree, the weight update
// after each symbol and the rebuild from halved weights. It must change in
// exactly the same steps as the sender's model, or every later code differs.
#include <cstring>

#include "band_decoder/band_decoder.h"

namespace {

constexpr uint16_t kWeightLimit = 0x8000;
constexpr uint16_t kSentinelWeight = 0xFFFF;

}  // namespace

DecoderModel::DecoderModel() { reset(); }

void DecoderModel::reset() {
  // Leaves at positions 0..311 in symbol order, every weight 1; internal
  // node j joins positions 2(j-312) and 2(j-312)+1.
  for (int s = 0; s < kSymbols; ++s) {
    weight_[s] = 1;
    firstChild_[s] = static_cast<int16_t>(kNodes + s);
    upNode_[kNodes + s] = static_cast<int16_t>(s);
  }
  for (int j = kSymbols; j < kNodes; ++j) {
    const int i = 2 * (j - kSymbols);
    weight_[j] = static_cast<uint16_t>(weight_[i] + weight_[i + 1]);
    firstChild_[j] = static_cast<int16_t>(i);
    upNode_[i] = upNode_[i + 1] = static_cast<int16_t>(j);
  }
  weight_[kNodes] = kSentinelWeight;
  upNode_[kRoot] = 0;
}

int DecoderModel::readSymbol(const uint8_t* bits, size_t bitCount, size_t* bitPos) const {
  size_t pos = *bitPos;
  int node = kRoot;
  while (firstChild_[node] < kNodes) {
    if (pos >= bitCount) return -1;
    const int bit = (bits[pos >> 3] >> (7 - (pos & 7))) & 1;
    ++pos;
    node = firstChild_[node] + bit;
  }
  *bitPos = pos;
  return firstChild_[node] - kNodes;
}

void DecoderModel::count(int symbol) {
  if (symbol < 0 || symbol >= kSymbols) return;
  // The rebuild check comes before this symbol is counted.
  if (weight_[kRoot] == kWeightLimit) reconst();

  int x = upNode_[kNodes + symbol];
  do {
    const uint16_t w = static_cast<uint16_t>(weight_[x] + 1);
    weight_[x] = w;
    if (w > weight_[x + 1]) {
      // Move to the highest position still below the new weight; the
      // sentinel stops the scan. Positions keep their parents, the subtrees
      // below them change places.
      int l = x + 1;
      while (weight_[l + 1] < w) ++l;
      weight_[x] = weight_[l];
      weight_[l] = w;
      const int a = firstChild_[x];
      const int b = firstChild_[l];
      firstChild_[l] = static_cast<int16_t>(a);
      firstChild_[x] = static_cast<int16_t>(b);
      upNode_[a] = static_cast<int16_t>(l);
      if (a < kNodes) upNode_[a + 1] = static_cast<int16_t>(l);
      upNode_[b] = static_cast<int16_t>(x);
      if (b < kNodes) upNode_[b + 1] = static_cast<int16_t>(x);
      x = l;
    }
    x = upNode_[x];
  } while (x != 0);
}

void DecoderModel::reconst() {
  // Leaves to the bottom, in their present order, with halved weights
  // rounded up so that none drops to 0.
  int j = 0;
  for (int p = 0; p < kNodes; ++p) {
    if (firstChild_[p] >= kNodes) {
      weight_[j] = static_cast<uint16_t>((weight_[p] + 1) / 2);
      firstChild_[j] = firstChild_[p];
      ++j;
    }
  }
  // Each new internal node goes above every node of equal weight.
  for (j = kSymbols; j < kNodes; ++j) {
    const int i = 2 * (j - kSymbols);
    const uint16_t f = static_cast<uint16_t>(weight_[i] + weight_[i + 1]);
    int k = j - 1;
    while (weight_[k] > f) --k;
    ++k;
    std::memmove(&weight_[k + 1], &weight_[k], (j - k) * sizeof weight_[0]);
    std::memmove(&firstChild_[k + 1], &firstChild_[k], (j - k) * sizeof firstChild_[0]);
    weight_[k] = f;
    firstChild_[k] = static_cast<int16_t>(i);
  }
  for (int p = 0; p < kNodes; ++p) {
    const int a = firstChild_[p];
    upNode_[a] = static_cast<int16_t>(p);
    if (a < kNodes) upNode_[a + 1] = static_cast<int16_t>(p);
  }
}

int DecoderModel::depth(int symbol) const {
  if (symbol < 0 || symbol >= kSymbols) return -1;
  int n = 0;
  for (int k = upNode_[kNodes + symbol]; k != kRoot && n < kNodes; k = upNode_[k]) ++n;
  return n;
}
