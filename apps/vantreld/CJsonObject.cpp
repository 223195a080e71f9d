#include "CJsonObject.h"

#include <cstdio>

#include "model/DataText.h"

std::string CJsonObject::Quoted(const std::string& text) {
  std::string out = "\"";
  for (std::size_t at = 0; at < text.size();) {
    const auto c = static_cast<unsigned char>(text[at]);
    if (c >= 0x80) {
      const std::size_t length =
          Utf8SequenceLength(reinterpret_cast<const unsigned char*>(text.data()) + at, text.size() - at);
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
