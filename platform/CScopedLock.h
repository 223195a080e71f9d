#pragma once

#include "platform/CCriticalSection.h"

namespace Sockora::Win32 {

// The only way locks are taken: released on every exit path, exceptions included.
class CScopedLock {
 public:
  explicit CScopedLock(CCriticalSection& section) : m_section(section) { m_section.Enter(); }
  ~CScopedLock() { m_section.Leave(); }
  CScopedLock(const CScopedLock&) = delete;
  CScopedLock& operator=(const CScopedLock&) = delete;

 private:
  CCriticalSection& m_section;
};

}  // namespace Sockora::Win32
