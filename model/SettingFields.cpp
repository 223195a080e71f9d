#include "model/SettingFields.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>

#include "platform/FirstIPv4Address.h"

std::optional<std::string> NumberField(const std::string& text, unsigned long low, unsigned long high) {
  if (text.empty() || text.size() > 10 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
    return std::nullopt;
  }
  const unsigned long value = std::stoul(text);
  if (value < low || value > high) return std::nullopt;
  return std::to_string(value);
}

std::optional<std::string> LocalIpField(const std::string& text) {
  if (text.empty()) return text;
  in_addr address{};
  char canonical[INET_ADDRSTRLEN];
  if (inet_pton(AF_INET, text.c_str(), &address) != 1 ||
      inet_ntop(AF_INET, &address, canonical, sizeof canonical) == nullptr) {
    return std::nullopt;
  }
  return std::string(canonical);
}

void ApplyStartDefaults(SettingInfo& settings) {
  if (settings.LocalIp.empty()) settings.LocalIp = FirstIPv4Address();
  if (settings.LocalPort == 0) settings.LocalPort = kDefaultLocalPort;
}
