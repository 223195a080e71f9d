#include "CJsonObject.h"

#include <cstdio>

namespace {

// The length of the well-formed UTF-8 sequence at text[at], or 0 when there is none.
std::size_t Utf8Length(const std::string& text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length = 0;
  if (lead >= 0xC2 && lead <= 0xDF) length = 2;
  else if (lead >= 0xE0 && lead <= 0xEF) length = 3;
  else if (lead >= 0xF0 && lead <= 0xF4) length = 4;
  if (length == 0 || at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i)
    if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) return 0;
  const auto second = static_cast<unsigned char>(text[at + 1]);
  // Overlong forms, surrogates and code points past U+10FFFF.
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) || (lead == 0xF0 && second < 0x90) ||
      (lead == 0xF4 && second > 0x8F))
    return 0;
  return length;
}

}  // namespace

std::string CJsonObject::Quoted(const std::string& text) {
  std::string out = "\"";
  for (std::size_t at = 0; at < text.size();) {
    const auto c = static_cast<unsigned char>(text[at]);
    if (c >= 0x80) {
      const std::size_t length = Utf8Length(text, at);
      out += length == 0 ? "\\ufffd" : text.substr(at, length);
      at += length == 0 ? 1 : length;
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
    ++at;
  }
  return out + "\"";
}

CJsonObject& CJsonObject::AddRaw(const std::string& key, const std::string& value) {
  if (!m_fields.empty()) m_fields += ',';
  m_fields += Quoted(key) + ":" + value;
  return *this;
}

CJsonObject& CJsonObject::Add(const std::string& key, const std::string& text) { return AddRaw(key, Quoted(text)); }

CJsonObject& CJsonObject::Add(const std::string& key, std::int64_t number) {
  return AddRaw(key, std::to_string(number));
}

CJsonObject& CJsonObject::Add(const std::string& key, bool value) { return AddRaw(key, value ? "true" : "false"); }
