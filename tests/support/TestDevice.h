#pragma once

#include <chrono>
#include <cstdint>

#include "SerialFixture.h"

// A simulated device: a TCP connection to the link handler on 127.0.0.1.
class TestDevice {
 public:
  // `source`: the local address to connect from (127.0.0.2 stands for another network).
  explicit TestDevice(std::uint16_t port, const char* source = nullptr);
  ~TestDevice();
  TestDevice(const TestDevice&) = delete;
  TestDevice& operator=(const TestDevice&) = delete;

  bool IsOpen() const { return m_fd >= 0; }
  // Sends everything within the bound; false if it could not.
  bool Send(const Bytes& data);
  // Reads until `count` bytes came, the connection ended or the bound passed.
  Bytes Read(std::size_t count, std::chrono::milliseconds bound = std::chrono::seconds(20));
  // True once the server has closed the connection (end of stream or reset) within the
  // bound; bytes that arrive meanwhile are dropped.
  bool WaitClosed(std::chrono::milliseconds bound = std::chrono::seconds(20));
  // Bytes sent that the server's end has not acknowledged yet: 0 once everything sent
  // waits in the server's socket (or has been read).
  std::size_t Unacknowledged() const;
  // Closes with a reset instead of an orderly end.
  void Reset();

 private:
  int m_fd = -1;
};

// Writes a byte to the port's `local` end until `device` receives one: from then on it is
// registered (only a registered device gets port data). False if that never happens.
template <typename Device>
bool WaitRegistered(LocalEnd& local, Device& device) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (!local.Write(Text("?"))) return false;
    if (!device.Read(1, std::chrono::milliseconds(200)).empty()) return true;
  }
  return false;
}

// The 21-byte registration of a device number, with a phone number and an address.
Bytes Registration(std::uint32_t number, const char* phone = "13912345678");
