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
  // Encrypted device links: a second listener on LocalIp:TlsPort (0: none). Paths may be
  // relative to the application directory (ResolvedPath).
  std::int32_t TlsPort = 0;
  std::string TlsCertificate;  // PEM: the server's certificate (chain)
  std::string TlsKey;          // PEM: its private key
  std::string TlsClientCa;     // PEM bundle; set: every TLS device shows a certificate from it
  bool TlsOnly = false;        // the plain listener on LocalPort is not opened
  // "address:port" answering GET /metrics; empty: off.
  std::string MetricsAddress;
  std::int32_t EventsKeepDays = 90;  // device history older than this is deleted
  std::string EventCommand;          // run for each alarm, without a shell; empty: off
  std::int32_t OfflineAlarmSeconds = 300;  // offline this long raises the alarm
  bool ResendStored = false;  // stored records go to their port again once it is back

  bool operator==(const SettingInfo&) const = default;
};

// The process-wide settings, read live by the worker threads. Any thread; a reader
// gets a consistent copy, and a replacement takes effect on the next read.
SettingInfo CurrentSettings();
void ReplaceSettings(const SettingInfo& settings);
