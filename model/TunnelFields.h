#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>

#include "model/TunnelInfo.h"

// The values a tunnel may hold, as the device editor offers them, and their checks.
// Each check returns the value as it is stored, or nothing when the text is not
// acceptable. Main thread (pure functions).

inline constexpr std::array<const char*, 18> kBaudRates{
    "100",   "300",   "600",    "1200",   "2400",   "4800",   "9600",   "14400",  "19200",
    "38400", "56000", "57600",  "115200", "128000", "230400", "256000", "460800", "921600"};
inline constexpr std::array<const char*, 4> kDataBits{"5", "6", "7", "8"};
inline constexpr std::array<const char*, 3> kStopBits{"1", "1.5", "2"};
inline constexpr std::array<const char*, 5> kParities{"None", "Odd", "Even", "Space", "Mark"};

// The editor's defaults for a new tunnel (the port has none: it must be named).
inline constexpr char kDefaultBaudRate[] = "115200";
inline constexpr char kDefaultDataBits[] = "8";
inline constexpr char kDefaultStopBits[] = "1";
inline constexpr char kDefaultParity[] = "None";

// Exactly 8 hexadecimal digits, stored in upper case: devices register with upper-case
// IDs and tunnels are looked up byte-wise, so a lower-case ID would never match a device.
std::optional<std::string> DeviceIdField(const std::string& text);
// What is wrong with a device ID that DeviceIdField refused.
std::string DeviceIdProblem(const std::string& text);

// "COM<n>" with n from 1 to 1024 and no leading zero, letter case ignored; stored as "COM<n>".
std::optional<std::string> PortField(const std::string& text);

// One of `list`, letter case ignored; stored as the list writes it.
std::optional<std::string> ListField(const std::string& text, std::span<const char* const> list);

// The list joined with ", " for messages.
std::string ListText(std::span<const char* const> list);

// Whether two texts are equal ignoring ASCII letter case.
bool EqualIgnoringCase(const std::string& a, const std::string& b);

// Whether two tunnels drive their port alike: port, baud rate, data bits, stop bits and
// parity equal ignoring letter case.
bool SamePortSettings(const TunnelInfo& a, const TunnelInfo& b);
