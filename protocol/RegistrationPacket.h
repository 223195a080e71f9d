#pragma once

#include <array>
#include <cstdint>
#include <string>

// The 21 bytes a device sends first: its number (least significant byte first), its
// phone number (12 bytes, zero-padded), its IPv4 address (one byte per part) and one
// byte that the server discards.
using RegistrationPacket = std::array<unsigned char, 21>;

// Returns false (and leaves `packet` alone) when `address` is not a dotted IPv4 address.
bool BuildRegistrationPacket(std::uint32_t deviceNumber, const std::string& phone, const std::string& address,
                             RegistrationPacket& packet);

// The device ID the server derives from a device number: 8 uppercase hexadecimal digits.
std::string DeviceIdFor(std::uint32_t deviceNumber);
