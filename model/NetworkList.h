#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One IPv4 network: the address bits under the mask, both in host byte order.
struct Ipv4Network {
  std::uint32_t Address = 0;
  std::uint32_t Mask = 0;

  bool operator==(const Ipv4Network&) const = default;
};

// A comma-separated list of IPv4 networks in CIDR form ("10.0.0.0/8, 203.0.113.7/32"; a
// bare address is a /32; blanks around entries are ignored; an empty text is an empty
// list). False, with the first entry that is not a network in `bad`, when any is not.
// Host bits set under the mask ("10.1.2.3/8") are refused: such an entry is a typing
// error more often than not. Pure: any thread.
bool ParseNetworks(std::string_view text, std::vector<Ipv4Network>& networks, std::string& bad);

// Whether `address` (host byte order) lies in one of the networks.
bool InNetworks(const std::vector<Ipv4Network>& networks, std::uint32_t address);

// The list written back in its canonical form ("10.0.0.0/8,203.0.113.7/32").
std::string NetworksText(const std::vector<Ipv4Network>& networks);
