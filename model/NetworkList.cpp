#include "model/NetworkList.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>

namespace {

std::string_view Trimmed(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

bool ParseEntry(std::string_view entry, Ipv4Network& network) {
  const std::size_t slash = entry.find('/');
  const std::string address(entry.substr(0, slash));
  // inet_pton reads up to a zero byte: "10.0.0.0\0junk" (a stored value may hold one) would pass.
  if (address.find('\0') != std::string::npos) return false;
  in_addr parsed{};
  // inet_pton takes dotted decimal only: no octal, hex or short forms that inet_aton allows.
  if (::inet_pton(AF_INET, address.c_str(), &parsed) != 1) return false;
  int bits = 32;
  if (slash != std::string_view::npos) {
    const std::string_view digits = entry.substr(slash + 1);
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), bits);
    if (digits.empty() || digits.size() > 2 || error != std::errc() || end != digits.data() + digits.size() || bits < 0 ||
        bits > 32)
      return false;
  }
  network.Mask = bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
  network.Address = ntohl(parsed.s_addr);
  return (network.Address & ~network.Mask) == 0;
}

}  // namespace

bool ParseNetworks(std::string_view text, std::vector<Ipv4Network>& networks, std::string& bad) {
  networks.clear();
  bad.clear();
  if (Trimmed(text).empty()) return true;
  for (std::size_t from = 0;;) {
    const std::size_t comma = text.find(',', from);
    const std::string_view entry = Trimmed(text.substr(from, comma == std::string_view::npos ? std::string_view::npos : comma - from));
    Ipv4Network network;
    if (!ParseEntry(entry, network)) {
      bad = entry.empty() ? "an empty entry" : std::string(entry);
      networks.clear();
      return false;
    }
    networks.push_back(network);
    if (comma == std::string_view::npos) return true;
    from = comma + 1;
  }
}

bool InNetworks(const std::vector<Ipv4Network>& networks, std::uint32_t address) {
  return std::any_of(networks.begin(), networks.end(),
                     [address](const Ipv4Network& network) { return (address & network.Mask) == network.Address; });
}

std::string NetworksText(const std::vector<Ipv4Network>& networks) {
  std::string text;
  for (const Ipv4Network& network : networks) {
    in_addr address{htonl(network.Address)};
    char dotted[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address, dotted, sizeof dotted);
    int bits = 0;
    for (std::uint32_t mask = network.Mask; mask != 0; mask <<= 1) ++bits;
    if (!text.empty()) text += ',';
    text += std::string(dotted) + "/" + std::to_string(bits);
  }
  return text;
}
