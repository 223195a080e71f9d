#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "model/ServiceSnapshot.h"
#include "platform/CMessageTarget.h"

class CDeviceList;
class CNamedEventHost;
class CSerialInterface;

// What the service host knows beyond its device list for a snapshot (state, listeners,
// when devices connected, since when ports fail), and the snapshot
// itself: taken on the user-interface thread, which owns the device list, and handed to
// other threads through a message with a bounded wait.
//
// Construct and destroy on the user-interface thread; each method says where else it may
// be called.
class CServiceStatus {
 public:
  // The request that `vantreld status` makes; its reply is EncodeSnapshot's text.
  static constexpr const char* kRequestName = "status";
  // How long a snapshot asked from another thread is waited for.
  static constexpr unsigned kWaitMs = 5000;

  CServiceStatus(CDeviceList& devices, CSerialInterface& serial);
  CServiceStatus(const CServiceStatus&) = delete;
  CServiceStatus& operator=(const CServiceStatus&) = delete;

  // The service's state and where it listens (empty when stopped), from now on. Any thread.
  void SetState(ServiceSnapshot::State state, std::vector<ServiceSnapshot::Listener> listeners);

  // Fed from the host's messages. User-interface thread.
  // A device event's ID and kind (DATA_REGISTER, ...).
  void OnDeviceEvent(const std::string& deviceId, int kind);
  void OnPortOpened(const std::string& portName, bool opened);
  // The service stopped: forgets the devices' and ports' times.
  void Clear();

  // User-interface thread.
  ServiceSnapshot Snapshot() const;
  // Any thread: the snapshot taken on the user-interface thread, waiting at most
  // `timeoutMs`; nothing when the host is gone or does not answer in time.
  std::optional<ServiceSnapshot> SnapshotFromAnyThread(unsigned timeoutMs = kWaitMs) const {
    return Take(m_target.Handle(), timeoutMs);
  }
  // Lets `vantreld status` ask for it; the handler outlives this object harmlessly (it
  // then answers that the service is gone).
  void RegisterRequest(CNamedEventHost& host) const;

 private:
  static std::optional<ServiceSnapshot> Take(TargetHandle target, unsigned timeoutMs);

  CDeviceList& m_devices;
  CSerialInterface& m_serial;
  CMessageTarget m_target;

  mutable std::mutex m_stateMutex;  // guards the three below; a leaf
  ServiceSnapshot::State m_state = ServiceSnapshot::State::Stopped;
  std::optional<ServiceSnapshot::Time> m_since;
  std::vector<ServiceSnapshot::Listener> m_listeners;

  std::map<std::string, ServiceSnapshot::Time> m_connectedSince;
  std::map<std::string, ServiceSnapshot::Time> m_portFailedSince;
};
