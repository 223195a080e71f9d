#pragma once

#include <array>
#include <cstdint>
#include <string>

// The 21 bytes a device sends first: its number (least significant byte first), its
// phone number (12 bytes, zero-padded), its IPv4 address (one byte per part) and one
// byte that the server discards. Pure functions: any thread.
inline constexpr std::uint32_t kRegistrationLength = 21;
// The registration record passed on holds the packet without its last byte.
inline constexpr std::uint32_t kRegistrationRecordLength = 20;

using RegistrationPacket = std::array<unsigned char, kRegistrationLength>;

// Returns false (and leaves `packet` alone) when `address` is not a dotted IPv4 address.
bool BuildRegistrationPacket(std::uint32_t deviceNumber, const std::string& phone, const std::string& address,
                             RegistrationPacket& packet);

// The device ID the server derives from a device number: 8 uppercase hexadecimal digits.
std::string DeviceIdFor(std::uint32_t deviceNumber);

// What a registration says; each reads the first kRegistrationRecordLength bytes at most.
// The device ID of its number (bytes 0 to 3).
std::string RegisteredDeviceId(const unsigned char* registration);
// Its phone number: from byte 4 up to its zero byte, at most 11 characters.
std::string RegisteredPhone(const unsigned char* registration);
// Its address (bytes 16 to 19) in dotted form.
std::string RegisteredAddress(const unsigned char* registration);
