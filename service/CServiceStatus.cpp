#include "service/CServiceStatus.h"

#include <memory>
#include <set>

#include "core/CDataCenter.h"
#include "core/CTunnelTable.h"
#include "core/TlsHandshakeCounts.h"
#include "model/DataItem.h"
#include "model/ServiceSnapshotText.h"
#include "platform/CManualResetEvent.h"
#include "platform/CNamedEventHost.h"
#include "serial/CSerialInterface.h"
#include "service/CDeviceList.h"

namespace {

using Clock = std::chrono::system_clock;

// To the status target: fill the request (lParam) on this thread.
constexpr unsigned WM_TAKE_SNAPSHOT = WM_USER + 220;

// A snapshot asked for by another thread. `done` is set once the message was handled or
// dropped (its target gone): whoever waits then reads `snapshot`.
struct SnapshotRequest {
  std::optional<ServiceSnapshot> snapshot;
  Sockora::Win32::CManualResetEvent done;
};

// Travels with the message; dropping it (handled or not) ends the wait.
struct RequestTicket {
  std::shared_ptr<SnapshotRequest> request;
  ~RequestTicket() { request->done.Set(); }
};

}  // namespace

CServiceStatus::CServiceStatus(CDeviceList& devices, CSerialInterface& serial)
    : m_devices(devices), m_serial(serial), m_target([this](unsigned message, WPARAM, LPARAM lParam) -> LRESULT {
        if (message == WM_TAKE_SNAPSHOT) reinterpret_cast<SnapshotRequest*>(lParam)->snapshot = Snapshot();
        return 0;
      }) {}

void CServiceStatus::SetState(ServiceSnapshot::State state, std::vector<ServiceSnapshot::Listener> listeners) {
  std::lock_guard lock(m_stateMutex);
  if (state != m_state || !m_since) m_since = Clock::now();
  m_state = state;
  m_listeners = std::move(listeners);
}

void CServiceStatus::OnDeviceEvent(const std::string& deviceId, int kind) {
  switch (kind) {
    case DATA_REGISTER:
      m_connectedSince[deviceId] = Clock::now();
      break;
    case DATA_OFFLINE:
      m_connectedSince.erase(deviceId);
      break;
    default:
      break;
  }
}

void CServiceStatus::OnPortOpened(const std::string& portName, bool opened) {
  if (opened)
    m_portFailedSince.erase(portName);
  else
    m_portFailedSince.try_emplace(portName, Clock::now());
}

void CServiceStatus::Clear() {
  m_connectedSince.clear();
  m_portFailedSince.clear();
}

