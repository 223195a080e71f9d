#pragma once

#include "platform/CCriticalSection.h"

namespace Sockora::Win32 {

// Holds a CCriticalSection for its scope: released on every exit path, exceptions
// included. The std::mutex family is held the same way, through std::lock_guard and its kin.
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
