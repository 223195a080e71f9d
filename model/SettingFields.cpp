#include "model/SettingFields.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <vector>

#include "model/NetworkList.h"
#include "platform/FirstIPv4Address.h"

namespace {

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

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

std::optional<std::string> NetworksField(const std::string& text, std::string* bad) {
  std::vector<Ipv4Network> networks;
  std::string entry;
  if (ParseNetworks(text, networks, entry)) return NetworksText(networks);
  if (bad != nullptr) {
    // The entry as typed; empty for an empty one (a comma too many), which the list
    // parser describes in words of its own.
    *bad = entry;
    for (std::size_t from = 0; from <= text.size();) {
      const std::size_t comma = std::min(text.find(',', from), text.size());
      const std::string typed = Trimmed(text.substr(from, comma - from));
      if (typed.empty() || !ParseNetworks(typed, networks, entry)) {
        *bad = typed;
        break;
      }
      from = comma + 1;
    }
  }
  return std::nullopt;
}

std::string NetworksProblem(const std::string& bad) {
  return (bad.empty() ? std::string("an empty entry (a comma too many)") : "\"" + bad + "\"") +
         " is not an IPv4 network: give networks such as 10.0.0.0/8 (no address bits after the prefix) or single "
         "addresses such as 203.0.113.7, separated by commas";
}

std::optional<std::string> PhoneField(const std::string& text) {
  const std::string phone = Trimmed(text);
  if (phone.size() > kLongestPhone ||
      !std::all_of(phone.begin(), phone.end(), [](char c) { return c > ' ' && c < 0x7F; })) {
    return std::nullopt;
  }
  return phone;
}

std::optional<std::string> PathField(const std::string& text) {
  const std::string path = Trimmed(text);
  if (path.size() > kLongestPathSetting ||
      std::any_of(path.begin(), path.end(), [](char c) { return static_cast<unsigned char>(c) < ' ' || c == 0x7F; })) {
    return std::nullopt;
  }
  return path;
}

std::optional<std::string> ListenAddressField(const std::string& text) {
  const std::string address = Trimmed(text);
  if (address.empty()) return address;
  const std::size_t colon = address.rfind(':');
  if (colon == std::string::npos) return std::nullopt;
  const std::optional<std::string> ip = LocalIpField(address.substr(0, colon));
  const std::optional<std::string> port = NumberField(address.substr(colon + 1), kLowestLocalPort, kHighestLocalPort);
  if (!ip || ip->empty() || !port) return std::nullopt;
  return *ip + ":" + *port;
}

std::string TlsSettingsProblem(const SettingInfo& settings) {
  const std::int32_t plainPort = settings.LocalPort == 0 ? kDefaultLocalPort : settings.LocalPort;
  if (settings.TlsPort == 0) return settings.TlsOnly ? "TlsOnly is on but no TLS port is set (TlsPort)" : "";
  if (settings.TlsCertificate.empty() || settings.TlsKey.empty())
    return "a TLS port is set but the server certificate or its key is not (TlsCertificate, TlsKey)";
  if (settings.TlsPort == plainPort && !settings.TlsOnly)
    return "the TLS port " + std::to_string(settings.TlsPort) + " is the plain port (LocalPort) too";
  return "";
}

void ApplyStartDefaults(SettingInfo& settings) {
  if (settings.LocalIp.empty()) settings.LocalIp = FirstIPv4Address();
  if (settings.LocalPort == 0) settings.LocalPort = kDefaultLocalPort;
}
