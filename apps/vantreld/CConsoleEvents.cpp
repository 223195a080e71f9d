#include "CConsoleEvents.h"

#include "PortProblem.h"
#include <algorithm>

#include "core/CTunnelTable.h"
#include "model/DataText.h"
#include "model/LinkEvent.h"
#include "protocol/RegistrationPacket.h"

namespace {

// The device chose these bytes: a line break or a terminal control in them must not make
// a line of its own or reach the journal as anything but text.
std::string JournalText(const std::string& text) {
  return EscapedText(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

}  // namespace

void CConsoleEvents::DeviceLinkChanged(const DataItem& item) {
  const std::string id = DeviceIdOf(item);
  const std::size_t length = static_cast<std::size_t>(std::clamp(item.Length, 0, DATA_ITEM_PAYLOAD));
  std::string source = LinkSource(item.Kind, item.Data, length);
  if (source.empty()) source = "an unknown address";
  if (item.Kind == DATA_OFFLINE) {
    if (IsReplacedOffline(item.Data, length))
      m_console.Status("Device " + id + ": its connection from " + source + " was replaced by a newer connection");
    else
      m_console.Status("Device " + id + " offline: its connection from " + source + " ended");
    return;
  }
  // The packet's address is whatever the unit was told to write there; the source is
  // where the connection really came from.
  const std::string origin = " from " + source + ", packet address " + RegisteredAddress(item.Data) + ", phone \"" +
                             JournalText(RegisteredPhone(item.Data)) + "\"";
  const std::string registered =
      "Device " + id + (IsTlsLink(item.Kind, item.Data, length) ? " registered over TLS" : " registered");
  const TunnelInfo tunnel = CTunnelTable::Instance().Get(id);
  if (tunnel.DeviceID.empty()) {
    m_console.Status(registered + origin +
                     " but has no tunnel; its data reaches no port. Add one with: vantreld tunnel add " + id +
                     " --port COMn, then reload (systemctl reload vantreld, or SIGHUP)");
    return;
  }
  m_console.Status(registered + origin + ", port " + tunnel.SerialNo);
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
                                " (the data is kept as not forwarded): " + PortProblem(tunnel.SerialNo, PortStep::Write));
}

void CConsoleEvents::PortDown(const std::string& portName, const std::string& what) {
  if (!m_portsDown.insert(portName).second) return;
  m_console.Problem("Port " + portName + " " + what + "; retrying every " + std::to_string(m_reopenSeconds) + " s");
}
