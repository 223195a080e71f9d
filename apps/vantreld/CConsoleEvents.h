#pragma once

#include <set>
#include <string>

#include "CServiceConsole.h"
#include "service/CDeviceEventObserver.h"

// Writes one line per device event, with the device ID: registered (address and phone
// from the registration), offline, replaced by a newer connection, and a device without
// a tunnel registering (so the operator sees which tunnel is missing); and a port's
// outage: the reason once when it starts (a restart within the outage adds nothing), one
// line when the port opens again.
// User-interface thread.
class CConsoleEvents : public CDeviceEventObserver {
 public:
  CConsoleEvents(const CServiceConsole& console, unsigned reopenPeriodMs)
      : m_console(console), m_reopenSeconds(reopenPeriodMs / 1000) {}

  void DeviceLinkChanged(const DataItem& item) override;
  void PortOpenChanged(const std::string& portName, bool opened) override;
  void PortWriteFailed(const DataItem& item) override;

 private:
  void PortDown(const std::string& portName, const std::string& what);

  const CServiceConsole& m_console;
  const unsigned m_reopenSeconds;
  std::set<std::string> m_portsDown;  // reported as out, not yet as open again
};
