#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/CDeviceEventQueue.h"
#include "storage/CAccessInterface.h"

// Writes the device history from its queue to DeviceEvents in batches, one transaction
// each, and deletes what is older than the days kept (at the first call and every hour).
// A batch that meets a busy, locked or full database is kept and tried again after a
// growing pause (the queue in front fills meanwhile, and what it refuses is told); one the
// engine rejects for good is dropped with a line. Runs on the not-forwarded writer's
// thread, through that writer's connection: created, used and destroyed there.
class CDeviceEventWriter {
 public:
  static constexpr std::size_t kMaxBatch = 1000;
  static constexpr std::chrono::hours kPrunePeriod{1};
  static constexpr std::chrono::minutes kPruneRetry{1};
  static constexpr unsigned kFirstRetryMs = 100;
  static constexpr unsigned kLastRetryMs = 10000;

  CDeviceEventWriter(CDeviceEventQueue& queue, CAccessInterface& store) : m_queue(queue), m_store(store) {}

  // Events older than this many days are deleted (EventsKeepDays; below 1 counts as 1).
  void SetKeepDays(std::int32_t days) { m_keepDays = days < 1 ? 1 : days; }

  // Writes what is queued (unless a kept batch waits for its retry) and prunes when due.
  void Work();
  // Milliseconds until Work has something to do without a new event arriving: a retry,
  // events left queued, the next prune.
  unsigned MsUntilDue();
  // One last attempt for everything queued, without retries; says what is left.
  void Finish();

 private:
  enum class Outcome { Written, Kept, Dropped };
  Outcome WriteBatch();
  void Prune();
  void TellDropped();

  CDeviceEventQueue& m_queue;
  CAccessInterface& m_store;
  std::int32_t m_keepDays = 90;
  std::vector<DeviceEvent> m_batch;
  std::chrono::steady_clock::time_point m_retryAt{};
  unsigned m_retryMs = kFirstRetryMs;
  // Zero: the first call prunes.
  std::chrono::steady_clock::time_point m_pruneAt{};
};
