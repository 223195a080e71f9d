#pragma once

#include <cstdint>

// The message vocabulary that stands in for window messages.
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

// Names a message target; 0 names none. Handles are never reused in a process.
using TargetHandle = std::uint64_t;

constexpr unsigned WM_USER = 0x0400;
