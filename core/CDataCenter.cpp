#include "core/CDataCenter.h"

#include <algorithm>
#include <cstring>
#include <ctime>

#include "core/CNotTransWriter.h"
#include "core/CTunnelTable.h"
#include "model/LocalTimeText.h"
#include "protocol/ProtEscape.h"
#include "model/SettingInfo.h"
#include "model/WindowMessages.h"
#include "platform/WriteDebugLine.h"
#include "platform/CMessageTarget.h"

using Sockora::Win32::CEvent;
using Sockora::Win32::CStoppableThread;

namespace {

constexpr std::size_t kQueueLimit = 5000;
constexpr unsigned kStatisticsPeriodMs = 1000;

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

CDataCenter::~CDataCenter() {
  m_dispatchThread->StopAndWait();
  m_comRecvThread->StopAndWait();
  m_notTransWriterThread->StopAndWait();
  m_statisticsThread->StopAndWait();
  std::lock_guard lock(m_trafficMutex);
  m_traffic.clear();
}

void CDataCenter::ResetServiceState() {
  TcpRecvQueue.Clear();
  TcpSendQueue.Clear();
  ComSendQueue.Clear();
  ComRecvQueue.Clear();
  {
    std::lock_guard lock(m_trafficMutex);
    m_traffic.clear();
  }
  m_onlineCount = 0;
  m_matchedOnlineCount = 0;
}

DeviceTraffic CDataCenter::GetDeviceTraffic(const std::string& deviceId) {
  std::lock_guard lock(m_trafficMutex);
  auto it = m_traffic.find(deviceId);
  return it == m_traffic.end() ? DeviceTraffic{} : it->second;
}

void CDataCenter::AddDeviceTraffic(const std::string& deviceId, std::uint64_t bytesIn, std::uint64_t bytesOut) {
  std::lock_guard lock(m_trafficMutex);
  DeviceTraffic& traffic = m_traffic[deviceId];
  traffic.BytesIn += bytesIn;
  traffic.BytesOut += bytesOut;
}

void CDataCenter::SetNotifyWindow(TargetHandle window) { m_notifyWindow = window; }

void CDataCenter::DispatchThread(CEvent& stop) {
  // One 10 KB record reused for every pop.
  auto item = std::make_unique<DataItem>();
  while (TcpRecvQueue.WaitForRecord(stop)) {
    if (TcpRecvQueue.Pop(*item)) Dispatch(*item);
  }
}

void CDataCenter::Dispatch(const DataItem& item) {
  const std::string deviceId = DeviceIdOf(item);
  const bool configured = CTunnelTable::Instance().Contains(deviceId);
  const LPARAM itemParam = reinterpret_cast<LPARAM>(&item);

  if (item.Kind == DATA_REGISTER || item.Kind == DATA_OFFLINE) {
    const int delta = item.Kind == DATA_REGISTER ? 1 : -1;
    m_onlineCount += delta;
    if (configured) m_matchedOnlineCount += delta;
    CMessageTarget::Send(m_notifyWindow, WM_DEVICE_EVENT, 0, itemParam);
    return;
  }

  const SettingInfo settings = CurrentSettings();
  if (settings.FilterHearbeat && item.Kind == DATA_HEARTBEAT) return;

  DataItem forward{};
  SetDeviceId(forward, deviceId);
  forward.Kind = item.Kind;
  const int length = item.Length < 0 ? 0 : std::min(item.Length, DATA_ITEM_PAYLOAD);
  if (settings.Escape) {
    forward.Length = ProtUnescape(item.Data, length, forward.Data);
  } else {
    std::memcpy(forward.Data, item.Data, static_cast<std::size_t>(length));
    forward.Length = length;
  }
  ComSendQueue.Push(forward);
  AddDeviceTraffic(deviceId, static_cast<std::uint64_t>(length), 0);
  if (configured) CMessageTarget::Send(m_notifyWindow, WM_DEVICE_EVENT, 0, itemParam);
}

void CDataCenter::ComRecvThread(CEvent& stop) {
  auto item = std::make_unique<DataItem>();
  auto escaped = std::make_unique<DataItem>();
  while (ComRecvQueue.WaitForRecord(stop)) {
    if (!ComRecvQueue.Pop(*item)) continue;
    std::memset(escaped.get(), 0, sizeof *escaped);
    std::memcpy(escaped->DeviceId, item->DeviceId, sizeof escaped->DeviceId);
    escaped->DeviceId[sizeof escaped->DeviceId - 1] = '\0';
    escaped->Kind = item->Kind;
    // Serial records carry at most 5120 bytes, so the escaped form (at most twice as
    // long) fits; clamp anyway so a bad record cannot overrun the payload.
    const int length = std::clamp(item->Length, 0, DATA_ITEM_PAYLOAD / 2);
    if (CurrentSettings().Escape) {
      escaped->Length = ProtEscape(item->Data, length, escaped->Data);
    } else {
      std::memcpy(escaped->Data, item->Data, static_cast<std::size_t>(length));
      escaped->Length = length;
    }
    TcpSendQueue.Push(*escaped);
  }
}

void CDataCenter::StoreNotTransData(DataItem item) {
  NotTransRecord record{};
  const std::string now = LocalTimeText();
  now.copy(record.ReceiveTime, sizeof record.ReceiveTime - 1);
  record.Item = item;
  NotTransQueue.Push(record);
}

void CDataCenter::NotTransWriterThread(CEvent& stop) {
  CNotTransWriter writer(NotTransQueue, stop, DATABASE_FILE_NAME);
  writer.Run();
}

void CDataCenter::RunStatisticsPass() {
  TcpRecvQueue.TrimTo(kQueueLimit);
  TcpSendQueue.TrimTo(kQueueLimit);
  ComRecvQueue.TrimTo(kQueueLimit);
  ComSendQueue.TrimTo(kQueueLimit);
  NotTransQueue.TrimTo(kQueueLimit);
  WriteDebugLine("[MSG]", "Tcp Recv:%d, Tcp Send:%d, Com Send:%d , Com Recv%d\n",
                 static_cast<int>(TcpRecvQueue.Count()), static_cast<int>(TcpSendQueue.Count()),
                 static_cast<int>(ComSendQueue.Count()), static_cast<int>(ComRecvQueue.Count()));
}

void CDataCenter::StatisticsThread(CEvent& stop) {
  while (!stop.Wait(kStatisticsPeriodMs)) RunStatisticsPass();
}
