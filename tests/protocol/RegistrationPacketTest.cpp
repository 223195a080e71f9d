#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "protocol/RegistrationPacket.h"

namespace {

struct Case {
  std::uint32_t number;
  std::string phone;
  std::string address;
  std::string id;
  std::string phoneShown;
};

}  // namespace

// What the simulator builds, the server reads back: ID, phone and address.
TEST(RegistrationPacket, WhatIsBuiltReadsBack) {
  const Case cases[] = {
      {0x00000000, "", "0.0.0.0", "00000000", ""},
      {0x01ABCDEF, "13912345678", "10.1.2.3", "01ABCDEF", "13912345678"},
      {0xFFFFFFFF, "123", "255.254.253.252", "FFFFFFFF", "123"},
      // The field holds 12 bytes; 11 show, as the device list always showed them.
      {0x00C0FFEE, "123456789012345", "192.168.0.1", "00C0FFEE", "12345678901"},
  };
  for (const Case& c : cases) {
    RegistrationPacket packet{};
    ASSERT_TRUE(BuildRegistrationPacket(c.number, c.phone, c.address, packet)) << c.address;
    EXPECT_EQ(RegisteredDeviceId(packet.data()), c.id);
    EXPECT_EQ(DeviceIdFor(c.number), c.id);
    EXPECT_EQ(RegisteredPhone(packet.data()), c.phoneShown);
    EXPECT_EQ(RegisteredAddress(packet.data()), c.address);
  }
}

// The layout devices send: number least significant byte first, phone at byte 4,
// address at bytes 16 to 19, a last byte that is zero.
TEST(RegistrationPacket, LayoutOnTheWire) {
  RegistrationPacket packet{};
  ASSERT_TRUE(BuildRegistrationPacket(0x11223344, "1391", "10.20.30.40", packet));
  const RegistrationPacket expected{0x44, 0x33, 0x22, 0x11, '1', '3', '9', '1', 0, 0, 0,
                                    0,    0,    0,    0,    0,   10,  20,  30,  40, 0};
  EXPECT_EQ(packet, expected);
}

TEST(RegistrationPacket, AnAddressThatIsNotDottedIPv4IsRefused) {
  RegistrationPacket packet{};
  packet.fill(0xAA);
  for (const char* address : {"", "10.1.2", "10.1.2.256", "host.example", "::1"}) {
    EXPECT_FALSE(BuildRegistrationPacket(1, "1", address, packet)) << address;
    EXPECT_EQ(packet[0], 0xAA) << address;
  }
}

// A phone that fills its 12 bytes has no zero byte: reading stops at 11, not in the address.
TEST(RegistrationPacket, AFullPhoneFieldStopsAtElevenCharacters) {
  RegistrationPacket packet{};
  ASSERT_TRUE(BuildRegistrationPacket(1, "ABCDEFGHIJKL", "1.2.3.4", packet));
  EXPECT_EQ(RegisteredPhone(packet.data()), "ABCDEFGHIJK");
}
