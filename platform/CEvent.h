#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace Sockora::Win32 {

constexpr unsigned INFINITE = 0xFFFFFFFFu;

// Something that sleeps on several events at once: an event fires every registered
// waiter when it is set. The waiter's own mutex guards `fired`.
struct CEventWaiter {
  std::mutex mutex;
  std::condition_variable cv;
  bool fired = false;
  // Every Fire counts here too, for waiters that share this one and so cannot clear
  // `fired` without taking another's wake-up.
  std::uint64_t fires = 0;

  void Fire();
};

// An event as the framework knows it: manual reset (stays set until Reset) or auto
// reset (one successful wait consumes the signal). Any thread may call any operation.
class CEvent {
 public:
  CEvent(bool manualReset, bool initialState);
  virtual ~CEvent();
  CEvent(const CEvent&) = delete;
  CEvent& operator=(const CEvent&) = delete;

  void Set();
  void Reset();

  // True if the event is (or becomes) signalled within timeoutMs; INFINITE waits for ever.
  bool Wait(unsigned timeoutMs);

  // Takes the signal if the event is signalled now, without waiting.
  bool TryConsume();

  // Waits for either event; the first listed wins when both are signalled.
  // Returns 0 or 1 for the event that ended the wait, -1 on timeout.
  static int WaitAny(CEvent& first, CEvent& second, unsigned timeoutMs);

  // While registered, every Set fires the waiter (used by waits that also watch a queue).
  void Register(CEventWaiter& waiter);
  void Unregister(CEventWaiter& waiter);

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  const bool m_manualReset;
  bool m_signalled;
  std::vector<CEventWaiter*> m_waiters;
};

}  // namespace Sockora::Win32
