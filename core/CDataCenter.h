#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "core/CDataQueue.h"
#include "model/DataItem.h"
#include "model/DeviceTraffic.h"
#include "model/NotTransRecord.h"
#include "platform/CStoppableThread.h"
#include "platform/Messages.h"

// The hub of device traffic: five queues, the threads that move records between them,
// per-device byte counters and the two online counters. One per process, created on
// first use; its threads run until the process ends.
class CDataCenter {
 public:
  static CDataCenter& Instance();
  ~CDataCenter();

  // Device -> COM port: the link handler pushes, DispatchThread pops.
  CDataQueue<DataItem> TcpRecvQueue;
  // COM port -> device: ComRecvThread pushes, the link handler's sending thread pops.
  CDataQueue<DataItem> TcpSendQueue;
  // DispatchThread pushes, the serial side's ComSendThread pops.
  CDataQueue<DataItem> ComSendQueue;
  // The serial side's ReadPort pushes, ComRecvThread pops.
  CDataQueue<DataItem> ComRecvQueue;
  // Records that could not be written to their port, waiting for the database.
  CDataQueue<NotTransRecord> NotTransQueue;

  // User-interface thread, at service start and stop: empties the four traffic queues
  // (NotTransQueue keeps what was handed over for storage), the counters and traffic.
  void ResetServiceState();

  // Stamps the record with the current local time and queues it for NotTransWriterThread,
  // which writes it to NotTransData. User-interface thread (any thread is safe).
  void StoreNotTransData(DataItem item);

  // Any thread.
  DeviceTraffic GetDeviceTraffic(const std::string& deviceId);
  void AddDeviceTraffic(const std::string& deviceId, std::uint64_t bytesIn, std::uint64_t bytesOut);

  // The device list's target, told about device events with WM_DEVICE_EVENT. Any thread.
  void SetNotifyWindow(TargetHandle window);

  // Registered connections now open, and those of them whose device is configured.
  // Changed by DispatchThread only; read anywhere without a lock.
  std::int64_t OnlineCount() const { return m_onlineCount.load(std::memory_order_relaxed); }
  std::int64_t MatchedOnlineCount() const { return m_matchedOnlineCount.load(std::memory_order_relaxed); }

  // One pass of the statistics thread: trims every queue to 5000 records and writes the
  // queue-length line. Public so that a test can run a pass without waiting a second.
  void RunStatisticsPass();

 private:
  CDataCenter();
  CDataCenter(const CDataCenter&) = delete;
  CDataCenter& operator=(const CDataCenter&) = delete;

  void DispatchThread(Sockora::Win32::CEvent& stop);
  void ComRecvThread(Sockora::Win32::CEvent& stop);
  void NotTransWriterThread(Sockora::Win32::CEvent& stop);
  void StatisticsThread(Sockora::Win32::CEvent& stop);
  void Dispatch(const DataItem& item);

  std::mutex m_trafficMutex;
  std::map<std::string, DeviceTraffic> m_traffic;
  std::atomic<std::int64_t> m_onlineCount{0};
  std::atomic<std::int64_t> m_matchedOnlineCount{0};
  std::atomic<TargetHandle> m_notifyWindow{0};

  std::unique_ptr<Sockora::Win32::CStoppableThread> m_dispatchThread;
  std::unique_ptr<Sockora::Win32::CStoppableThread> m_comRecvThread;
  // Woken by NotTransQueue's Arrived event, one signal per stored record.
  std::unique_ptr<Sockora::Win32::CStoppableThread> m_notTransWriterThread;
  std::unique_ptr<Sockora::Win32::CStoppableThread> m_statisticsThread;
};
