#include "core/CNotTransWriter.h"

#include <algorithm>
#include <utility>

#include "core/WriteWarning.h"
#include "platform/WriteDebugLine.h"

using Sockora::Win32::CEvent;

CNotTransWriter::CNotTransWriter(CDataQueue<NotTransRecord>& queue, CEvent& stop, std::string fileName,
                                 LimitReport report)
    : m_queue(queue), m_stop(stop), m_fileName(std::move(fileName)), m_report(std::move(report)) {}

void CNotTransWriter::LookForChanges() {
  const std::int64_t version = m_store.DataVersion();
  if (version != m_dataVersion) {
    m_dataVersion = version;
    SettingInfo settings;
    m_store.LoadSettings(settings);
    m_limit = settings.NotTransMaxBytes;
    if (m_events) m_events->SetKeepDays(settings.EventsKeepDays);
    m_sizeStale = true;
    PublishSize();
  }
  // Reading the size costs a pass over the table: only while it decides anything, and
  // once after a resend took rows out.
  const bool removed = m_counters && m_counters->RowsRemoved.exchange(false, std::memory_order_acq_rel);
  if (m_storedBytes < 0 || (m_full && m_sizeStale) || removed) Measure();
  if (m_full && m_storedBytes >= 0 && m_storedBytes + m_admittedBytes < m_limit) {
    m_full = false;
    WriteNotStoredLine();
    WriteDebugLine("[MSG]", "Not-forwarded data: storing again (%lld of %lld bytes stored); %llu records were not "
                   "stored meanwhile\n", static_cast<long long>(m_storedBytes), static_cast<long long>(m_limit),
                   static_cast<unsigned long long>(m_notStored));
    if (m_report) m_report(false, m_notStored);
    m_notStored = 0;
  }
}

void CNotTransWriter::Measure() {
  m_storedBytes = m_store.NotTransBytes();
  m_sizeStale = false;
  PublishSize();
}

void CNotTransWriter::PublishSize() {
  if (!m_counters) return;
  m_counters->StoredBytes.store(m_storedBytes, std::memory_order_relaxed);
  m_counters->Limit.store(m_limit, std::memory_order_relaxed);
}

bool CNotTransWriter::Fits(std::int64_t bytes) {
  // An unknown stored size does not stop storing: the write itself will tell.
  if (m_storedBytes < 0) return true;
  if (m_storedBytes + m_admittedBytes + bytes <= m_limit) return true;
  // Another program may have deleted rows since the size was read.
  if (!m_sizeStale) return false;
  Measure();
  return m_storedBytes < 0 || m_storedBytes + m_admittedBytes + bytes <= m_limit;
}

void CNotTransWriter::ApplyLimit() {
  LookForChanges();
  std::size_t kept = m_admitted;
  for (std::size_t i = m_admitted; i < m_batch.size(); ++i) {
    const std::int64_t bytes = CAccessInterface::NotTransRecordBytes(m_batch[i]);
    if (!m_full && Fits(bytes)) {
      if (kept != i) m_batch[kept] = m_batch[i];
      ++kept;
      m_admittedBytes += bytes;
      continue;
    }
    if (!m_full) {
      m_full = true;
      WriteDebugLine("[ERROR]", "Not-forwarded data: the store limit of %lld bytes is reached (%lld stored); new "
                     "records are counted, not stored\n", static_cast<long long>(m_limit),
                     static_cast<long long>(m_storedBytes + m_admittedBytes));
      m_lastNotStoredLine = std::chrono::steady_clock::now();
      if (m_report) m_report(true, static_cast<std::uint64_t>(m_limit));
    }
    CountNotStored();
    if (m_finished) m_finished(m_batch[i]);
  }
  m_batch.resize(kept);
  m_admitted = kept;
}

void CNotTransWriter::CountNotStored() {
  if (m_counters) m_counters->NotStored.fetch_add(1, std::memory_order_relaxed);
  ++m_notStored;
  ++m_notStoredUntold;
  if (std::chrono::steady_clock::now() - m_lastNotStoredLine >= kNotStoredLinePeriod) WriteNotStoredLine();
}

void CNotTransWriter::WriteNotStoredLine() {
  if (m_notStoredUntold == 0) return;
  WriteDebugLine("[ERROR]", "Not-forwarded data: %llu records counted, not stored (store limit of %lld bytes)\n",
                 static_cast<unsigned long long>(m_notStoredUntold), static_cast<long long>(m_limit));
  m_notStoredUntold = 0;
  m_lastNotStoredLine = std::chrono::steady_clock::now();
}

