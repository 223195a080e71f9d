#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "model/DeviceEvent.h"
#include "platform/CChildProcess.h"

// The alarms: runs the program of the setting EventCommand (without a shell) when a
// configured device has been offline for OfflineAlarmSeconds (one back sooner raises
// nothing) and when it is back after that, when a port has failed for a while and when it
// is back after that, and when the not-forwarded store reaches its limit. The program
// finds what happened in its environment: VANTREL_EVENT, VANTREL_DEVICE_ID,
// VANTREL_ADDRESS, VANTREL_PORT, VANTREL_DETAIL, VANTREL_TIME (ISO 8601 with the UTC
// offset). A few run at once, more wait in a bounded queue (what does not fit is dropped
// and told), each is ended after a time limit, and a non-zero exit is told. Both settings
// are read when they matter, so a reload takes effect. Lines go to stderr and the trace log.
//
// A thread of its own ("alarms") starts and watches the programs. Destroying the object
// waits for the programs running (each within its time limit) and drops those waiting.
class CEventAlarms {
 public:
  struct Limits {
    std::chrono::milliseconds PortGrace{60000};  // a port failed this long raises its alarm
    std::size_t MaxRunning = 4;
    std::size_t MaxWaiting = 64;
    std::chrono::milliseconds RunLimit{30000};
  };

  explicit CEventAlarms(Limits limits);
  CEventAlarms() : CEventAlarms(Limits{}) {}
  ~CEventAlarms();
  CEventAlarms(const CEventAlarms&) = delete;
  CEventAlarms& operator=(const CEventAlarms&) = delete;

  // An event of the device history, as it happens. User-interface thread.
  void Observe(const DeviceEvent& event);
  // The service stopped: devices and ports it took down raise nothing. User-interface thread.
  void Forget();

 private:
  using Clock = std::chrono::steady_clock;
  // A device offline or a port failed: its alarm is due at Due, unless it is back first.
  struct Outage {
    Clock::time_point Due;
    bool Raised = false;
    std::time_t Since = 0;
    std::string Address, Port, Detail;
  };
  struct Alarm {
    CChildProcess::Environment Environment;
    std::string What;  // for lines: the event and the device or port
  };
  struct Running {
    std::unique_ptr<CChildProcess> Process;
    Clock::time_point Deadline;
    std::string What;
    bool Killed = false;
  };

  void Thread();
  void Wake();
  // Under m_mutex: queues the alarm unless the command is off; counts it when full.
  void Raise(const std::string& event, const std::string& deviceId, const std::string& address,
             const std::string& port, const std::string& detail, std::time_t when);
  // Under m_mutex: the outages that are due raise their alarm; the earliest still waiting.
  Clock::time_point RaiseDue();
  void StartWaiting();
  void CollectEnded();

  const Limits m_limits;
  int m_wakeFd = -1;
  std::mutex m_mutex;
  bool m_stopping = false;
  std::map<std::string, Outage> m_devices;  // by device ID
  std::map<std::string, Outage> m_ports;    // by port name
  std::deque<Alarm> m_waiting;
  std::uint64_t m_dropped = 0;
  // The alarm thread's own.
  std::vector<Running> m_running;
  std::thread m_thread;
};
