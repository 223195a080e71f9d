#include "core/CDeviceEventWriter.h"

#include <algorithm>
#include <ctime>
#include <string>

#include "core/WriteWarning.h"
#include "model/LocalTimeText.h"
#include "platform/CEvent.h"
#include "platform/WriteDebugLine.h"

namespace {

using Clock = std::chrono::steady_clock;

// The stored form of the local time `days` days ago.
std::string DaysAgo(std::int32_t days) {
  return LocalTimeText(std::time(nullptr) - static_cast<std::time_t>(days) * 86400);
}

unsigned MsUntil(Clock::time_point when) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<unsigned>(std::min<long long>(left, Sockora::Win32::INFINITE - 1));
}

}  // namespace

void CDeviceEventWriter::Work() {
  if (Clock::now() >= m_pruneAt) Prune();
  if (!m_batch.empty() && Clock::now() < m_retryAt) return;
  for (;;) {
    m_queue.Take(m_batch, kMaxBatch - m_batch.size());
    TellDropped();
    if (m_batch.empty()) return;
    const Outcome outcome = WriteBatch();
    if (outcome == Outcome::Kept) {
      m_retryAt = Clock::now() + std::chrono::milliseconds(m_retryMs);
      m_retryMs = std::min(m_retryMs * 2, kLastRetryMs);
      return;
    }
    m_retryMs = kFirstRetryMs;
  }
}

unsigned CDeviceEventWriter::MsUntilDue() {
  unsigned due = MsUntil(m_pruneAt);
  if (!m_batch.empty())
    due = std::min(due, MsUntil(m_retryAt));
  else if (m_queue.Count() > 0)
    due = 0;
  return due;
}

void CDeviceEventWriter::Finish() {
  m_queue.Take(m_batch, m_queue.Count());
  TellDropped();
  if (m_batch.empty()) return;
  const std::size_t count = m_batch.size();
  if (WriteBatch() == Outcome::Kept) WriteWarning("device history: " + std::to_string(count) + " events not written at exit");
}

CDeviceEventWriter::Outcome CDeviceEventWriter::WriteBatch() {
  if (m_store.SaveDeviceEvents(m_batch) == 1) {
    m_batch.clear();
    return Outcome::Written;
  }
  const std::string reason = m_store.LastFailureText();
  if (!m_store.IsOpen() || m_store.LastErrorIsTransient()) {
    WriteDebugLine("[MSG]", "Device history: %zu events kept for a retry: %s\n", m_batch.size(), reason.c_str());
    return Outcome::Kept;
  }
  WriteWarning("device history: " + std::to_string(m_batch.size()) + " events dropped, rejected by the database: " +
               reason);
  m_batch.clear();
  return Outcome::Dropped;
}

void CDeviceEventWriter::Prune() {
  if (m_store.DeleteDeviceEventsBefore(DaysAgo(m_keepDays)) != 1) {
    WriteDebugLine("[MSG]", "Device history: old events not deleted, tried again in a minute: %s\n",
                   m_store.LastFailureText().c_str());
    m_pruneAt = Clock::now() + kPruneRetry;
    return;
  }
  if (m_store.ChangedRows() > 0)
    WriteDebugLine("[MSG]", "Device history: %lld events older than %d days deleted\n",
                   static_cast<long long>(m_store.ChangedRows()), m_keepDays);
  m_pruneAt = Clock::now() + kPrunePeriod;
}

void CDeviceEventWriter::TellDropped() {
  if (const std::uint64_t dropped = m_queue.TakeDropped(); dropped > 0)
    WriteWarning("device history: " + std::to_string(dropped) +
                 " events not recorded: more arrived than the database took (the queue in front of it was full)");
}
