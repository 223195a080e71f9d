#include "model/DataText.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace {

void AppendEscape(std::string& text, unsigned char c) {
  char escape[5];
  std::snprintf(escape, sizeof escape, "\\x%02X", c);
  text += escape;
}

// One byte below 0x80: control characters and backslash escaped.
void AppendAscii(std::string& text, unsigned char c) {
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
      if (c < 0x20 || c == 0x7F)
        AppendEscape(text, c);
      else
        text += static_cast<char>(c);
  }
}

// The code point of a well-formed sequence of `length` bytes.
std::uint32_t CodePoint(const unsigned char* data, std::size_t length) {
  std::uint32_t point = data[0] & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) point = (point << 6) | (data[i] & 0x3F);
  return point;
}

// C1 controls, line and paragraph separators, direction embeddings, overrides and isolates.
bool Unprintable(std::uint32_t point) {
  return point <= 0x9F || point == 0x2028 || point == 0x2029 || (point >= 0x202A && point <= 0x202E) ||
         (point >= 0x2066 && point <= 0x2069);
}

}  // namespace

std::string TextOf(const unsigned char* data, std::size_t length) {
  std::string text;
  for (std::size_t i = 0; i < length && data[i] != 0; ++i) {
    if (data[i] >= 0x80)
      text += static_cast<char>(data[i]);
    else
      AppendAscii(text, data[i]);
  }
  return text;
}

std::string TextOf(const std::string& text) {
  return TextOf(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

std::string EscapedText(const unsigned char* data, std::size_t length) {
  std::string text;
  text.reserve(length);
  for (std::size_t i = 0; i < length;) {
    const unsigned char c = data[i];
    if (c >= 0x80) {
      const std::size_t sequence = Utf8SequenceLength(data + i, length - i);
      if (sequence == 0 || Unprintable(CodePoint(data + i, sequence))) {
        // Each byte of an unprintable character, so the escapes give the bytes back.
        for (std::size_t end = i + std::max<std::size_t>(sequence, 1); i < end; ++i) AppendEscape(text, data[i]);
      } else {
        text.append(reinterpret_cast<const char*>(data + i), sequence);
        i += sequence;
      }
      continue;
    }
    AppendAscii(text, c);
    ++i;
  }
  return text;
}

std::size_t Utf8SequenceLength(const unsigned char* data, std::size_t length) {
  if (length == 0) return 0;
  const unsigned char lead = data[0];
  std::size_t sequence = 0;
  if (lead >= 0xC2 && lead <= 0xDF) sequence = 2;
  else if (lead >= 0xE0 && lead <= 0xEF) sequence = 3;
  else if (lead >= 0xF0 && lead <= 0xF4) sequence = 4;
  if (sequence == 0 || sequence > length) return 0;
  for (std::size_t i = 1; i < sequence; ++i)
    if ((data[i] & 0xC0) != 0x80) return 0;
  const unsigned char second = data[1];
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) || (lead == 0xF0 && second < 0x90) ||
      (lead == 0xF4 && second > 0x8F))
    return 0;
  return sequence;
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
