#pragma once

#include <cstdint>

// Per-device byte counters. BytesIn: user data and heartbeats as received, before
// unescaping. BytesOut: bytes written to the device's socket, after escaping.
struct DeviceTraffic {
  std::uint64_t BytesIn = 0;
  std::uint64_t BytesOut = 0;
};
