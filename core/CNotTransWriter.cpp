#include "core/CNotTransWriter.h"

#include <algorithm>
#include <utility>

#include "platform/WriteDebugLine.h"

using Sockora::Win32::CEvent;

CNotTransWriter::CNotTransWriter(CDataQueue<NotTransRecord>& queue, CEvent& stop, std::string fileName)
    : m_queue(queue), m_stop(stop), m_fileName(std::move(fileName)) {}

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
  if (m_store.SaveNotTransData(m_batch) == 1) {
    if (m_outage) WriteDebugLine("[MSG]", "Not-forwarded data: database available again\n");
    m_outage = false;
    m_batch.clear();
    return Outcome::Written;
  }
  const int error = m_store.LastEngineError();
  if (!m_store.IsOpen() || m_store.LastErrorIsTransient()) {
    m_outage = m_outage || !m_store.IsOpen();
    WriteDebugLine("[MSG]", "Not-forwarded data: %zu records kept for a retry (engine code %d)\n", m_batch.size(),
                   error);
    return Outcome::Kept;
  }
  WriteDebugLine("[ERROR]", "Not-forwarded data: %zu records dropped, rejected by the database (engine code %d)\n",
                 m_batch.size(), error);
  m_batch.clear();
  return Outcome::Dropped;
}

void CNotTransWriter::Run() {
  if (m_store.OpenDatabase(m_fileName) == 0) m_outage = true;
  unsigned retryMs = kFirstRetryMs;
  for (;;) {
    if (m_batch.empty()) {
      // Sleeps until a record arrives; stop wins when both are set.
      if (m_queue.Count() == 0 && CEvent::WaitAny(m_stop, m_queue.Arrived(), Sockora::Win32::INFINITE) == 0) break;
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
      WriteDebugLine("[ERROR]", "Not-forwarded data: %zu records not written at exit\n",
                     count + m_queue.Count());
      break;
    }
  }
  m_store.CloseDatabase();
}
