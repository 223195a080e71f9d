#include "core/CDataCenter.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/CNotTransWriter.h"
#include "core/CTunnelTable.h"
#include "core/WriteWarning.h"
#include "model/LocalTimeText.h"
#include "model/ReportedItem.h"
#include "protocol/ProtEscape.h"
#include "model/SettingInfo.h"
#include "model/WindowMessages.h"
#include "net/WriteTrace.h"
#include "platform/WriteDebugLine.h"
#include "platform/CMessageTarget.h"
#include "platform/NameThisThread.h"

using Sockora::Win32::CEvent;
using Sockora::Win32::NameThisThread;
using Sockora::Win32::CStoppableThread;

namespace {

constexpr std::size_t kQueueLimit = 5000;
// The most records the COM receive thread hands on at once.
constexpr std::size_t kRecordsPerHandOff = 16;
constexpr unsigned kStatisticsPeriodMs = 1000;

void ReportTrimmed(const char* queue, std::size_t count) {
  if (count != 0) WriteDebugLine("[ERROR]", "%s: %zu records dropped, the queue was full\n", queue, count);
}

}  // namespace

CDataCenter& CDataCenter::Instance() {
  // The tunnel table is used by the threads until they stop, so it must be built
  // first (and therefore destroyed last).
  CTunnelTable::Instance();
  static CDataCenter center;
  return center;
}

CDataCenter::CDataCenter() {
  m_dispatchThread = CStoppableThread::Launch([this](CEvent& stop) { DispatchThread(stop); });
  m_comRecvThread = CStoppableThread::Launch([this](CEvent& stop) { ComRecvThread(stop); });
  m_notTransWriterThread = CStoppableThread::Launch([this](CEvent& stop) { NotTransWriterThread(stop); });
  m_statisticsThread = CStoppableThread::Launch([this](CEvent& stop) { StatisticsThread(stop); });
}

CDataCenter::~CDataCenter() { Shutdown(); }

void CDataCenter::Shutdown() {
  std::lock_guard lock(m_shutdownMutex);
  for (auto* thread : {&m_dispatchThread, &m_comRecvThread, &m_notTransWriterThread, &m_statisticsThread}) {
    if (!*thread) continue;
    (*thread)->StopAndWait();
    thread->reset();
  }
}

void CDataCenter::ResetServiceState() {
  const std::size_t tcpRecv = TcpRecvQueue.Clear();
  const std::size_t tcpSend = TcpSendQueue.Clear();
  const std::size_t comSend = ComSendQueue.Clear();
  const std::size_t comRecv = ComRecvQueue.Clear();
  if (tcpRecv + tcpSend + comSend + comRecv != 0)
    WriteDebugLine("[MSG]", "Service reset: records dropped: Tcp Recv %zu, Tcp Send %zu, Com Send %zu, Com Recv %zu\n",
                   tcpRecv, tcpSend, comSend, comRecv);
  {
    std::lock_guard lock(m_trafficMutex);
    m_traffic.clear();
  }
  m_onlineCount = 0;
  {
    std::lock_guard lock(m_onlineMutex);
    m_online.clear();
    m_matchedOnlineCount = 0;
  }
  // A new run starts with nothing in flight; a device still held is let go.
  std::vector<std::string> held;
  {
    std::lock_guard lock(m_flightMutex);
    for (const auto& [id, flight] : m_flights)
      if (flight.Held) held.push_back(id);
    m_flights.clear();
  }
  CallDrainListeners(held);
}

void CDataCenter::RecountMatchedOnline() {
  CTunnelTable& tunnels = CTunnelTable::Instance();
  std::lock_guard lock(m_onlineMutex);
  std::int64_t matched = 0;
  for (auto& [id, counted] : m_online) {
    counted = tunnels.Contains(id);
    if (counted) ++matched;
  }
  m_matchedOnlineCount = matched;
}

void CDataCenter::CountInFlight(const std::string& deviceId) {
  std::lock_guard lock(m_flightMutex);
  ++m_flights[deviceId].Units;
}

void CDataCenter::FinishInFlight(const std::string& deviceId) {
  {
    std::lock_guard lock(m_flightMutex);
    auto it = m_flights.find(deviceId);
    if (it == m_flights.end()) return;
    Flight& flight = it->second;
    if (flight.Units > 0) --flight.Units;
    const bool drained = flight.Held && flight.Units <= kLowWater;
    if (drained) flight.Held = false;
    if (flight.Units == 0) m_flights.erase(it);
    if (!drained) return;
  }
  CallDrainListeners({deviceId});
}

