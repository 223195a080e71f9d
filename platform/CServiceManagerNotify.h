#pragma once

#include <chrono>
#include <optional>
#include <string>

// The service manager's notification socket (NOTIFY_SOCKET, as systemd sets it for a unit
// of Type=notify), written directly: one datagram per message, on a path or an abstract
// name ("@name"). Without NOTIFY_SOCKET nothing is sent. Any thread.
class CServiceManagerNotify {
 public:
  // Reads the environment once: NOTIFY_SOCKET, and WATCHDOG_USEC where WATCHDOG_PID (when
  // set) names this process.
  CServiceManagerNotify();

  bool Enabled() const { return !m_socketName.empty(); }
  // How often the manager wants WATCHDOG=1 at the latest; nothing when it does not.
  std::optional<std::chrono::microseconds> WatchdogTimeout() const { return m_watchdog; }

  // Sends `message` ("READY=1", "STATUS=...", "WATCHDOG=1", several lines for several);
  // false with the reason in `error` when it cannot, true when disabled.
  bool Notify(const std::string& message, std::string& error) const;

 private:
  std::string m_socketName;
  std::optional<std::chrono::microseconds> m_watchdog;
};
