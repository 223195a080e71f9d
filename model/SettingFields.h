#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "model/SettingInfo.h"

// The values the settings may hold, as the settings dialog offers them, and their checks.
// Each check returns the value as it is stored, or nothing when the text is not
// acceptable. Pure functions (but ApplyStartDefaults): any thread.

inline constexpr std::uint32_t kLowestLocalPort = 1;
inline constexpr std::uint32_t kHighestLocalPort = 65535;
inline constexpr std::uint32_t kLowestDelayComRead = 0;
inline constexpr std::uint32_t kHighestDelayComRead = 10000;

// The decimal text of a whole number from low to high, digits only.
std::optional<std::string> NumberField(const std::string& text, unsigned long low, unsigned long high);

// A dotted IPv4 address in its usual form, or empty (this computer's first address at
// start-up).
std::optional<std::string> LocalIpField(const std::string& text);

// What the program listens on when nothing is stored: an empty LocalIp becomes this
// computer's first IPv4 address (it stays empty when there is none) and a LocalPort of 0
// becomes 5001. Any thread (it reads the interfaces).
void ApplyStartDefaults(SettingInfo& settings);
