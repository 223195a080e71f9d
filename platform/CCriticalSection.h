#pragma once

#include <mutex>

namespace Sockora::Win32 {

// Recursive: the owner may enter again; each Enter is matched by one Leave.
class CCriticalSection {
 public:
  CCriticalSection() = default;
  CCriticalSection(const CCriticalSection&) = delete;
  CCriticalSection& operator=(const CCriticalSection&) = delete;

  void Enter() { m_mutex.lock(); }
  void Leave() { m_mutex.unlock(); }

 private:
  std::recursive_mutex m_mutex;
};

}  // namespace Sockora::Win32