ServiceSnapshot CServiceStatus::Snapshot() const {
  ServiceSnapshot snapshot;
  {
    std::lock_guard lock(m_stateMutex);
    snapshot.ServiceState = m_state;
    snapshot.Since = m_since;
    snapshot.Listeners = m_listeners;
  }
  CDataCenter& center = CDataCenter::Instance();
  const std::map<std::string, TunnelInfo> tunnels = CTunnelTable::Instance().Snapshot();
  snapshot.Configured = tunnels.size();
  snapshot.Connected = static_cast<std::uint64_t>(std::max<std::int64_t>(center.OnlineCount(), 0));
  snapshot.MatchedOnline = static_cast<std::uint64_t>(std::max<std::int64_t>(center.MatchedOnlineCount(), 0));
  for (std::size_t reason = 0; reason < kRefusalReasons; ++reason)
    snapshot.Refused[RefusalReasonName(static_cast<RefusalReason>(reason))] =
        center.Refusals(static_cast<RefusalReason>(reason));
  const TlsHandshakeCounts& handshakes = TlsHandshakeCounts::Instance();
  snapshot.TlsHandshakes["succeeded"] = handshakes.Succeeded();
  for (std::size_t failure = 0; failure < kTlsFailures; ++failure)
    snapshot.TlsHandshakes[TlsFailureName(static_cast<TlsFailure>(failure))] =
        handshakes.Failed(static_cast<TlsFailure>(failure));

  const auto timeOf = [](const std::map<std::string, ServiceSnapshot::Time>& times,
                         const std::string& key) -> std::optional<ServiceSnapshot::Time> {
    auto it = times.find(key);
    if (it == times.end()) return std::nullopt;
    return it->second;
  };
  for (int index = 0; index < m_devices.RowCount(); ++index) {
    const DeviceRow& row = m_devices.Row(index);
    ServiceSnapshot::Device device;
    device.Id = row.DeviceId;
    device.Connected = row.LinkState == DeviceRow::Link::Connected;
    device.Tls = device.Connected && row.Tls;
    device.Port = row.SerialNo;
    device.PortOpen = row.PortState == DeviceRow::Port::Open;
    device.Phone = row.Phone;
    device.Address = row.SourceIp;
    if (device.Connected) device.ConnectedSince = timeOf(m_connectedSince, row.DeviceId);
    const DeviceTraffic traffic = center.GetDeviceTraffic(row.DeviceId);
    device.BytesIn = traffic.BytesIn;
    device.BytesOut = traffic.BytesOut;
    if (row.LastDataMs != 0) device.LastDataAt = ServiceSnapshot::Time(std::chrono::milliseconds(row.LastDataMs));
    snapshot.Devices.push_back(std::move(device));
  }

  // A stopped service has closed its ports on purpose: none has failed.
  std::set<std::string> portNames;
  if (snapshot.ServiceState != ServiceSnapshot::State::Stopped)
    for (const auto& [id, tunnel] : tunnels) portNames.insert(tunnel.SerialNo);
  for (const std::string& name : portNames) {
    ServiceSnapshot::Port port;
    port.Name = name;
    port.Open = m_serial.IsPortOpen(name);
    if (!port.Open) port.FailedSince = timeOf(m_portFailedSince, name);
    snapshot.Ports.push_back(std::move(port));
  }

  const ForwardingCounters counters = center.Counters();
  snapshot.Counters = counters;
  if (counters.StoreBytes >= 0) snapshot.StoreBytes = static_cast<std::uint64_t>(counters.StoreBytes);
  snapshot.StoreLimit = static_cast<std::uint64_t>(std::max<std::int64_t>(counters.StoreLimit, 0));

  snapshot.Queues = {{"TcpRecvQueue", center.TcpRecvQueue.Count()},
                     {"ComSendQueue", center.ComSendQueue.Count()},
                     {"ComRecvQueue", center.ComRecvQueue.Count()},
                     {"TcpSendQueue", center.TcpSendQueue.Count()},
                     {"NotTransQueue", center.NotTransQueue.Count()}};
  return snapshot;
}

std::optional<ServiceSnapshot> CServiceStatus::Take(TargetHandle target, unsigned timeoutMs) {
  auto request = std::make_shared<SnapshotRequest>();
  auto ticket = std::make_shared<RequestTicket>();
  ticket->request = request;
  // A report, not a sent message: the user-interface thread handles reports also while it
  // waits for a thread to end, so a stopping service still answers.
  const LPARAM lParam = reinterpret_cast<LPARAM>(request.get());
  if (!CMessageTarget::PostReport(target, WM_TAKE_SNAPSHOT, 0, lParam, std::move(ticket))) return std::nullopt;
  if (!request->done.Wait(timeoutMs)) return std::nullopt;
  return request->snapshot;
}

void CServiceStatus::RegisterRequest(CNamedEventHost& host) const {
  host.AddRequest(kRequestName, [target = m_target.Handle()](const std::string&) {
    const std::optional<ServiceSnapshot> snapshot = Take(target, kWaitMs);
    if (!snapshot) return CNamedEventHost::Reply{1, "the Vantrel instance's service host did not answer in time"};
    return CNamedEventHost::Reply{0, EncodeSnapshot(*snapshot)};
  });
}
