#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/CDataQueue.h"
#include "core/CDeviceEventQueue.h"
#include "core/CNotTransWriter.h"
#include "core/RefusalReason.h"
#include "model/DataItem.h"
#include "model/DeviceTraffic.h"
#include "model/ForwardingCounters.h"
#include "model/NotTransRecord.h"
#include "platform/CStoppableThread.h"
#include "platform/Messages.h"

// The hub of device traffic: five queues, the threads that move records between them,
// per-device byte counters and the two online counters. One per process, created on
// first use; its threads run until Shutdown.
//
// Flow control: every unit a device sends is in flight from the moment the link handler
// queues it until its final disposition (written to its port, written or given up by the
// not-forwarded store, dropped by rule). A device with too many units in flight is held:
// the link handler stops reading its socket, and the drain listeners are told once the
// device is down to the low-water mark again.
class CDataCenter {
 public:
  // Units in flight at which a device is held, and to which it must drain to go on.
  static constexpr std::size_t kHighWater = 16;
  static constexpr std::size_t kLowWater = 4;
  static CDataCenter& Instance();
  // Stops the threads unless Shutdown already did.
  ~CDataCenter();

  // The owner of the process, before it ends: stops the threads, the not-forwarded
  // writer after one last attempt to store what is queued. A static destructor is too
  // late for this (other statics the threads use may be gone). Repeating it does nothing;
  // the queues stay usable but nothing moves them any more. Any thread but these.
  void Shutdown();

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
  // The device history on its way to the database; written by the same thread, which
  // NotTransQueue's Arrived event wakes for both.
  CDeviceEventQueue DeviceEvents{NotTransQueue.Arrived()};

  // User-interface thread, at service start and stop: empties the four traffic queues
  // (NotTransQueue keeps what was handed over for storage), the counters and traffic.
  void ResetServiceState();

  // Stamps the record with the current local time and queues it for NotTransWriterThread,
  // which writes it to NotTransData; the stored copy is in flight until then. User-interface
  // thread (any thread is safe).
  void StoreNotTransData(DataItem item);
  // Records handed to the not-forwarded store so far, and how many of them it has done
  // with (written, counted at its limit, rejected or trimmed). The store takes records in
  // order: once StoreFinished() reaches a figure StoreHandedOver() gave, everything handed
  // over until then is in the file or given up. Any thread.
  std::uint64_t StoreHandedOver() const { return m_storeHandedOver.load(std::memory_order_acquire); }
  std::uint64_t StoreFinished() const { return m_storeFinished.load(std::memory_order_acquire); }
  // Rows were removed from NotTransData by another connection of this process: the
  // not-forwarded writer reads the stored size again (it may store again when full). Any
  // thread.
  void StoredRowsRemoved();
  // Device data that never reached its port (trimmed, reset, left at a stop): the records
  // of configured devices go to the not-forwarded store as a failed write's would, the
  // rest is dropped; each record's flight ends and a diagnostic line says how many went
  // where. Any thread.
  void StoreUnwritten(const std::vector<DataItem>& records, const char* where);

  // Flow control, any thread. CountInFlight before a device's unit is queued;
  // FinishInFlight at its final disposition (never below zero: records made elsewhere
  // were not counted).
  void CountInFlight(const std::string& deviceId);
  void FinishInFlight(const std::string& deviceId);
  // True when the device has kHighWater units or more in flight: it is then held, and
  // the drain listeners are called with its ID once it is down to kLowWater.
  bool HoldWhileBacklogged(const std::string& deviceId);
  std::size_t InFlight(const std::string& deviceId);
  // Adds (or, with an empty function, removes) the listener of `owner`. Listeners are
  // called on the thread that ended a flight, with no lock of this class held; removing
  // one waits until no call of it is in progress, so it must not be done from a listener.
  void SetDrainListener(const void* owner, std::function<void(const std::string&)> listener);

  // Any thread. Called once for each record forwarded: with bytesIn for one on its way to
  // a port, with bytesOut for one written to a device; a record counts in the direction
  // whose bytes it adds.
  DeviceTraffic GetDeviceTraffic(const std::string& deviceId);
  void AddDeviceTraffic(const std::string& deviceId, std::uint64_t bytesIn, std::uint64_t bytesOut);

  // The process-wide counts, read without a lock (each figure on its own). Any thread.
  ForwardingCounters Counters() const;

  // The device list's target, told about device events with WM_DEVICE_EVENT (lParam: a
  // ReportedItem, posted as a report). Any thread.
  void SetNotifyWindow(TargetHandle window);

