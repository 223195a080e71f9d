#include "platform/CEvent.h"

#include <algorithm>
#include <chrono>

namespace Sockora::Win32 {

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point DeadlineAfter(unsigned timeoutMs) {
  if (timeoutMs == INFINITE) return Clock::time_point::max();
  return Clock::now() + std::chrono::milliseconds(timeoutMs);
}

// wait_until with time_point::max() overflows inside libstdc++; wait plainly instead.
template <typename Lock, typename Pred>
bool WaitUntil(std::condition_variable& cv, Lock& lock, Clock::time_point deadline, Pred pred) {
  if (deadline == Clock::time_point::max()) {
    cv.wait(lock, pred);
    return true;
  }
  return cv.wait_until(lock, deadline, pred);
}

}  // namespace

// The wake-up goes out after the waiter's mutex is left, so that the woken thread does
// not at once block on it again. The waiter stays alive meanwhile: it unregisters under
// the event's mutex, which the caller (Set) holds.
void CEventWaiter::Fire() {
  {
    std::lock_guard lock(mutex);
    fired = true;
    ++fires;
  }
  cv.notify_all();
}

CEvent::CEvent(bool manualReset, bool initialState)
    : m_manualReset(manualReset), m_signalled(initialState) {}

CEvent::~CEvent() = default;

void CEvent::Set() {
  std::lock_guard lock(m_mutex);
  m_signalled = true;
  if (m_manualReset)
    m_cv.notify_all();
  else
    m_cv.notify_one();
  // Waiters unregister under m_mutex, so each pointer is alive while we hold it.
  for (CEventWaiter* waiter : m_waiters) waiter->Fire();
}

void CEvent::Reset() {
  std::lock_guard lock(m_mutex);
  m_signalled = false;
}

bool CEvent::Wait(unsigned timeoutMs) {
  std::unique_lock lock(m_mutex);
  if (!WaitUntil(m_cv, lock, DeadlineAfter(timeoutMs), [this] { return m_signalled; }))
    return false;
  if (!m_manualReset) m_signalled = false;
  return true;
}

bool CEvent::TryConsume() {
  std::lock_guard lock(m_mutex);
  if (!m_signalled) return false;
  if (!m_manualReset) m_signalled = false;
  return true;
}

void CEvent::Register(CEventWaiter& waiter) {
  std::lock_guard lock(m_mutex);
  m_waiters.push_back(&waiter);
}

void CEvent::Unregister(CEventWaiter& waiter) {
  std::lock_guard lock(m_mutex);
  m_waiters.erase(std::remove(m_waiters.begin(), m_waiters.end(), &waiter), m_waiters.end());
}

int CEvent::WaitAny(CEvent& first, CEvent& second, unsigned timeoutMs) {
  const Clock::time_point deadline = DeadlineAfter(timeoutMs);
  CEventWaiter waiter;
  first.Register(waiter);
  second.Register(waiter);
  int result = -1;
  for (;;) {
    if (first.TryConsume()) {
      result = 0;
      break;
    }
    if (second.TryConsume()) {
      result = 1;
      break;
    }
    std::unique_lock lock(waiter.mutex);
    // A Set between TryConsume and here has already fired the waiter: no wake-up is lost.
    if (!WaitUntil(waiter.cv, lock, deadline, [&] { return waiter.fired; })) break;
    waiter.fired = false;
  }
  second.Unregister(waiter);
  first.Unregister(waiter);
  return result;
}

}  // namespace Sockora::Win32
