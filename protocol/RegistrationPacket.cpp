#include "protocol/RegistrationPacket.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t kPhoneOffset = 4;
constexpr std::size_t kPhoneField = 12;
constexpr std::size_t kPhoneShown = 11;
constexpr std::size_t kAddressOffset = 16;

}  // namespace

bool BuildRegistrationPacket(std::uint32_t deviceNumber, const std::string& phone, const std::string& address,
                             RegistrationPacket& packet) {
  in_addr parsed{};
  if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) return false;
  RegistrationPacket built{};
  for (int i = 0; i < 4; ++i) built[static_cast<std::size_t>(i)] = static_cast<unsigned char>(deviceNumber >> (8 * i));
  std::memcpy(built.data() + kPhoneOffset, phone.data(), std::min(phone.size(), kPhoneField));
  std::memcpy(built.data() + kAddressOffset, &parsed.s_addr, 4);  // network order is dotted order
  packet = built;
  return true;
}

std::string DeviceIdFor(std::uint32_t deviceNumber) {
  char id[9];
  std::snprintf(id, sizeof id, "%08X", deviceNumber);
  return id;
}

std::string RegisteredDeviceId(const unsigned char* registration) {
  std::uint32_t number = 0;
  for (int i = 3; i >= 0; --i) number = (number << 8) | registration[i];
  return DeviceIdFor(number);
}

std::string RegisteredPhone(const unsigned char* registration) {
  const auto* start = reinterpret_cast<const char*>(registration + kPhoneOffset);
  return std::string(start, strnlen(start, kPhoneShown));
}

std::string RegisteredAddress(const unsigned char* registration) {
  const unsigned char* part = registration + kAddressOffset;
  char text[16];
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", part[0], part[1], part[2], part[3]);
  return text;
}
