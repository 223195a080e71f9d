#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/CEvent.h"
#include "platform/CManualResetEvent.h"

// Events that another process can set by name. They are keyed by the application
// directory: two instances with different application directories never see each
// other's signals, and only one instance per directory can host them. The socket lives in
// a folder of the application directory that only the instance's user can enter
// (".vantrel-events", mode 0700, locked while the instance runs), so no other local user
// can take its place or reach it.
// Besides events it answers requests: a client names a request (with an optional
// argument) and gets back a text and an exit code, which the handler registered under that
// name makes on the host's listener thread, one request at a time.
// Construct, Listen, Add, AddRequest, Remove and destroy on one thread; the events are set
// and the handlers called on the host's listener thread.
class CNamedEventHost {
 public:
  struct Reply {
    int ExitCode = 0;
    std::string Text;
  };
  // Called on the listener thread with the request's argument (empty when none was given).
  // It holds up every later signal and request while it runs, so it waits for nothing
  // without a bound.
  using RequestHandler = std::function<Reply(const std::string& argument)>;

  // Bounds of what a request may carry: its name, and its argument.
  static constexpr std::size_t kMaxNameBytes = 256;
  static constexpr std::size_t kMaxArgumentBytes = 4096;

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
  // `handler` answers the request `name` (replacing an earlier one of that name).
  void AddRequest(const std::string& name, RequestHandler handler);
  // Forgets the event or request `name`. Returns once no call of its handler is in
  // progress, handling the messages sent and reported to this thread meanwhile, so that a
  // handler waiting for this thread can finish.
  void Remove(const std::string& name);

  // From any process of the same user (or root): sets `name` in the instance hosting
  // `applicationDirectory`. Returns 0 when set, 1 when no instance runs there, it cannot
  // be reached or it belongs to another user (named), 2 when the instance does not know
  // the name; `error` says why when not 0.
  static int Signal(const std::string& applicationDirectory, const std::string& name, std::string& error);
  // From any process of the same user (or root): asks the instance hosting
  // `applicationDirectory` for `name`, waiting up to `timeoutMs` for the reply. Returns 0
  // with `reply` filled; 1 when the instance cannot be reached, belongs to another user or
  // does not answer in time; 2 when it does not know the request; 3 when no instance runs
  // there. `error` says why when not 0. Any thread.
  static int Request(const std::string& applicationDirectory, const std::string& name, const std::string& argument,
                     Reply& reply, std::string& error, unsigned timeoutMs = 10000);

 private:
  // Sends `message` to the instance and reads its whole answer (at least one byte). 0; or,
  // with `error` set, 3 when no instance runs there, else 1 (it cannot be reached, refuses
  // this user or does not answer).
  static int Exchange(const std::string& applicationDirectory, const std::string& message, unsigned timeoutMs,
                      std::string& answer, std::string& error);
  void Serve();
  void Answer(int connection);
  // The reply to a request, or nothing when nobody answers `name`.
  std::optional<Reply> Call(const std::string& name, const std::string& argument);

  const std::string m_applicationDirectory;
  int m_folder = -1;  // the private folder, locked while this instance hosts the directory
  bool m_locked = false;
  int m_listener = -1;
  int m_wake = -1;  // eventfd: ends the listener thread
  std::thread m_thread;
  Sockora::Win32::CManualResetEvent m_served;  // the listener thread has ended
  std::mutex m_mutex;  // guards m_events, m_requests, m_calling
  std::map<std::string, Sockora::Win32::CEvent*> m_events;
  std::map<std::string, std::shared_ptr<const RequestHandler>> m_requests;
  std::string m_calling;  // the request whose handler runs now; empty when none
  Sockora::Win32::CManualResetEvent m_callEnded{true};
};
