#pragma once

#include <cstdint>
#include <string>

// One JSON object written field by field, for scripts reading the commands' --json output:
// {"key":value,...} on one line. Texts are escaped; bytes that are not UTF-8 become
// U+FFFD, so the output always parses. Main thread.
class CJsonObject {
 public:
  CJsonObject& Add(const std::string& key, const std::string& text);
  CJsonObject& Add(const std::string& key, const char* text) { return Add(key, std::string(text)); }
  CJsonObject& Add(const std::string& key, std::int64_t number);
  CJsonObject& Add(const std::string& key, bool value);
  // `json` as it is: an object, an array or null made by the caller.
  CJsonObject& AddJson(const std::string& key, const std::string& json) { return AddRaw(key, json); }

  // The object's text, without a line end.
  std::string Text() const { return "{" + m_fields + "}"; }

  // `text` as a JSON string literal, quotes included.
  static std::string Quoted(const std::string& text);

 private:
  CJsonObject& AddRaw(const std::string& key, const std::string& value);

  std::string m_fields;
};
