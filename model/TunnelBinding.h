#pragma once

#include <string>

// What a device must show to take its tunnel: the phone number its registration carries
// (empty: any) and the networks its connection may come from (a network list as
// ParseNetworks reads it; empty: any). Stored in the TunnelBinding table.
struct TunnelBinding {
  std::string DeviceID;
  std::string Phone;
  std::string Networks;

  bool operator==(const TunnelBinding&) const = default;
};
