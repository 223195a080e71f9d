#include "net/COrderedWriteQueue.h"

#include "platform/CScopedLock.h"

namespace Sockora {

CIOBuffer* COrderedWriteQueue::NextWriteBuffer(CIOBuffer* buffer) {
  Win32::CScopedLock lock(m_lock);
  if (buffer == nullptr) {
    ++m_next;
    return TakeExpected();
  }
  if (buffer->GetSequenceNumber() == m_next) return buffer;
  m_parked.emplace(buffer->GetSequenceNumber(), buffer);
  return TakeExpected();
}

CIOBuffer* COrderedWriteQueue::TakeExpected() {
  if (m_parked.empty() || m_parked.begin()->first != m_next) return nullptr;
  CIOBuffer* buffer = m_parked.begin()->second;
  m_parked.erase(m_parked.begin());
  return buffer;
}

void COrderedWriteQueue::Reset() {
  Win32::CScopedLock lock(m_lock);
  m_next = 0;
  m_parked.clear();
}

}  // namespace Sockora
