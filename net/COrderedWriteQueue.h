#pragma once

#include <cstdint>
#include <map>

#include "net/CIOBuffer.h"
#include "platform/CCriticalSection.h"

namespace Sockora {

// Puts one connection's sends back into the order of their write sequence numbers when
// several workers pick up the requests in another order. Guarded by the connection lock
// it is given; any thread.
class COrderedWriteQueue {
 public:
  explicit COrderedWriteQueue(Win32::CCriticalSection& lock) : m_lock(lock) {}

  // With a buffer: that buffer if it is the next to go, else it is parked and the parked
  // buffer whose turn it is (if any) comes back. Without a buffer (the previous one was
  // sent): moves on to the next number and returns its buffer if it is parked. nullptr:
  // nothing to send now.
  CIOBuffer* NextWriteBuffer(CIOBuffer* buffer);

  // For a connection object taken again from the pool. Nothing is parked then: every
  // parked buffer holds a reference on its connection.
  void Reset();

 private:
  CIOBuffer* TakeExpected();

  Win32::CCriticalSection& m_lock;
  std::uint32_t m_next = 0;
  std::map<std::uint32_t, CIOBuffer*> m_parked;
};

}  // namespace Sockora
