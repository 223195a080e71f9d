#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "model/ForwardingCounters.h"

// What a running instance says about itself at one moment: for `vantreld status`, the
// metrics page and the service manager's status line. A plain value, taken on the
// user-interface thread (which owns the device list) and then read anywhere.
struct ServiceSnapshot {
  using Time = std::chrono::system_clock::time_point;

  enum class State { Stopped, Running, Paused };

  struct Listener {
    std::string Address;     // dotted IPv4; "0.0.0.0" for every address
    std::uint16_t Port = 0;  // while paused: the one it listened on
    bool Tls = false;
  };

  // One row per configured device (a tunnel).
  struct Device {
    std::string Id;
    bool Connected = false;
    bool Tls = false;      // its link is encrypted
    std::string Port;      // the tunnel's COM<n>
    bool PortOpen = false;
    std::string Phone;     // as registered (printable text); empty until it has
    std::string Address;   // the device's address as registered
    std::optional<Time> ConnectedSince;  // while connected
    std::uint64_t BytesIn = 0;   // from the device, as received
    std::uint64_t BytesOut = 0;  // to the device, as sent
    std::optional<Time> LastDataAt;  // the last user data from the device
  };

  // One row per port a tunnel names.
  struct Port {
    std::string Name;
    bool Open = false;
    std::optional<Time> FailedSince;  // while not open: its first failed open since it last was
  };

  State ServiceState = State::Stopped;
  std::optional<Time> Since;  // when the service entered this state (nothing before the first start)
  std::vector<Listener> Listeners;

  std::uint64_t Configured = 0;     // tunnels
  std::uint64_t Connected = 0;      // registered connections open
  std::uint64_t MatchedOnline = 0;  // ... of configured devices
  // Refused connections and registrations since the process started, by reason name
  // ("network", "throttled", "per-address cap", "binding", "unconfigured"); every reason listed.
  std::map<std::string, std::uint64_t> Refused;
  // TLS handshakes since the process started, by result: "succeeded" and each reason a
  // handshake failed for.
  std::map<std::string, std::uint64_t> TlsHandshakes;
  // Traffic, registrations and the store's records since the process started.
  ForwardingCounters Counters;

  std::vector<Device> Devices;  // in device-ID order
  std::vector<Port> Ports;      // in name order

  std::optional<std::uint64_t> StoreBytes;  // not-forwarded data stored; nothing while not known
  std::uint64_t StoreLimit = 0;             // NotTransMaxBytes

  // Records waiting in each queue of the data center, by queue name ("TcpRecvQueue", ...).
  std::map<std::string, std::uint64_t> Queues;
};

// The states by name, in the order of ServiceSnapshot::State: as `vantreld status`, the
// service manager's status line and the metrics page name them.
inline constexpr const char* kServiceStateNames[] = {"stopped", "running", "paused"};

inline const char* ServiceStateName(ServiceSnapshot::State state) {
  return kServiceStateNames[static_cast<int>(state)];
}
