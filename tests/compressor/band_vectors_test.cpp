// Every published vector of the band compressor in one table: results and
// bytes of whole bands, codes of the adaptive model and of match offsets, the
// bit writer, the match trees and the byte streams. Each row computes its
// outcome as text and compares it with the expected text.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "byte_diff.h"
#include "compressor/adaptive_huffman.h"
#include "compressor/band_compressor.h"
#include "compressor/match_finder.h"
#include "sample_bands.h"

namespace {

// A zero-filled record on the heap with a large output buffer, as the band
// encoder prepares it before coding.
struct Record {
  _CParams* p;
  Bytes out;
  explicit Record(size_t capacity = 1 << 20)
      : p(static_cast<_CParams*>(std::calloc(1, sizeof(_CParams)))), out(capacity) {
    p->outBuf = out.data();
    p->outCap = static_cast<int32_t>(capacity);
    initCParams(p);
  }
  ~Record() { std::free(p); }
  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;

  size_t bitCount() const { return static_cast<size_t>(p->outLen) * 8 + p->bitFill; }
  // Bits from bit `from` up to everything written so far, waiting bits included.
  std::string bits(size_t from = 0) const {
    std::string s;
    for (size_t i = from; i < bitCount(); i++) {
      const size_t byte = i / 8;
      const int bit = 7 - static_cast<int>(i % 8);
      const unsigned v = byte < static_cast<size_t>(p->outLen)
                             ? out[byte]
                             : static_cast<unsigned>(p->bitWord >> 8);
      s += ((v >> bit) & 1) ? '1' : '0';
    }
    return s;
  }
  std::string bytes() const { return toHex(out.data(), static_cast<size_t>(p->outLen)); }
};

std::string encodeText(const Bytes& band, size_t head = 64, size_t tail = 0) {
  int result = 0;
  const Bytes got = encodeBand(band, &result);
  std::string s = "result " + std::to_string(result);
  if (head > 0 && !got.empty()) {
    s += ": " + toHex(got.data(), std::min(head, got.size()));
  }
  if (tail > 0 && got.size() >= tail) {
    s += " ... " + toHex(got.data() + got.size() - tail, tail);
  }
  return s;
}

Bytes fromText(const char* text) { return Bytes(text, text + std::strlen(text)); }

// Codes one symbol from the initial tree and returns its bits.
std::string initialCode(int symbol) {
  Record rec;
  StartHuff(rec.p);
  EncodeChar(static_cast<unsigned short>(symbol), rec.p);
  return rec.bits();
}

std::string offsetCode(int offset) {
  Record rec;
  StartHuff(rec.p);
  EncodePosition(static_cast<unsigned short>(offset), rec.p);
  return rec.bits();
}

std::string codesOf(const std::vector<int>& symbols, bool end) {
  Record rec;
  StartHuff(rec.p);
  std::string codes;
  for (const int s : symbols) {
    const size_t from = rec.bitCount();
    EncodeChar(static_cast<unsigned short>(s), rec.p);
    codes += (codes.empty() ? "" : " ") + rec.bits(from);
  }
  if (end) {
    EncodeEnd(rec.p);
    return rec.bytes();
  }
  return codes;
}

// Code length of symbol 0 at chosen codings, and the coding whose update
// rebuilt the tree (the root weight drops).
std::string repeatedSymbolLengths() {
  Record rec;
  StartHuff(rec.p);
  const int marks[] = {1,  2,  3,  4,   5,   8,     9,     16,    17,   32,
                       33, 64, 65, 183, 184, 32456, 32457, 32458, 32768};
  std::string s;
  int rebuiltAt = 0;
  size_t next = 0;
  for (int k = 1; k <= 32768; k++) {
    const unsigned rootBefore = rec.p->weight[kRoot];
    const size_t from = rec.bitCount();
    EncodeChar(0, rec.p);
    if (rec.p->weight[kRoot] < rootBefore && rebuiltAt == 0) {
      rebuiltAt = k;
    }
    if (next < sizeof marks / sizeof marks[0] && marks[next] == k) {
      s += std::to_string(k) + ":" + std::to_string(rec.bitCount() - from) + " ";
      next++;
    }
  }
  return s + "rebuilt in coding " + std::to_string(rebuiltAt);
}

// A cleared record with an empty forest whose window holds `text` at each
// of the given positions (zeros elsewhere).
struct Forest : Record {
  Forest() { InitTree(p); }
  void put(int pos, const char* text) { std::memcpy(&p->window[pos], text, std::strlen(text)); }
  std::string match() const {
    return "len " + std::to_string(p->bestLength) + " off " + std::to_string(p->bestOffset);
  }
};

std::string twoEqualCandidates(bool nearerFirst) {
  Forest f;
  f.put(500, "ABCDEFGX");
  f.put(800, "ABCDEFGA");
  f.put(1000, "ABCDEFGH");
  InsertNode(nearerFirst ? 800 : 500, f.p);
  InsertNode(nearerFirst ? 500 : 800, f.p);
  InsertNode(1000, f.p);
  return f.match();
}

std::string deleteWithTwoChildren(bool leftHasRightChild) {
  Forest f;
  f.put(100, "aM");
  f.put(200, "aF");
  f.put(400, "aT");
  f.put(500, "aB");
  InsertNode(100, f.p);
  InsertNode(200, f.p);
  InsertNode(400, f.p);
  InsertNode(500, f.p);
  if (leftHasRightChild) {
    f.put(300, "aH");
    InsertNode(300, f.p);
  }
  DeleteNode(100, f.p);
  const int top = f.p->rightLink[kRootBase + 'a'];
  return "top " + std::to_string(top) + " left " + std::to_string(f.p->leftLink[top]) + " right " +
         std::to_string(f.p->rightLink[top]) + " up " +
         std::to_string(f.p->upLink[top] - kRootBase) + " deleted up " +
         std::to_string(f.p->upLink[100]) + " 200.right " + std::to_string(f.p->rightLink[200]);
}

struct Vector {
  const char* name;
  std::function<std::string()> run;
  std::string expected;
};

const Vector kVectors[] = {
    // Whole bands through the entry point.
    {"empty band is the header alone", [] { return encodeText({}); }, "result 4: 00 00 00 00"},
    {"one byte: code dropped past the capacity", [] { return encodeText({0x61}); },
     "result 4: 01 00 00 00"},
    {"three letters", [] { return encodeText(fromText("abc")); }, "result 4: 03 00 00 00"},
    {"any four bytes",
     [] {
       return encodeText({0xFF, 0x00, 0x7F, 0x80});
     },
     "result 4: 04 00 00 00"},
    {"aaaaa is cut at the capacity", [] { return encodeText(fromText("aaaaa")); },
     "result 5: 05 00 00 00 F8"},
    {"60 x 0x41: literal then copy at offset 0", [] { return encodeText(runBytes(60, 0x41)); },
     "result 8: 3C 00 00 00 E8 E3 00 00"},
    {"60 spaces: one copy from the space fill", [] { return encodeText(runBytes(60, 0x20)); },
     "result 7: 3C 00 00 00 C7 1D 80"},
    {"10 spaces: zeros behind the input make the nearest win",
     [] { return encodeText(runBytes(10, 0x20)); }, "result 7: 0A 00 00 00 95 00 00"},
    {"65 spaces: the zero mirror steers the last copy",
     [] { return encodeText(runBytes(65, 0x20)); }, "result 9: 41 00 00 00 C7 1D C8 0D 80"},
    {"32768 zeros", [] { return encodeText(runBytes(32768, 0x00), 0); }, "result 729"},
    {"32768 spaces", [] { return encodeText(runBytes(32768, 0x20), 0); }, "result 728"},
    {"ramp 0..255 repeated 128 times", [] { return encodeText(rampBytes(32768), 0); },
     "result 1099"},
    {"de Bruijn band: literals with one rebuild", [] { return encodeText(deBruijnBand(), 12, 8); },
     "result 12952: 00 80 00 00 E0 63 E2 C7 87 07 0C 30 ... B3 49 B6 BA ED 76 DB 00"},
    {"result -1 when the destination is too small, destination untouched",
     [] {
       Bytes src = runBytes(60, 0x41);
       Bytes dst(7, 0xEE);
       const int r = Encode(60, src.data(), 7, dst.data());
       return std::to_string(r) + " " + toHex(dst);
     },
     "-1 EE EE EE EE EE EE EE"},

    // The adaptive code from the initial tree.
    {"initial code of 0x41", [] { return initialCode(0x41); }, "111010001"},
    {"initial code of 0x61", [] { return initialCode(0x61); }, "111110001"},
    {"initial code of 112", [] { return initialCode(112); }, "00000000"},
    {"initial code of length 59", [] { return initialCode(310); }, "11000110"},
    {"initial code of length 60", [] { return initialCode(311); }, "11000111"},
    {"abc then end",
     [] {
       return codesOf({0x61, 0x62, 0x63}, true);
     },
     "F8 FC BE 60"},
    {"coding 0x61 exchanges its leaf with that of 311",
     [] {
       Record rec;
       StartHuff(rec.p);
       EncodeChar(0x61, rec.p);
       return std::to_string(rec.p->upNode[kNodes + 0x61]) + " " +
              std::to_string(rec.p->upNode[kNodes + 311]);
     },
     "311 97"},
    {"0x61 four times then 0x62: codes",
     [] {
       return codesOf({0x61, 0x61, 0x61, 0x61, 0x62}, false);
     },
     "111110001 11000111 1100010 1100011 111110010"},
    {"0x61 four times then 0x62: bytes",
     [] {
       return codesOf({0x61, 0x61, 0x61, 0x61, 0x62}, true);
     },
     "F8 E3 E2 C7 F2"},
    {"symbol 0 over and over: code lengths and the rebuild", repeatedSymbolLengths,
     "1:9 2:8 3:7 4:7 5:6 8:6 9:5 16:5 17:4 32:4 33:3 64:3 65:2 183:2 184:1 32456:1 32457:1 "
     "32458:1 32768:1 "
     "rebuilt in coding 32457"},

    // Offsets and the bit writer.
    {"offset 0", [] { return offsetCode(0); }, "000000000"},
    {"offset 59", [] { return offsetCode(59); }, "000111011"},
    {"offset 64", [] { return offsetCode(64); }, "0010000000"},
    {"offset 4095", [] { return offsetCode(4095); }, "11111111111111"},
    {"7 bits waiting and a 9-bit code make two bytes",
     [] {
       Record rec;
       Putcode(7, 0xFE00, rec.p);
       Putcode(9, 0xAA80, rec.p);
       return rec.bytes() + " waiting " + std::to_string(rec.p->bitFill);
     },
     "FF 55 waiting 0"},
    {"end with nothing waiting delivers nothing",
     [] {
       Record rec;
       Putcode(8, 0xA500, rec.p);
       EncodeEnd(rec.p);
       return rec.bytes();
     },
     "A5"},

    // Match trees.
    {"equal string replaces the older position",
     [] {
       Forest f;
       f.put(100, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz01234567");
       f.put(300, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz01234567");
       InsertNode(100, f.p);
       InsertNode(300, f.p);
       return f.match() + " older up " + std::to_string(f.p->upLink[100]) + " top " +
              std::to_string(f.p->rightLink[kRootBase + 'A']);
     },
     "len 60 off 199 older up 4096 top 300"},
    {"60 spaces at the start: one node left, then a 60-byte match at 59",
     [] {
       Forest f;
       std::memset(f.p->window, ' ', kWindowSize);
       for (int pos = kWindowStart - 1; pos >= kWindowStart - kMaxMatch; pos--)
         InsertNode(static_cast<short>(pos), f.p);
       const int top = f.p->rightLink[kRootBase + ' '];
       const std::string alone = std::to_string(top) + " " + std::to_string(f.p->leftLink[top]) +
                                 " " + std::to_string(f.p->rightLink[top]);
       InsertNode(kWindowStart, f.p);
       return alone + " " + f.match();
     },
     "3976 4096 4096 len 60 off 59"},
    {"equal lengths: nearer wins, met first", [] { return twoEqualCandidates(true); },
     "len 7 off 199"},
    {"equal lengths: nearer wins, met second", [] { return twoEqualCandidates(false); },
     "len 7 off 199"},
    {"no match of 5 bytes keeps the old offset",
     [] {
       Forest f;
       f.p->bestOffset = 1234;
       f.put(10, "ABCD1");
       f.put(90, "ABCD2");
       InsertNode(10, f.p);
       InsertNode(90, f.p);
       return f.match();
     },
     "len 0 off 1234"},
    {"deleting a position in no tree changes nothing",
     [] {
       Forest f;
       f.put(10, "ABCDEFG");
       InsertNode(10, f.p);
       Bytes before(reinterpret_cast<uint8_t*>(f.p),
                    reinterpret_cast<uint8_t*>(f.p) + sizeof(_CParams));
       DeleteNode(77, f.p);
       Bytes after(reinterpret_cast<uint8_t*>(f.p),
                   reinterpret_cast<uint8_t*>(f.p) + sizeof(_CParams));
       return std::string(before == after ? "unchanged" : "changed");
     },
     "unchanged"},
    {"two children: rightmost of the left subtree takes the place",
     [] { return deleteWithTwoChildren(true); },
     "top 300 left 200 right 400 up 97 deleted up 4096 200.right 4096"},
    {"two children: left child without right child takes the place",
     [] { return deleteWithTwoChildren(false); },
     "top 200 left 500 right 400 up 97 deleted up 4096 200.right 400"},
    {"root of byte 0xFF is 4352",
     [] {
       Forest f;
       f.p->window[20] = 0xFF;
       InsertNode(20, f.p);
       return std::to_string(f.p->upLink[20]);
     },
     "4352"},

    // Byte streams.
    {"mgetc on an empty band",
     [] {
       Record rec;
       uint8_t none = 0;
       rec.p->inData = &none;
       rec.p->inSize = 0;
       const int a = mgetc(rec.p);
       return std::to_string(a) + " " + std::to_string(mgetc(rec.p));
     },
     "-1 -1"},
    {"mgetc returns 0xFF as 255, then -1",
     [] {
       Record rec;
       uint8_t ff = 0xFF;
       rec.p->inData = &ff;
       rec.p->inSize = 1;
       const int a = mgetc(rec.p);
       return std::to_string(a) + " " + std::to_string(mgetc(rec.p));
     },
     "255 -1"},
    {"mputc at capacity stores nothing",
     [] {
       Record rec(2);
       rec.p->outCap = 2;
       const int a = mputc(0xAA, rec.p);
       const int b = mputc(0xBB, rec.p);
       const int c = mputc(0xCC, rec.p);
       return std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(c) + " " +
              rec.bytes();
     },
     "170 187 -1 AA BB"},
    {"mputc stores the low 8 bits and returns its argument",
     [] {
       Record rec;
       const int a = mputc(0x1234, rec.p);
       return std::to_string(a) + " " + rec.bytes();
     },
     "4660 34"},
};

}  // namespace

TEST(BandCompressorVectors, every_listed_vector_comes_out_exactly) {
  for (const Vector& v : kVectors) {
    const std::string got = v.run();
    EXPECT_EQ(got, v.expected) << v.name << ": " << describeDifference(v.expected, got);
  }
}
