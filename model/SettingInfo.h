#pragma once

#include <cstdint>
#include <string>

// The port listened on while LocalPort is 0 (stored empty or "0").
inline constexpr std::int32_t kDefaultLocalPort = 5001;

// The settings record, with its defaults.
struct SettingInfo {
  std::string LocalIp;
  std::int32_t LocalPort = 0;
  bool BootAutoStart = false;
  bool AutoStartSimulation = false;
  bool FilterHearbeat = false;
  std::int32_t DelayComRead = 50;  // milliseconds
  bool Escape = false;
  // Bytes of NotTransData (all its values) beyond which new not-forwarded records are
  // counted, not stored. Stored under a key of its own, which older readers ignore.
  std::int64_t NotTransMaxBytes = std::int64_t{1} << 30;
  // Who may be a device. Each under a key of its own, which older readers ignore.
  std::string AllowedNetworks;  // a network list (ParseNetworks); empty: every address
  bool RefuseUnconfigured = false;  // close a registration for an ID without a tunnel
  std::int32_t MaxConnectionsPerAddress = 0;  // 0: no cap

  bool operator==(const SettingInfo&) const = default;
};

// The process-wide settings, read live by the worker threads. Any thread; a reader
// gets a consistent copy, and a replacement takes effect on the next read.
SettingInfo CurrentSettings();
void ReplaceSettings(const SettingInfo& settings);
