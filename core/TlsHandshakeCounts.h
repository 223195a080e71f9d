#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "net/TlsFailure.h"

// The TLS handshakes of this process since it started: finished, and failed by reason
// (TlsFailureName gives the names). For the statistics, `vantreld status` and the metrics
// page. Any thread; each figure is read on its own, without a lock.
class TlsHandshakeCounts {
 public:
  static TlsHandshakeCounts& Instance() {
    static TlsHandshakeCounts counts;
    return counts;
  }

  void CountSucceeded() { m_succeeded.fetch_add(1, std::memory_order_relaxed); }
  void CountFailed(TlsFailure failure) {
    m_failed[static_cast<std::size_t>(failure)].fetch_add(1, std::memory_order_relaxed);
  }

  std::uint64_t Succeeded() const { return m_succeeded.load(std::memory_order_relaxed); }
  std::uint64_t Failed(TlsFailure failure) const {
    return m_failed[static_cast<std::size_t>(failure)].load(std::memory_order_relaxed);
  }

 private:
  std::atomic<std::uint64_t> m_succeeded{0};
  std::array<std::atomic<std::uint64_t>, kTlsFailures> m_failed{};
};
