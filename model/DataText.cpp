#include "model/DataText.h"

#include <cstdio>

std::string TextOf(const unsigned char* data, std::size_t length) {
  std::string text;
  for (std::size_t i = 0; i < length && data[i] != 0; ++i) {
    const unsigned char c = data[i];
    switch (c) {
      case '\n':
        text += "\\n";
        break;
      case '\r':
        text += "\\r";
        break;
      case '\t':
        text += "\\t";
        break;
      case '\\':
        text += "\\\\";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char escape[5];
          std::snprintf(escape, sizeof escape, "\\x%02X", c);
          text += escape;
        } else {
          text += static_cast<char>(c);
        }
    }
  }
  return text;
}

std::string TextOf(const std::string& text) {
  return TextOf(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

std::string HexOf(const unsigned char* data, std::size_t length) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  hex.reserve(length * 2);
  for (std::size_t i = 0; i < length; ++i) {
    hex += kDigits[data[i] >> 4];
    hex += kDigits[data[i] & 0x0F];
  }
  return hex;
}