bool CDataCenter::HoldWhileBacklogged(const std::string& deviceId) {
  std::lock_guard lock(m_flightMutex);
  auto it = m_flights.find(deviceId);
  if (it == m_flights.end() || it->second.Units < kHighWater) return false;
  it->second.Held = true;
  return true;
}

std::size_t CDataCenter::InFlight(const std::string& deviceId) {
  std::lock_guard lock(m_flightMutex);
  auto it = m_flights.find(deviceId);
  return it == m_flights.end() ? 0 : it->second.Units;
}

void CDataCenter::SetDrainListener(const void* owner, std::function<void(const std::string&)> listener) {
  std::unique_lock lock(m_listenerMutex);
  if (listener) {
    m_drainListeners[owner] = std::move(listener);
    return;
  }
  m_drainListeners.erase(owner);
  m_listenerIdle.wait(lock, [this] { return m_listenerCalls == 0; });
}

// Called with no lock held: a listener goes back into the socket framework.
void CDataCenter::CallDrainListeners(const std::vector<std::string>& deviceIds) {
  if (deviceIds.empty()) return;
  std::vector<std::function<void(const std::string&)>> listeners;
  {
    std::lock_guard lock(m_listenerMutex);
    if (m_drainListeners.empty()) return;
    for (const auto& [owner, listener] : m_drainListeners) listeners.push_back(listener);
    ++m_listenerCalls;
  }
  for (const std::string& id : deviceIds)
    for (const auto& listener : listeners) listener(id);
  {
    std::lock_guard lock(m_listenerMutex);
    --m_listenerCalls;
  }
  m_listenerIdle.notify_all();
}

DeviceTraffic CDataCenter::GetDeviceTraffic(const std::string& deviceId) {
  std::lock_guard lock(m_trafficMutex);
  auto it = m_traffic.find(deviceId);
  return it == m_traffic.end() ? DeviceTraffic{} : it->second;
}

void CDataCenter::AddDeviceTraffic(const std::string& deviceId, std::uint64_t bytesIn, std::uint64_t bytesOut) {
  constexpr auto relaxed = std::memory_order_relaxed;
  if (bytesIn != 0) {
    m_bytesToPort.fetch_add(bytesIn, relaxed);
    m_recordsToPort.fetch_add(1, relaxed);
  }
  if (bytesOut != 0) {
    m_bytesToDevice.fetch_add(bytesOut, relaxed);
    m_recordsToDevice.fetch_add(1, relaxed);
  }
  std::lock_guard lock(m_trafficMutex);
  DeviceTraffic& traffic = m_traffic[deviceId];
  traffic.BytesIn += bytesIn;
  traffic.BytesOut += bytesOut;
}

ForwardingCounters CDataCenter::Counters() const {
  constexpr auto relaxed = std::memory_order_relaxed;
  ForwardingCounters counters;
  counters.BytesToPort = m_bytesToPort.load(relaxed);
  counters.BytesToDevice = m_bytesToDevice.load(relaxed);
  counters.RecordsToPort = m_recordsToPort.load(relaxed);
  counters.RecordsToDevice = m_recordsToDevice.load(relaxed);
  counters.RegisteredConfigured = m_registeredConfigured.load(relaxed);
  counters.RegisteredUnconfigured = m_registeredUnconfigured.load(relaxed);
  counters.RecordsStored = m_storeCounters.Stored.load(relaxed);
  counters.RecordsNotStored = m_storeCounters.NotStored.load(relaxed);
  counters.RecordsRejected = m_storeCounters.Rejected.load(relaxed);
  counters.StoreBytes = m_storeCounters.StoredBytes.load(relaxed);
  counters.StoreLimit = m_storeCounters.Limit.load(relaxed);
  return counters;
}

void CDataCenter::SetNotifyWindow(TargetHandle window) { m_notifyWindow = window; }

void CDataCenter::DispatchThread(CEvent& stop) {
  NameThisThread("dispatch");
  // For the watchdog's test: a dispatch that hangs at its first record, until the stop.
  const bool holdForTest = std::getenv("VANTREL_TEST_HOLD_DISPATCH") != nullptr;
  while (TcpRecvQueue.WaitForRecord(stop)) {
    if (holdForTest) {
      stop.Wait(Sockora::Win32::INFINITE);
      return;
    }
    if (CDataQueue<DataItem>::Block item = TcpRecvQueue.PopBlock()) {
      Dispatch(*item);
      TcpRecvQueue.Recycle(std::move(item));
    }
  }
}

