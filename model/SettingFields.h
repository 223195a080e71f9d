#pragma once

#include <cstddef>
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
// A single address can hold at most this many connections to one listening port.
inline constexpr std::uint32_t kHighestMaxConnectionsPerAddress = 65535;
// A phone number as a registration carries it: at most this many characters.
inline constexpr std::size_t kLongestPhone = 11;
inline constexpr std::uint32_t kLowestEventsKeepDays = 1;
inline constexpr std::uint32_t kHighestEventsKeepDays = 36500;
inline constexpr std::uint32_t kLowestOfflineAlarmSeconds = 1;
inline constexpr std::uint32_t kHighestOfflineAlarmSeconds = 604800;  // a week
// A file name in a setting (a certificate, a program): longer ones are refused.
inline constexpr std::size_t kLongestPathSetting = 4096;

// The decimal text of a whole number from low to high, digits only.
std::optional<std::string> NumberField(const std::string& text, unsigned long low, unsigned long high);

// A dotted IPv4 address in its usual form, or empty (this computer's first address at
// start-up).
std::optional<std::string> LocalIpField(const std::string& text);

// A list of IPv4 networks (ParseNetworks: "10.0.0.0/8,203.0.113.7", a bare address is a
// /32), or empty (every address); stored in its canonical form. When refused, `bad` (if
// given) gets the first entry that is not a network as typed, empty for an empty entry.
std::optional<std::string> NetworksField(const std::string& text, std::string* bad = nullptr);
// The message for a network list that NetworksField refused, naming the entry (English,
// for the command line).
std::string NetworksProblem(const std::string& bad);

// A file name (absolute, or relative to the application directory) or empty: up to
// kLongestPathSetting bytes without control characters (blanks around it are dropped).
std::optional<std::string> PathField(const std::string& text);

// "A.B.C.D:PORT" (an IPv4 address and a port from 1 to 65535) in its canonical form, or
// empty (off).
std::optional<std::string> ListenAddressField(const std::string& text);

// What is wrong with the TLS settings taken together (a TLS port without a certificate and
// key, TlsOnly without a TLS port, the TLS port equal to the plain one), in English, or
// empty. The port rule looks at LocalPort as it is used (0 is 5001).
std::string TlsSettingsProblem(const SettingInfo& settings);

// A phone number a binding asks for: up to kLongestPhone printable characters without
// blanks (blanks around it are dropped), or empty (any).
std::optional<std::string> PhoneField(const std::string& text);

// What the program listens on when nothing is stored: an empty LocalIp becomes this
// computer's first IPv4 address (it stays empty when there is none) and a LocalPort of 0
// becomes 5001. Any thread (it reads the interfaces).
void ApplyStartDefaults(SettingInfo& settings);
