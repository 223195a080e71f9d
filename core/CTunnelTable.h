#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "model/NetworkList.h"
#include "model/TunnelBinding.h"
#include "model/TunnelInfo.h"

// The process's configured tunnels, by device ID (byte-wise, case-sensitive keys).
// Changed on the user-interface thread, read by worker threads: every operation takes
// the table's reader/writer lock, so any thread may call any operation.
class CTunnelTable {
 public:
  static CTunnelTable& Instance();

  // Inserts unless the ID is already a key (the old record stays); LastChange moves either way.
  void Add(const TunnelInfo& tunnel);
  // Sets (or inserts) the entry under tunnel.DeviceID.
  void Modify(const TunnelInfo& tunnel);
  // Erases a present key, and its binding, and moves LastChange; an absent key changes
  // nothing.
  void Remove(const std::string& deviceId);

  bool Contains(const std::string& deviceId) const;
  // The record, or an empty one for an absent ID. A lookup never inserts: it must not
  // configure a device.
  TunnelInfo Get(const std::string& deviceId) const;
  // Whether the device has a tunnel on portName (ignoring letter case): a record routed to a
  // port before its device moved asks this before it is written there.
  bool IsOnPort(const std::string& deviceId, const std::string& portName) const;
  // The IDs whose SerialNo equals portName ignoring letter case, in key order.
  std::vector<std::string> IdsOnPort(const std::string& portName) const;
  std::map<std::string, TunnelInfo> Snapshot() const;
  std::size_t Count() const;
  // Seconds since 1970 (low 32 bits) of the last change; 0 until the first one.
  std::uint32_t LastChange() const;

  // Bindings, by device ID: what a registration must show to take a tunnel.
  // Sets the device's binding; one with neither phone nor networks removes it. False, with
  // the entry that is not a network in `bad`, when its networks do not parse (nothing
  // changes then).
  bool SetBinding(const TunnelBinding& binding, std::string& bad);
  void RemoveBinding(const std::string& deviceId);
  std::optional<TunnelBinding> GetBinding(const std::string& deviceId) const;
  std::map<std::string, TunnelBinding> Bindings() const;

  enum class Admission { Accepted, WrongPhone, WrongNetwork };
  // Whether a registration of `deviceId` with this phone number (the packet's text up to
  // its first zero byte) from `address` (host byte order) may take the device's tunnel.
  Admission Admit(const std::string& deviceId, std::string_view phone, std::uint32_t address) const;

  // Puts a whole configuration in place in one step, so that no reader sees a part of it
  // (a reload must not make a configured device look unconfigured for a moment). Moves
  // LastChange when the tunnels differ. False, with the entry that is not a network in
  // `bad`, when a binding's networks do not parse (nothing changes then).
  bool ReplaceAll(const std::map<std::string, TunnelInfo>& tunnels, const std::vector<TunnelBinding>& bindings,
                  std::string& bad);

  // Tests and start-up reloads: empties the table (tunnels and bindings) without moving
  // LastChange.
  void Clear();

 private:
  CTunnelTable() = default;
  void Touch();
  // Under the write lock: keeps m_idsByPort in step with one entry.
  void Index(const TunnelInfo& tunnel);
  void Unindex(const TunnelInfo& tunnel);

  struct IgnoringCase {
    bool operator()(const std::string& a, const std::string& b) const;
  };

  mutable std::shared_mutex m_mutex;
  std::map<std::string, TunnelInfo> m_tunnels;
  // The IDs of each port name: every chunk read from a port looks its devices up here,
  // which scanning every tunnel made cost thousands of comparisons per chunk.
  std::map<std::string, std::set<std::string>, IgnoringCase> m_idsByPort;
  std::uint32_t m_lastChange = 0;
  struct Bound {
    TunnelBinding Binding;
    std::vector<Ipv4Network> Networks;  // parsed once, checked at every registration
  };
  std::map<std::string, Bound> m_bindings;
};
