#include "service/CDeviceHistory.h"

#include <algorithm>
#include <utility>

#include "core/CDataCenter.h"
#include "core/CTunnelTable.h"
#include "model/DataText.h"
#include "model/LinkEvent.h"
#include "protocol/RegistrationPacket.h"

namespace {

// The device chose these bytes.
std::string Printable(const std::string& text) {
  return EscapedText(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

}  // namespace

void CDeviceHistory::DeviceLinkChanged(const DataItem& item) {
  if (item.Kind != DATA_REGISTER && item.Kind != DATA_OFFLINE) return;
  const std::size_t length = static_cast<std::size_t>(std::clamp(item.Length, 0, DATA_ITEM_PAYLOAD));
  DeviceEvent event;
  event.DeviceId = DeviceIdOf(item);
  event.Address = LinkSource(item.Kind, item.Data, length);
  event.Port = CTunnelTable::Instance().Get(event.DeviceId).SerialNo;
  if (item.Kind == DATA_OFFLINE) {
    const bool replaced = IsReplacedOffline(item.Data, length);
    event.Event = replaced ? DeviceEventName::kReplaced : DeviceEventName::kOffline;
    event.Detail = replaced ? "its connection was replaced by a newer one" : "its connection ended";
  } else {
    const std::string origin = "phone \"" + Printable(RegisteredPhone(item.Data)) + "\", packet address " +
                               Printable(RegisteredAddress(item.Data));
    if (event.Port.empty()) {
      event.Event = DeviceEventName::kUnconfigured;
      event.Detail = "registered without a tunnel (its data reaches no port); " + origin;
    } else {
      event.Event = DeviceEventName::kRegistered;
      event.Detail = origin + ", port " + event.Port;
    }
  }
  Record(std::move(event));
}

void CDeviceHistory::PortOpenChanged(const std::string& portName, bool opened) {
  if (!opened) {
    PortFailed(portName, "it cannot be opened");
    return;
  }
  if (m_portsDown.erase(portName) == 0) return;
  Record({"", "", DeviceEventName::kPortRecovered, "", portName + " is open again", portName});
}

void CDeviceHistory::PortWriteFailed(const DataItem& item) {
  const std::string id = DeviceIdOf(item);
  const std::string port = CTunnelTable::Instance().Get(id).SerialNo;
  if (!port.empty()) PortFailed(port, "a write of device " + id + " failed (the data is kept as not forwarded)");
}

void CDeviceHistory::PortFailed(const std::string& portName, const std::string& why) {
  if (!m_portsDown.insert(portName).second) return;
  Record({"", "", DeviceEventName::kPortFailed, "", portName + " failed: " + why, portName});
}

void CDeviceHistory::StoreLimit(bool full, std::uint64_t figure) {
  if (full) {
    Record({"", "", DeviceEventName::kStoreLimitReached, "",
            "the not-forwarded store reached its limit of " + std::to_string(figure) +
                " bytes (NotTransMaxBytes); new records are counted, not stored",
            ""});
  } else {
    Record({"", "", DeviceEventName::kStoreResumed, "",
            "the not-forwarded store stores again; " + std::to_string(figure) + " records were not stored meanwhile",
            ""});
  }
}

void CDeviceHistory::Record(DeviceEvent event) {
  if (m_listener) m_listener(event);
  CDataCenter::Instance().DeviceEvents.Push(std::move(event));
}
