#pragma once

#include <chrono>
#include <thread>

// Polls `condition` until it holds or `bound` passes; true if it held. The bound is
// generous: it only turns a hang into a failure, it does not time anything.
template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds bound = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}
