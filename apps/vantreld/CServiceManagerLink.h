#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "model/ServiceSnapshot.h"
#include "platform/CServiceManagerNotify.h"
#include "platform/CStoppableThread.h"

class CServiceStatus;

// Keeps a service manager that started vantreld as Type=notify informed: READY=1 once the
// listeners are open, STATUS= with the counts every few seconds, and WATCHDOG=1 only while
// the service's own threads make progress: the user-interface thread answers a snapshot,
// and neither the dispatch, COM receive, COM send nor TCP send thread has been at one
// record for long (a thread asleep on its empty queue is well). A thread of its own does
// the rounds; without NOTIFY_SOCKET there is none.
// Construct, call and destroy on the user-interface thread.
class CServiceManagerLink {
 public:
  explicit CServiceManagerLink(CServiceStatus& status);
  // Says STOPPING=1 and ends the thread, handling messages meanwhile.
  ~CServiceManagerLink();
  CServiceManagerLink(const CServiceManagerLink&) = delete;
  CServiceManagerLink& operator=(const CServiceManagerLink&) = delete;

  // The listeners are open; said once.
  void Ready();

  // The manager's line for a snapshot: "running; 3 configured, 2 connected, ...". Any thread.
  static std::string StatusText(const ServiceSnapshot& snapshot);

 private:
  void Rounds(Sockora::Win32::CEvent& stop);
  // What keeps the watchdog from being pinged now; empty when nothing does.
  std::string Trouble(bool answered) const;
  void Send(const std::string& message);

  CServiceStatus& m_status;
  const CServiceManagerNotify m_notify;
  // Between rounds, and how long a thread may be at one record before it counts as stuck.
  std::chrono::milliseconds m_period{2000};
  std::chrono::milliseconds m_stuckAfter{10000};
  bool m_ready = false;
  std::atomic<bool> m_sendFailed{false};  // said once
  std::unique_ptr<Sockora::Win32::CStoppableThread> m_thread;
};
