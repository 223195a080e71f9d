#pragma once

#include <signal.h>

#include <functional>
#include <initializer_list>
#include <thread>

// Takes process signals on a thread of its own, so that no handler runs at an arbitrary
// point of another thread: the signals are blocked in the constructing thread (and so in
// every thread started after it, which inherits the mask) and taken with sigwait.
// Construct on the main thread before any other thread exists; destroy on the same thread.
class CSignalWatcher {
 public:
  // Called on the watcher's thread for each signal; returning false ends the watching.
  using Handler = std::function<bool(int signal)>;

  CSignalWatcher(std::initializer_list<int> watched, Handler handler);
  ~CSignalWatcher();
  CSignalWatcher(const CSignalWatcher&) = delete;
  CSignalWatcher& operator=(const CSignalWatcher&) = delete;

 private:
  sigset_t m_signals;
  Handler m_handler;
  std::thread m_thread;
};
