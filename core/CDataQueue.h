#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <type_traits>
#include <vector>

#include "model/DataItem.h"
#include "platform/CAutoResetEvent.h"

// The leading bytes of a record that carry its meaning; a queue copies only these.
template <typename Record>
std::size_t RecordBytes(const Record&) {
  return sizeof(Record);
}

// A first-in-first-out queue of fixed-size records stored by value (only their
// RecordBytes are copied in and out, into blocks that the queue reuses), with a published
// count that pollers read without the lock. A consumer sleeps until a record arrives:
// Push wakes it only when the queue was empty, as a consumer waits only on an empty
// queue. Any thread may call any operation; one consumer takes the records, waiting in
// WaitForRecord or on Arrived().
template <typename Record>
class CDataQueue {
  static_assert(std::is_trivially_copyable_v<Record>, "records are copied as bytes");

 public:
  CDataQueue() { m_arrived.Register(m_wake); }
  ~CDataQueue() { m_arrived.Unregister(m_wake); }
  CDataQueue(const CDataQueue&) = delete;
  CDataQueue& operator=(const CDataQueue&) = delete;

  using Block = std::unique_ptr<Record>;

  void Push(const Record& record) { PushBlock(CopyOf(record)); }

  // Copies the front record out and removes it; false on an empty queue. The bytes of
  // `out` past the record's RecordBytes are left as they were.
  bool Pop(Record& out) {
    Block block = PopBlock();
    if (!block) return false;
    std::memcpy(static_cast<void*>(&out), block.get(), RecordBytes(*block));
    Recycle(std::move(block));
    return true;
  }

