#pragma once

#include <memory>

#include "platform/CManualResetEvent.h"

namespace Sockora::Win32 {

// Runs Run() once on a thread of its own. The destructor neither stops nor waits for
// the thread: the owner ends it (usually through a stop event) and waits first. An
// exception out of Run ends the thread with exit code 0 and an "[ERROR]" debug line.
class CThread {
 public:
  CThread();
  virtual ~CThread();
  CThread(const CThread&) = delete;
  CThread& operator=(const CThread&) = delete;

  // Any thread that owns the object, once. A second call throws CException, even after
  // the thread has ended.
  void Start();

  // True once the thread has ended; any thread.
  bool Wait(unsigned timeoutMs);
  void Wait();

  bool Started() const { return m_started; }

  // Set when Run has returned; lets a caller wait for the end while doing other work.
  CEvent& EndedEvent() { return m_state->ended; }

 protected:
  virtual int Run() = 0;

 private:
  // Shared with the running thread so that the end can be signalled even if the
  // object is destroyed by a waiter the moment it sees that signal.
  struct State {
    CManualResetEvent ended;
    int exitCode = 0;
  };

  std::shared_ptr<State> m_state;
  bool m_started = false;
};

}  // namespace Sockora::Win32