void CNotTransWriter::TakeQueued() {
  while (m_batch.size() < kMaxBatch) {
    m_batch.emplace_back();
    if (!m_queue.Pop(m_batch.back())) {
      m_batch.pop_back();
      break;
    }
  }
}

CNotTransWriter::Outcome CNotTransWriter::WriteBatch() {
  // Only the first failed open of an outage shows the notice; retries write a line.
  m_store.SetOpenFailureNotice(!m_outage);
  ApplyLimit();
  if (m_batch.empty()) return Outcome::Written;
  if (m_store.SaveNotTransData(m_batch) == 1) {
    if (m_outage) WriteDebugLine("[MSG]", "Not-forwarded data: database available again\n");
    m_outage = false;
    if (m_failingSince) {
      const auto seconds =
          std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - *m_failingSince);
      WriteWarning("not-forwarded data is stored again after " + std::to_string(seconds.count()) + " s; " +
                   std::to_string(m_batch.size()) + " records that waited are stored");
      m_failingSince.reset();
    }
    if (m_storedBytes >= 0) m_storedBytes += m_admittedBytes;
    if (m_counters) m_counters->Stored.fetch_add(m_batch.size(), std::memory_order_relaxed);
    PublishSize();
    FinishBatch();
    return Outcome::Written;
  }
  const int error = m_store.LastEngineError();
  const std::string reason = m_store.LastFailureText();
  if (!m_store.IsOpen() || m_store.LastErrorIsTransient()) {
    m_outage = m_outage || !m_store.IsOpen();
    if (!m_failingSince) {
      m_failingSince = std::chrono::steady_clock::now();
      WriteWarning("not-forwarded data cannot be stored for now: " + reason + "; " + std::to_string(m_batch.size()) +
                   " records are kept and stored once the database takes them");
    }
    WriteDebugLine("[MSG]", "Not-forwarded data: %zu records kept for a retry: %s (engine code %d)\n", m_batch.size(),
                   reason.c_str(), error);
    return Outcome::Kept;
  }
  WriteWarning("not-forwarded data: " + std::to_string(m_batch.size()) + " records dropped, rejected by the database: " +
               reason + " (engine code " + std::to_string(error) + ")");
  if (m_counters) m_counters->Rejected.fetch_add(m_batch.size(), std::memory_order_relaxed);
  FinishBatch();
  return Outcome::Dropped;
}

void CNotTransWriter::FinishBatch() {
  if (m_finished)
    for (const NotTransRecord& record : m_batch) m_finished(record);
  m_batch.clear();
  m_admitted = 0;
  m_admittedBytes = 0;
}

void CNotTransWriter::Run() {
  if (m_store.OpenDatabase(m_fileName) == 0) m_outage = true;
  m_store.SetOpenFailureNotice(!m_outage);
  LookForChanges();
  unsigned retryMs = kFirstRetryMs;
  for (;;) {
    if (m_events) m_events->Work();
    if (m_batch.empty()) {
      // Sleeps until a record or an event arrives (while full, at most until the next look
      // for room; no longer than the device history waits); stop wins when both are set.
      if (m_queue.Count() == 0) {
        unsigned waitMs = m_full ? kFullCheckMs : Sockora::Win32::INFINITE;
        if (m_events) waitMs = std::min(waitMs, m_events->MsUntilDue());
        const int woken = CEvent::WaitAny(m_stop, m_queue.Arrived(), waitMs);
        if (woken == 0) break;
        // Woken with nothing queued: the time is up, or rows were removed.
        if (woken != 1 || m_queue.Count() == 0) {
          LookForChanges();
          continue;
        }
      }
      TakeQueued();
      if (m_batch.empty()) continue;
    }
    if (WriteBatch() == Outcome::Kept) {
      if (m_stop.Wait(retryMs)) break;
      retryMs = std::min(retryMs * 2, kLastRetryMs);
    } else {
      retryMs = kFirstRetryMs;
    }
  }

  // One last attempt for everything taken or still queued; no retries on the way out.
  for (TakeQueued(); !m_batch.empty(); TakeQueued()) {
    const std::size_t count = m_batch.size();
    if (WriteBatch() == Outcome::Kept) {
      WriteWarning("not-forwarded data: " + std::to_string(count + m_queue.Count()) +
                   " records could not be stored at exit: " + m_store.LastFailureText());
      break;
    }
  }
  WriteNotStoredLine();
  if (m_events) m_events->Finish();
  m_store.CloseDatabase();
}