  // Blocks handed on without copying: a stage that passes records along pops a block
  // and pushes the same block into the next queue, and the last stage gives it back to
  // the queue it was made for (Recycle), so a 10 KB record is copied once on its way.
  // A block to fill: a spare one of this queue or a new one, its bytes undefined.
  Block NewBlock() {
    {
      std::lock_guard lock(m_spareMutex);
      if (!m_spare.empty()) {
        Block block = std::move(m_spare.back());
        m_spare.pop_back();
        return block;
      }
    }
    return std::make_unique_for_overwrite<Record>();
  }
  // A block holding a copy of the record's RecordBytes.
  Block CopyOf(const Record& record) {
    Block block = NewBlock();
    std::memcpy(static_cast<void*>(block.get()), &record, RecordBytes(record));
    return block;
  }
  void PushBlock(Block block) {
    bool wasEmpty = false;
    {
      std::lock_guard lock(m_mutex);
      wasEmpty = m_records.empty();
      m_records.push_back(std::move(block));
      m_count.store(m_records.size(), std::memory_order_release);
    }
    if (wasEmpty) m_arrived.Set();
  }
  // The blocks in order, with one wake-up at most: a stage that hands on several records
  // at once wakes its consumer once for all of them. Leaves `blocks` empty.
  void PushBlocks(std::vector<Block>& blocks) {
    if (blocks.empty()) return;
    bool wasEmpty = false;
    {
      std::lock_guard lock(m_mutex);
      wasEmpty = m_records.empty();
      for (Block& block : blocks) m_records.push_back(std::move(block));
      m_count.store(m_records.size(), std::memory_order_release);
    }
    blocks.clear();
    if (wasEmpty) m_arrived.Set();
  }
  // The front block, taken out; null on an empty queue.
  Block PopBlock() {
    std::lock_guard lock(m_mutex);
    if (m_records.empty()) return nullptr;
    Block block = std::move(m_records.front());
    m_records.pop_front();
    m_count.store(m_records.size(), std::memory_order_release);
    return block;
  }
  // Keeps an emptied block for NewBlock (a few, so that a busy queue does not allocate
  // per record; the rest are freed).
  void Recycle(Block block) {
    std::lock_guard lock(m_spareMutex);
    if (m_spare.size() < kSpareBlocks) m_spare.push_back(std::move(block));
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
      taken.push_back(*m_records.front());
      m_records.pop_front();
    }
    m_count.store(m_records.size(), std::memory_order_release);
    return taken;
  }

  // Empties the queue; returns what it held, oldest first.
  std::vector<Record> TakeAll() { return TrimTo(0); }

  std::size_t Count() const { return m_count.load(std::memory_order_acquire); }

  // Set when a record arrives in an empty queue. Consumed only by waits on it: the waits
  // of WaitForRecord do not take it.
  Sockora::Win32::CEvent& Arrived() { return m_arrived; }

  // A consumer's wait: true once a record is queued, false when `stop` is set
  // while the queue is empty. The stop event is looked at only on an empty queue, so a
  // consumer drains the queue before it ends; one that lets the stop win over waiting
  // records looks at the stop itself before each record.
  bool WaitForRecord(Sockora::Win32::CEvent& stop) {
    // Coming back for a record means the last one is done.
    m_consumerBusySince.store(Now(), std::memory_order_relaxed);
    if (Count() != 0) return true;
    // The queue's own waiter, always registered with Arrived(): a woken consumer touches
    // no lock the pusher may still hold, so it never sleeps again at once on that lock.
    StopWatch watch(stop, m_wake);
    for (;;) {
      // Consumers that wait at the same time (a replaced server's thread that has yet to
      // end) share the waiter: each waits for a fire after its own look, none clears it.
      std::uint64_t seen = 0;
      {
        std::lock_guard lock(m_wake.mutex);
        seen = m_wake.fires;
      }
      if (Count() != 0) return true;
      if (stop.TryConsume()) {
        if (Count() == 0) {
          m_consumerBusySince.store(0, std::memory_order_relaxed);
          return false;
        }
        // The stop was taken while a record arrived: it is kept for the look that finds
        // the queue empty, or the consumer would wait for ever once it has drained it.
        stop.Set();
        return true;
      }
      m_consumerBusySince.store(0, std::memory_order_relaxed);
      {
        std::unique_lock lock(m_wake.mutex);
        m_wake.cv.wait(lock, [this, seen] { return m_wake.fires != seen; });
      }
      m_consumerBusySince.store(Now(), std::memory_order_relaxed);
    }
  }

  // For the service manager's watchdog: true when the consumer has been at one record
  // (not back in WaitForRecord) for longer than `limit`. A consumer asleep on the empty
  // queue is never stuck, however long it sleeps. Any thread.
  bool ConsumerStuck(std::chrono::steady_clock::duration limit) const {
    const std::int64_t since = m_consumerBusySince.load(std::memory_order_relaxed);
    return since != 0 && Now() - since > std::chrono::duration_cast<std::chrono::nanoseconds>(limit).count();
  }

 private:
  static constexpr std::size_t kSpareBlocks = 16;

  static std::int64_t Now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }

  // Registers the waiter with the stop event for one wait.
  class StopWatch {
   public:
    StopWatch(Sockora::Win32::CEvent& stop, Sockora::Win32::CEventWaiter& waiter) : m_stop(stop), m_waiter(waiter) {
      m_stop.Register(m_waiter);
    }
    ~StopWatch() { m_stop.Unregister(m_waiter); }
    StopWatch(const StopWatch&) = delete;
    StopWatch& operator=(const StopWatch&) = delete;

   private:
    Sockora::Win32::CEvent& m_stop;
    Sockora::Win32::CEventWaiter& m_waiter;
  };

  std::mutex m_mutex;
  std::deque<Block> m_records;
  std::mutex m_spareMutex;  // a leaf, never taken together with m_mutex
  std::vector<Block> m_spare;
  std::atomic<std::size_t> m_count{0};
  // When the consumer last came back for a record, in steady-clock nanoseconds; 0 while it
  // sleeps on the empty queue or has stopped.
  std::atomic<std::int64_t> m_consumerBusySince{0};
  Sockora::Win32::CEventWaiter m_wake;
  Sockora::Win32::CAutoResetEvent m_arrived;
};
