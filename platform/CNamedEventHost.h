#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/CEvent.h"

// Events that another process can set by name. They are keyed by the application
// directory: two instances with different application directories never see each
// other's signals, and only one instance per directory can host them.
// Construct, Listen, Add and destroy on one thread; the events are set on the host's
// listener thread.
class CNamedEventHost {
 public:
  explicit CNamedEventHost(std::string applicationDirectory);
  ~CNamedEventHost();
  CNamedEventHost(const CNamedEventHost&) = delete;
  CNamedEventHost& operator=(const CNamedEventHost&) = delete;

  // Starts answering signals. False, with the reason in `error`, when another instance
  // already hosts this directory or the socket cannot be set up.
  bool Listen(std::string& error);

  // `event` is set whenever `name` is signalled; it must outlive the host.
  void Add(const std::string& name, Sockora::Win32::CEvent& event);

  // From any process of the same user: sets `name` in the instance hosting
  // `applicationDirectory`. Returns 0 when set, 1 when no instance runs there, 2 when the
  // instance does not know the name; `error` says why when not 0.
  static int Signal(const std::string& applicationDirectory, const std::string& name, std::string& error);

 private:
  void Serve();
  void Answer(int connection);

  const std::string m_applicationDirectory;
  int m_listener = -1;
  int m_wake = -1;  // eventfd: ends the listener thread
  std::thread m_thread;
  std::mutex m_mutex;  // guards m_events
  std::map<std::string, Sockora::Win32::CEvent*> m_events;
};
