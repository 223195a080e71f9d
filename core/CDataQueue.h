#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/CAutoResetEvent.h"

// A first-in-first-out queue of fixed-size records stored by value, with a published
// count that pollers read without the lock, and an event set on every Push so that a
// consumer sleeps until a record arrives. Any thread may call any operation; one
// consumer waits on Arrived().
template <typename Record>
class CDataQueue {
 public:
  void Push(const Record& record) {
    {
      std::lock_guard lock(m_mutex);
      m_records.push_back(record);
      m_count.store(m_records.size(), std::memory_order_release);
    }
    m_arrived.Set();
  }

  // Copies the front record out and removes it; false on an empty queue.
  bool Pop(Record& out) {
    std::lock_guard lock(m_mutex);
    if (m_records.empty()) return false;
    out = m_records.front();
    m_records.pop_front();
    m_count.store(m_records.size(), std::memory_order_release);
    return true;
  }

  // Returns how many records went.
  std::size_t Clear() {
    std::lock_guard lock(m_mutex);
    const std::size_t cleared = m_records.size();
    m_records.clear();
    m_count.store(0, std::memory_order_release);
    return cleared;
  }

  // Takes the oldest records out until at most `limit` remain; returns them, oldest first.
  std::vector<Record> TrimTo(std::size_t limit) {
    std::vector<Record> taken;
    std::lock_guard lock(m_mutex);
    while (m_records.size() > limit) {
      taken.push_back(std::move(m_records.front()));
      m_records.pop_front();
    }
    m_count.store(m_records.size(), std::memory_order_release);
    return taken;
  }

  // Empties the queue; returns what it held, oldest first.
  std::vector<Record> TakeAll() { return TrimTo(0); }

  std::size_t Count() const { return m_count.load(std::memory_order_acquire); }

  Sockora::Win32::CEvent& Arrived() { return m_arrived; }

  // The single consumer's wait: true once a record is queued, false when `stop` is set
  // while the queue is empty. The stop event is looked at only on an empty queue, so a
  // consumer drains the queue before it ends.
  bool WaitForRecord(Sockora::Win32::CEvent& stop) {
    while (Count() == 0) {
      if (Sockora::Win32::CEvent::WaitAny(stop, m_arrived, Sockora::Win32::INFINITE) != 0) continue;
      if (Count() == 0) return false;
      // The stop was taken while a record arrived: it is kept for the look that finds the
      // queue empty, or the consumer would wait for ever once it has drained the queue.
      stop.Set();
    }
    return true;
  }

 private:
  std::mutex m_mutex;
  std::deque<Record> m_records;
  std::atomic<std::size_t> m_count{0};
  Sockora::Win32::CAutoResetEvent m_arrived;
};
