#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>

#include "model/DataItem.h"
#include "model/DeviceEvent.h"

// Turns the service host's reports into the device history: a device registered (or
// registered without a tunnel), offline or replaced by a newer connection, each with the
// address its connection really came from; a port that failed (once per outage: an open
// that fails, or a write) and its recovery; the not-forwarded store reaching its limit and
// storing again. Each event is queued for the database (CDataCenter::DeviceEvents) and
// handed to the listener (the alarms). Refusals are recorded where they happen, in the link
// handler. User-interface thread.
class CDeviceHistory {
 public:
  using Listener = std::function<void(const DeviceEvent&)>;

  void SetListener(Listener listener) { m_listener = std::move(listener); }

  // A DATA_REGISTER or DATA_OFFLINE record (others are ignored).
  void DeviceLinkChanged(const DataItem& item);
  // The outcome of a port's open.
  void PortOpenChanged(const std::string& portName, bool opened);
  // Device data that could not be written to its port.
  void PortWriteFailed(const DataItem& item);
  // WM_NOTTRANS_LIMIT: full with the limit in bytes, or storing again with the records
  // not stored meanwhile.
  void StoreLimit(bool full, std::uint64_t figure);

 private:
  void PortFailed(const std::string& portName, const std::string& why);
  void Record(DeviceEvent event);

  Listener m_listener;
  std::set<std::string> m_portsDown;  // recorded as failed, not yet as recovered
};
