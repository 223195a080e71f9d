#pragma once

#include <cstdint>
#include <optional>

// What the system says about this process at one moment. A figure it could not read is
// left empty.
struct ProcessFigures {
  std::optional<std::uint64_t> ResidentBytes;
  std::optional<std::uint64_t> VirtualBytes;
  std::optional<std::uint64_t> OpenDescriptors;
  std::optional<std::uint64_t> MaxDescriptors;  // the soft limit
  std::optional<std::uint64_t> Threads;
  std::optional<double> CpuSeconds;        // user and system
  std::optional<double> StartTimeSeconds;  // since the epoch
};

// Reads them from /proc and the resource usage. Any thread.
ProcessFigures ReadProcessFigures();
