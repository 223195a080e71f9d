#include "core/CDeviceEventQueue.h"

#include <utility>

#include "model/LocalTimeText.h"

bool CDeviceEventQueue::Push(DeviceEvent event) {
  if (event.Time.empty()) event.Time = LocalTimeText();
  bool wasEmpty = false;
  {
    std::lock_guard lock(m_mutex);
    if (m_events.size() >= m_capacity) {
      ++m_dropped;
      return false;
    }
    wasEmpty = m_events.empty();
    m_events.push_back(std::move(event));
  }
  if (wasEmpty) m_wake.Set();
  return true;
}

void CDeviceEventQueue::Take(std::vector<DeviceEvent>& into, std::size_t most) {
  std::lock_guard lock(m_mutex);
  for (; most > 0 && !m_events.empty(); --most) {
    into.push_back(std::move(m_events.front()));
    m_events.pop_front();
  }
}

std::uint64_t CDeviceEventQueue::TakeDropped() {
  std::lock_guard lock(m_mutex);
  return std::exchange(m_dropped, 0);
}

std::size_t CDeviceEventQueue::Count() {
  std::lock_guard lock(m_mutex);
  return m_events.size();
}