  // Whether reports of forwarded data (user data and heartbeats received, records written
  // to a port, records sent to a device) carry the record's bytes, or only its device ID
  // and kind. On by default; the device list turns it off while no monitor shows the bytes:
  // copying every record for nobody churned megabytes a second through the allocator.
  // Registration, offline and failure reports always carry their bytes. Any thread.
  void SetReportsCarryData(bool carry) { m_reportsCarryData.store(carry, std::memory_order_relaxed); }
  bool ReportsCarryData() const { return m_reportsCarryData.load(std::memory_order_relaxed); }

  // Registered connections now open, and those of them whose device is configured.
  // Changed by DispatchThread only; read anywhere without a lock.
  std::int64_t OnlineCount() const { return m_onlineCount.load(std::memory_order_relaxed); }
  std::int64_t MatchedOnlineCount() const { return m_matchedOnlineCount.load(std::memory_order_relaxed); }
  // The tunnel table changed under online devices (a reload, a tunnel edit): the matched
  // count is made again from the devices online now. User-interface thread (any thread
  // is safe).
  void RecountMatchedOnline();

  // Refused connections and registrations, by reason, since the process started. Any thread.
  void CountRefusal(RefusalReason reason) { m_refusals[static_cast<std::size_t>(reason)].fetch_add(1, std::memory_order_relaxed); }
  std::uint64_t Refusals(RefusalReason reason) const {
    return m_refusals[static_cast<std::size_t>(reason)].load(std::memory_order_relaxed);
  }

  // One pass of the statistics thread: trims every queue to 5000 records (ComSendQueue's
  // trimmed records go to the not-forwarded store, the others are counted in a diagnostic
  // line) and writes the queue-length line. Public so that a test can run a pass without
  // waiting a second.
  void RunStatisticsPass();

 private:
  CDataCenter();
  CDataCenter(const CDataCenter&) = delete;
  CDataCenter& operator=(const CDataCenter&) = delete;

  void DispatchThread(Sockora::Win32::CEvent& stop);
  void ComRecvThread(Sockora::Win32::CEvent& stop);
  // A block of TcpSendQueue with the record, escaped when the settings say so.
  CDataQueue<DataItem>::Block Escaped(const DataItem& item);
  void NotTransWriterThread(Sockora::Win32::CEvent& stop);
  void StatisticsThread(Sockora::Win32::CEvent& stop);
  void Dispatch(const DataItem& item);
  void ReportDeviceEvent(const DataItem& item);
  void CallDrainListeners(const std::vector<std::string>& deviceIds);

  // Units in flight per device, and whether the device is held.
  struct Flight {
    std::size_t Units = 0;
    bool Held = false;
  };
  std::mutex m_flightMutex;
  std::map<std::string, Flight> m_flights;
  std::mutex m_listenerMutex;
  std::condition_variable m_listenerIdle;
  std::map<const void*, std::function<void(const std::string&)>> m_drainListeners;
  int m_listenerCalls = 0;  // calls in progress, under m_listenerMutex

  std::mutex m_trafficMutex;
  std::map<std::string, DeviceTraffic> m_traffic;
  std::atomic<std::int64_t> m_onlineCount{0};
  std::atomic<std::int64_t> m_matchedOnlineCount{0};
  // The devices online, each with whether it counts as matched; a leaf.
  std::mutex m_onlineMutex;
  std::map<std::string, bool> m_online;
  std::atomic<TargetHandle> m_notifyWindow{0};
  std::atomic<bool> m_reportsCarryData{true};
  std::array<std::atomic<std::uint64_t>, kRefusalReasons> m_refusals{};
  // Process-wide, never reset; see ForwardingCounters.
  std::atomic<std::uint64_t> m_bytesToPort{0}, m_bytesToDevice{0}, m_recordsToPort{0}, m_recordsToDevice{0};
  std::atomic<std::uint64_t> m_registeredConfigured{0}, m_registeredUnconfigured{0};
  CNotTransWriter::Counters m_storeCounters;
  std::atomic<std::uint64_t> m_storeHandedOver{0}, m_storeFinished{0};

  std::mutex m_shutdownMutex;  // serialises Shutdown
  std::unique_ptr<Sockora::Win32::CStoppableThread> m_dispatchThread;
  std::unique_ptr<Sockora::Win32::CStoppableThread> m_comRecvThread;
  // Woken by NotTransQueue's Arrived event, set when a record arrives in the empty queue:
  // the writer sleeps only on an empty queue.
  std::unique_ptr<Sockora::Win32::CStoppableThread> m_notTransWriterThread;
  std::unique_ptr<Sockora::Win32::CStoppableThread> m_statisticsThread;
};
