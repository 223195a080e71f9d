#pragma once

#include <atomic>
#include <cstdint>

#include "net/CIntrusiveList.h"
#include "platform/CCriticalSection.h"

namespace Sockora {

// One pooled network buffer: bookkeeping of the operation it carries, followed in the
// same allocation by its data area. Reference counted; the last Release hands it back to
// the allocator that made it. AddRef/Release from any thread; the other operations belong
// to whichever thread holds the buffer for the current operation.
class CIOBuffer {
 public:
  class Allocator;

  // The part of the data area the next receive or send uses.
  struct WSABUF {
    std::uint32_t len = 0;
    std::uint8_t* buf = nullptr;
  };

  CIOBuffer(const CIOBuffer&) = delete;
  CIOBuffer& operator=(const CIOBuffer&) = delete;

  void AddRef() { m_ref.fetch_add(1, std::memory_order_relaxed); }
  // Throws CException("CIOBuffer::Release()", "m_ref is already 0") on a release too many.
  void Release();

  std::uint8_t* GetBuffer() { return m_data; }
  const std::uint8_t* GetBuffer() const { return m_data; }
  std::uint32_t GetSize() const { return m_size; }
  std::uint32_t GetUsed() const { return m_used; }

  void Use(std::uint32_t bytes) { m_used += bytes; }
  // Appends behind the used bytes; throws CException("CIOBuffer::AddData",
  // "Not enough space in buffer") and copies nothing when they do not fit.
  void AddData(const void* bytes, std::uint32_t count);

  void Empty();
  void SetupZeroByteRead();
  void SetupRead();
  void SetupWrite();
  WSABUF& GetWSABUF() { return m_wsabuf; }

  std::uint32_t GetOperation() const { return m_operation; }
  void SetOperation(std::uint32_t operation) { m_operation = operation; }
  std::uint32_t GetSequenceNumber() const { return m_sequenceNumber; }
  void SetSequenceNumber(std::uint32_t number) { m_sequenceNumber = number; }

 private:
  friend class CIntrusiveList<CIOBuffer>;
  friend class Allocator;

  CIOBuffer(Allocator& allocator, std::uint32_t size);
  ~CIOBuffer() = default;

  CIntrusiveList<CIOBuffer>::Node m_node;
  std::uint32_t m_operation = 0;
  std::uint32_t m_sequenceNumber = 0;
  WSABUF m_wsabuf;
  Allocator& m_allocator;
  std::atomic<long> m_ref{1};
  const std::uint32_t m_size;
  std::uint32_t m_used = 0;
  std::uint8_t* const m_data;
};

// Makes and pools buffers of one size. Keeps at most `maxFreeBuffers` released buffers
// for reuse (0: no limit), handing out the most recently released first. Any thread.
class CIOBuffer::Allocator {
 public:
  Allocator(std::uint32_t bufferSize, std::uint32_t maxFreeBuffers);
  virtual ~Allocator();
  Allocator(const Allocator&) = delete;
  Allocator& operator=(const Allocator&) = delete;

  // A buffer with count 1, nothing used, over its whole data area. Throws
  // CException("CIOBuffer::Allocator::Allocate()", "Out of memory").
  CIOBuffer* Allocate();

  // Deletes every buffer, handed out or free. Only when no thread uses buffers any more.
  void Flush();

  std::uint32_t GetBufferSize() const { return m_bufferSize; }

 protected:
  // Called under the allocator lock: they must not wait for a thread that allocates
  // or releases buffers.
  virtual void OnBufferCreated() {}
  virtual void OnBufferAllocated() {}
  virtual void OnBufferReleased() {}
  virtual void OnBufferDestroyed() {}

 private:
  friend class CIOBuffer;

  // Takes back a buffer whose count reached 0; throws CException for a null buffer.
  void Release(CIOBuffer* buffer);
  void DestroyBuffer(CIOBuffer* buffer);

  const std::uint32_t m_bufferSize;
  const std::uint32_t m_maxFreeBuffers;
  CIntrusiveList<CIOBuffer> m_freeList;
  CIntrusiveList<CIOBuffer> m_activeList;
  Win32::CCriticalSection m_lock;
};

}  // namespace Sockora
