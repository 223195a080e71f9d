#include "model/TunnelFields.h"

#include <algorithm>
#include <cctype>

namespace {

bool AllOf(const std::string& text, int (*test)(int)) {
  return std::all_of(text.begin(), text.end(), [test](char c) { return test(static_cast<unsigned char>(c)) != 0; });
}

}  // namespace

bool EqualIgnoringCase(const std::string& a, const std::string& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
  });
}

std::optional<std::string> DeviceIdField(const std::string& text) {
  if (text.size() != 8 || !AllOf(text, std::isxdigit)) return std::nullopt;
  std::string id = text;
  std::transform(id.begin(), id.end(), id.begin(), [](char c) { return static_cast<char>(std::toupper(c)); });
  return id;
}

std::string DeviceIdProblem(const std::string& text) {
  return "a device ID is 8 hexadecimal digits, e.g. 01ABCDEF (got \"" + text + "\")";
}

std::optional<std::string> PortField(const std::string& text) {
  if (text.size() < 4 || text.size() > 7 || !EqualIgnoringCase(text.substr(0, 3), "COM")) return std::nullopt;
  const std::string number = text.substr(3);
  if (!AllOf(number, std::isdigit) || number.front() == '0') return std::nullopt;
  const int n = std::stoi(number);
  if (n < 1 || n > 1024) return std::nullopt;
  return "COM" + number;
}

std::optional<std::string> ListField(const std::string& text, std::span<const char* const> list) {
  for (const char* entry : list) {
    if (EqualIgnoringCase(text, entry)) return std::string(entry);
  }
  return std::nullopt;
}

std::string ListText(std::span<const char* const> list) {
  std::string text;
  for (const char* entry : list) {
    if (!text.empty()) text += ", ";
    text += entry;
  }
  return text;
}

bool SamePortSettings(const TunnelInfo& a, const TunnelInfo& b) {
  return EqualIgnoringCase(a.SerialNo, b.SerialNo) && EqualIgnoringCase(a.BaudRate, b.BaudRate) &&
         EqualIgnoringCase(a.DateBit, b.DateBit) && EqualIgnoringCase(a.StopBit, b.StopBit) &&
         EqualIgnoringCase(a.Parity, b.Parity);
}
