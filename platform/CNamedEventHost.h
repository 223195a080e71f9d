#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/CEvent.h"

// Events that another process can set by name. They are keyed by the application
// directory: two instances with different application directories never see each
// other's signals, and only one instance per directory can host them. The socket lives in
// a folder of the application directory that only the instance's user can enter
// (".vantrel-events", mode 0700, locked while the instance runs), so no other local user
// can take its place or reach it.
// Construct, Listen, Add and destroy on one thread; the events are set on the host's
// listener thread.
class CNamedEventHost {
 public:
  explicit CNamedEventHost(std::string applicationDirectory);
  ~CNamedEventHost();
  CNamedEventHost(const CNamedEventHost&) = delete;
  CNamedEventHost& operator=(const CNamedEventHost&) = delete;

  // Starts answering signals. False, with the reason in `error`, when another instance
  // already hosts this directory, the folder belongs to another user (possible only where
  // other users may write in the application directory) or the socket cannot be set up.
  bool Listen(std::string& error);

  // `event` is set whenever `name` is signalled; it must outlive the host.
  void Add(const std::string& name, Sockora::Win32::CEvent& event);

  // From any process of the same user (or root): sets `name` in the instance hosting
  // `applicationDirectory`. Returns 0 when set, 1 when no instance runs there, it cannot
  // be reached or it belongs to another user (named), 2 when the instance does not know
  // the name; `error` says why when not 0.
  static int Signal(const std::string& applicationDirectory, const std::string& name, std::string& error);

 private:
  void Serve();
  void Answer(int connection);

  const std::string m_applicationDirectory;
  int m_folder = -1;  // the private folder, locked while this instance hosts the directory
  bool m_locked = false;
  int m_listener = -1;
  int m_wake = -1;  // eventfd: ends the listener thread
  std::thread m_thread;
  std::mutex m_mutex;  // guards m_events
  std::map<std::string, Sockora::Win32::CEvent*> m_events;
};
