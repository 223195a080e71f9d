#include "CConsoleEvents.h"

#include "PortProblem.h"
#include "core/CTunnelTable.h"
#include "protocol/RegistrationPacket.h"

void CConsoleEvents::DeviceLinkChanged(const DataItem& item) {
  const std::string id = DeviceIdOf(item);
  if (item.Kind == DATA_OFFLINE) {
    const bool replaced = item.Length == 1 && item.Data[0] == OFFLINE_REPLACED;
    m_console.Status("Device " + id + (replaced ? ": its connection was replaced by a newer connection" : " offline"));
    return;
  }
  const std::string origin = " from " + RegisteredAddress(item.Data) + ", phone \"" + RegisteredPhone(item.Data) + "\"";
  const TunnelInfo tunnel = CTunnelTable::Instance().Get(id);
  if (tunnel.DeviceID.empty()) {
    m_console.Status("Device " + id + " registered" + origin +
                     " but has no tunnel; its data reaches no port. Add one with: vantreld tunnel add " + id +
                     " --port COMn, then reload (systemctl reload vantreld, or SIGHUP)");
    return;
  }
  m_console.Status("Device " + id + " registered" + origin + ", port " + tunnel.SerialNo);
}

void CConsoleEvents::PortOpenChanged(const std::string& portName, bool opened) {
  if (!opened) {
    PortDown(portName, "cannot be opened: " + PortProblem(portName));
    return;
  }
  if (m_portsDown.erase(portName) > 0) m_console.Status("Port " + portName + " is open again");
}

void CConsoleEvents::PortWriteFailed(const DataItem& item) {
  const TunnelInfo tunnel = CTunnelTable::Instance().Get(DeviceIdOf(item));
  if (tunnel.DeviceID.empty()) return;
  PortDown(tunnel.SerialNo, "failed a write of device " + tunnel.DeviceID +
                                " (the data is kept as not forwarded): " + PortProblem(tunnel.SerialNo));
}

void CConsoleEvents::PortDown(const std::string& portName, const std::string& what) {
  if (!m_portsDown.insert(portName).second) return;
  m_console.Problem("Port " + portName + " " + what + "; retrying every " + std::to_string(m_reopenSeconds) + " s");
}
