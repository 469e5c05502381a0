// Escapes for stream bytes in messages and reports; see printable_text.h.
#include "inspect/printable_text.h"

std::string printableText(const uint8_t* bytes, size_t size) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(size);
  for (size_t i = 0; i < size; ++i) {
    const uint8_t b = bytes[i];
    if (b == '\r') {
      out += "\\r";
    } else if (b == '\n') {
      out += "\\n";
    } else if (b == '\t') {
      out += "\\t";
    } else if (b == '"' || b == '\\') {
      out += '\\';
      out += static_cast<char>(b);
    } else if (b >= 0x20 && b < 0x7F) {
      out += static_cast<char>(b);
    } else {
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
  }
  return out;
}

std::string printableText(const std::string& text) {
  return printableText(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}
