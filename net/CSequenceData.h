#pragma once

#include <cstdint>

#include "net/COrderedWriteQueue.h"

namespace Sockora {

// The numbering of one connection's receives and sends; guarded by the connection lock.
struct CSequenceData {
  explicit CSequenceData(Win32::CCriticalSection& lock) : orderedWrites(lock) {}

  void Reset() {
    nextRead = 0;
    nextWrite = 0;
    orderedWrites.Reset();
  }

  std::uint32_t nextRead = 0;
  std::uint32_t nextWrite = 0;
  COrderedWriteQueue orderedWrites;
};

}  // namespace Sockora
