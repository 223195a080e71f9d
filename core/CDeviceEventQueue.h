#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "model/DeviceEvent.h"
#include "platform/CEvent.h"

// The device history's way to the database: a bounded queue in front of the thread that
// writes it. Whoever sees an event pushes it (the user-interface thread, the link
// handler's threads); a push never waits for the database. What does not fit is counted
// for the writer to tell. Any thread.
class CDeviceEventQueue {
 public:
  static constexpr std::size_t kDefaultCapacity = 10000;

  // `wake` is set when an event arrives in the empty queue: the writer's wake-up.
  explicit CDeviceEventQueue(Sockora::Win32::CEvent& wake, std::size_t capacity = kDefaultCapacity)
      : m_wake(wake), m_capacity(capacity) {}

  // Stamps an event without a time with the local time now. False (and counted) when full.
  bool Push(DeviceEvent event);
  // Moves up to `most` events, oldest first, behind those in `into`.
  void Take(std::vector<DeviceEvent>& into, std::size_t most);
  // The events refused since the last call.
  std::uint64_t TakeDropped();
  std::size_t Count();

 private:
  Sockora::Win32::CEvent& m_wake;
  const std::size_t m_capacity;
  std::mutex m_mutex;
  std::deque<DeviceEvent> m_events;
  std::uint64_t m_dropped = 0;
};
