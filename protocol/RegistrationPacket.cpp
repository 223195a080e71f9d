#include "protocol/RegistrationPacket.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

bool BuildRegistrationPacket(std::uint32_t deviceNumber, const std::string& phone, const std::string& address,
                             RegistrationPacket& packet) {
  in_addr parsed{};
  if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) return false;
  RegistrationPacket built{};
  for (int i = 0; i < 4; ++i) built[static_cast<std::size_t>(i)] = static_cast<unsigned char>(deviceNumber >> (8 * i));
  std::memcpy(built.data() + 4, phone.data(), std::min<std::size_t>(phone.size(), 12));
  std::memcpy(built.data() + 16, &parsed.s_addr, 4);  // network order is dotted order
  packet = built;
  return true;
}

std::string DeviceIdFor(std::uint32_t deviceNumber) {
  char id[9];
  std::snprintf(id, sizeof id, "%08X", deviceNumber);
  return id;
}