void CDataCenter::Dispatch(const DataItem& item) {
  const std::string deviceId = DeviceIdOf(item);
  const bool configured = CTunnelTable::Instance().Contains(deviceId);

  if (item.Kind == DATA_REGISTER || item.Kind == DATA_OFFLINE) {
    const int delta = item.Kind == DATA_REGISTER ? 1 : -1;
    m_onlineCount += delta;
    {
      // A device counts as matched as it was counted: the table may have changed since.
      std::lock_guard lock(m_onlineMutex);
      if (item.Kind == DATA_REGISTER) {
        const bool matched = CTunnelTable::Instance().Contains(deviceId);
        m_online[deviceId] = matched;
        if (matched) ++m_matchedOnlineCount;
      } else if (auto it = m_online.find(deviceId); it != m_online.end()) {
        if (it->second) --m_matchedOnlineCount;
        m_online.erase(it);
      }
    }
    if (item.Kind == DATA_REGISTER)
      (configured ? m_registeredConfigured : m_registeredUnconfigured).fetch_add(1, std::memory_order_relaxed);
    // Nobody shows an unconfigured device's counts once it is gone; kept, a scan of random
    // IDs would grow the table without end.
    if (item.Kind == DATA_OFFLINE && !configured) {
      std::lock_guard lock(m_trafficMutex);
      m_traffic.erase(deviceId);
    }
    ReportDeviceEvent(item);
    return;
  }

  const SettingInfo settings = CurrentSettings();
  if (settings.FilterHearbeat && item.Kind == DATA_HEARTBEAT) {
    FinishInFlight(deviceId);
    return;
  }

  CDataQueue<DataItem>::Block forward = ComSendQueue.NewBlock();
  SetDeviceId(*forward, deviceId);
  forward->Kind = item.Kind;
  const int length = item.Length < 0 ? 0 : std::min(item.Length, DATA_ITEM_PAYLOAD);
  if (settings.Escape) {
    forward->Length = ProtUnescape(item.Data, length, forward->Data);
  } else {
    std::memcpy(forward->Data, item.Data, static_cast<std::size_t>(length));
    forward->Length = length;
  }
  ComSendQueue.PushBlock(std::move(forward));
  AddDeviceTraffic(deviceId, static_cast<std::uint64_t>(length), 0);
  if (configured) ReportDeviceEvent(item);
}

void CDataCenter::ReportDeviceEvent(const DataItem& item) {
  const bool withData = item.Kind == DATA_REGISTER || item.Kind == DATA_OFFLINE || ReportsCarryData();
  const std::shared_ptr<ReportedItem> report = std::make_shared<ReportedItem>(item, withData);
  CMessageTarget::PostReport(m_notifyWindow, WM_DEVICE_EVENT, 0, reinterpret_cast<LPARAM>(report.get()), report);
}

void CDataCenter::ComRecvThread(CEvent& stop) {
  NameThisThread("com-receive");
  std::vector<CDataQueue<DataItem>::Block> escaped;
  while (ComRecvQueue.WaitForRecord(stop)) {
    // What has arrived goes on in one hand-off, which wakes the TCP send thread once.
    for (std::size_t taken = 0; taken < kRecordsPerHandOff; ++taken) {
      CDataQueue<DataItem>::Block item = ComRecvQueue.PopBlock();
      if (!item) break;
      escaped.push_back(Escaped(*item));
      ComRecvQueue.Recycle(std::move(item));
    }
    TcpSendQueue.PushBlocks(escaped);
  }
}

CDataQueue<DataItem>::Block CDataCenter::Escaped(const DataItem& item) {
  CDataQueue<DataItem>::Block escaped = TcpSendQueue.NewBlock();
  std::memcpy(escaped->DeviceId, item.DeviceId, sizeof escaped->DeviceId);
  escaped->DeviceId[sizeof escaped->DeviceId - 1] = '\0';
  escaped->Kind = item.Kind;
  // Serial records carry at most 5120 bytes, so the escaped form (at most twice as
  // long) fits; clamp anyway so a bad record cannot overrun the payload.
  const int length = std::clamp(item.Length, 0, DATA_ITEM_PAYLOAD / 2);
  if (CurrentSettings().Escape) {
    escaped->Length = ProtEscape(item.Data, length, escaped->Data);
  } else {
    std::memcpy(escaped->Data, item.Data, static_cast<std::size_t>(length));
    escaped->Length = length;
  }
  return escaped;
}

