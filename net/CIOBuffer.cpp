#include "net/CIOBuffer.h"

#include <cstring>
#include <new>

#include "platform/CException.h"
#include "platform/CScopedLock.h"

namespace Sockora {

using Win32::CException;
using Win32::CScopedLock;

CIOBuffer::CIOBuffer(Allocator& allocator, std::uint32_t size)
    : m_allocator(allocator), m_size(size), m_data(reinterpret_cast<std::uint8_t*>(this + 1)) {
  Empty();
}

void CIOBuffer::Release() {
  if (m_ref.load(std::memory_order_relaxed) == 0)
    throw CException("CIOBuffer::Release()", "m_ref is already 0");
  if (m_ref.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  m_sequenceNumber = 0;
  m_operation = 0;
  m_used = 0;
  m_allocator.Release(this);
}

void CIOBuffer::AddData(const void* bytes, std::uint32_t count) {
  if (count > m_size - m_used) throw CException("CIOBuffer::AddData", "Not enough space in buffer");
  std::memcpy(m_data + m_used, bytes, count);
  m_used += count;
}

void CIOBuffer::Empty() {
  m_used = 0;
  m_wsabuf.buf = m_data;
  m_wsabuf.len = m_size;
}

void CIOBuffer::SetupZeroByteRead() {
  m_wsabuf.buf = m_data;
  m_wsabuf.len = 0;
}

void CIOBuffer::SetupRead() {
  m_wsabuf.buf = m_data + m_used;
  m_wsabuf.len = m_size - m_used;
}

void CIOBuffer::SetupWrite() {
  m_wsabuf.buf = m_data;
  m_wsabuf.len = m_used;
  m_used = 0;
}

CIOBuffer::Allocator::Allocator(std::uint32_t bufferSize, std::uint32_t maxFreeBuffers)
    : m_bufferSize(bufferSize), m_maxFreeBuffers(maxFreeBuffers) {}

// Only the base's notifications run here, and they do not throw.
CIOBuffer::Allocator::~Allocator() { Flush(); }

CIOBuffer* CIOBuffer::Allocator::Allocate() {
  CScopedLock lock(m_lock);
  CIOBuffer* buffer = m_freeList.PopFront();
  if (buffer == nullptr) {
    // The one pool of raw blocks: header and data area in a single allocation.
    void* block = ::operator new(sizeof(CIOBuffer) + m_bufferSize, std::nothrow);
    if (block == nullptr) throw CException("CIOBuffer::Allocator::Allocate()", "Out of memory");
    buffer = new (block) CIOBuffer(*this, m_bufferSize);
    OnBufferCreated();
  } else {
    buffer->AddRef();
  }
  m_activeList.PushFront(buffer);
  OnBufferAllocated();
  return buffer;
}

void CIOBuffer::Allocator::Release(CIOBuffer* buffer) {
  if (buffer == nullptr) throw CException("CIOBuffer::Allocator::Release()", "pBuffer is null");
  CScopedLock lock(m_lock);
  OnBufferReleased();
  m_activeList.Remove(buffer);
  if (m_maxFreeBuffers != 0 && m_freeList.Count() >= m_maxFreeBuffers) {
    DestroyBuffer(buffer);
    return;
  }
  buffer->Empty();
  m_freeList.PushFront(buffer);
}

void CIOBuffer::Allocator::DestroyBuffer(CIOBuffer* buffer) {
  buffer->~CIOBuffer();
  ::operator delete(static_cast<void*>(buffer));
  OnBufferDestroyed();
}

void CIOBuffer::Allocator::Flush() {
  CScopedLock lock(m_lock);
  while (CIOBuffer* buffer = m_activeList.PopFront()) {
    OnBufferReleased();
    DestroyBuffer(buffer);
  }
  while (CIOBuffer* buffer = m_freeList.PopFront()) DestroyBuffer(buffer);
}

}  // namespace Sockora