void CDataCenter::StoreNotTransData(DataItem item) {
  NotTransRecord record{};
  const std::string now = LocalTimeText();
  now.copy(record.ReceiveTime, sizeof record.ReceiveTime - 1);
  record.Item = item;
  CountInFlight(DeviceIdOf(item));
  m_storeHandedOver.fetch_add(1, std::memory_order_acq_rel);
  NotTransQueue.Push(record);
}

void CDataCenter::StoredRowsRemoved() {
  m_storeCounters.RowsRemoved.store(true, std::memory_order_release);
  NotTransQueue.Arrived().Set();
}

void CDataCenter::StoreUnwritten(const std::vector<DataItem>& records, const char* where) {
  if (records.empty()) return;
  CTunnelTable& tunnels = CTunnelTable::Instance();
  std::size_t stored = 0;
  for (const DataItem& record : records) {
    const std::string id = DeviceIdOf(record);
    // Stored before the flight ends, so that the device is not let go in between.
    if (tunnels.Contains(id)) {
      StoreNotTransData(record);
      ++stored;
    }
    FinishInFlight(id);
  }
  WriteDebugLine("[ERROR]", "%s: %zu records not written to their port, %zu of them stored as not forwarded\n", where,
                 records.size(), stored);
}

void CDataCenter::NotTransWriterThread(CEvent& stop) {
  NameThisThread("not-forwarded");
  // Posted, not sent: the writer never waits for the user-interface thread.
  CNotTransWriter writer(NotTransQueue, stop, DATABASE_FILE_NAME, [this](bool full, std::uint64_t figure) {
    CMessageTarget::Post(m_notifyWindow, WM_NOTTRANS_LIMIT, full ? 1 : 0, static_cast<LPARAM>(figure));
  });
  writer.SetFinishedHook([this](const NotTransRecord& record) {
    FinishInFlight(DeviceIdOf(record.Item));
    m_storeFinished.fetch_add(1, std::memory_order_acq_rel);
  });
  writer.SetDeviceEvents(DeviceEvents);
  writer.SetCounters(m_storeCounters);
  writer.Run();
}

void CDataCenter::RunStatisticsPass() {
  const std::vector<DataItem> received = TcpRecvQueue.TrimTo(kQueueLimit);
  for (const DataItem& item : received)
    if (item.Kind == DATA_USER || item.Kind == DATA_HEARTBEAT) FinishInFlight(DeviceIdOf(item));
  ReportTrimmed("Tcp Recv", received.size());
  ReportTrimmed("Tcp Send", TcpSendQueue.TrimTo(kQueueLimit).size());
  ReportTrimmed("Com Recv", ComRecvQueue.TrimTo(kQueueLimit).size());
  StoreUnwritten(ComSendQueue.TrimTo(kQueueLimit), "Com Send queue full");
  const std::vector<NotTransRecord> notTrans = NotTransQueue.TrimTo(kQueueLimit);
  for (const NotTransRecord& record : notTrans) FinishInFlight(DeviceIdOf(record.Item));
  m_storeFinished.fetch_add(notTrans.size(), std::memory_order_acq_rel);
  // Records a device handed over and that are now lost: a warning, not a debug line.
  if (!notTrans.empty())
    WriteWarning("not-forwarded data: " + std::to_string(notTrans.size()) + " records could not be stored: more than " +
                 std::to_string(kQueueLimit) + " waited for the database");
  WriteDebugLine("[MSG]", "Tcp Recv:%d, Tcp Send:%d, Com Send:%d , Com Recv%d\n",
                 static_cast<int>(TcpRecvQueue.Count()), static_cast<int>(TcpSendQueue.Count()),
                 static_cast<int>(ComSendQueue.Count()), static_cast<int>(ComRecvQueue.Count()));
  std::string refused;
  for (std::size_t reason = 0; reason < kRefusalReasons; ++reason) {
    const std::uint64_t count = m_refusals[reason].load(std::memory_order_relaxed);
    if (count == 0) continue;
    refused += std::string(refused.empty() ? "" : ", ") + RefusalReasonName(static_cast<RefusalReason>(reason)) + " " +
               std::to_string(count);
  }
  if (!refused.empty()) WriteDebugLine("[MSG]", "Refused: %s\n", refused.c_str());
}

void CDataCenter::StatisticsThread(CEvent& stop) {
  NameThisThread("statistics");
  while (!stop.Wait(kStatisticsPeriodMs)) {
    RunStatisticsPass();
    Sockora::FlushTrace();
  }
  Sockora::FlushTrace();
}
