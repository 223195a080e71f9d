#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

// A loopback port that nobody listens on right now (the system's choice for port 0).
inline std::uint16_t FreePort() {
  const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(probe);
  return ntohs(address.sin_port);
}

// A loopback port that this test listens on, so that a service cannot take it; closed with
// the object.
class TakenPort {
 public:
  TakenPort() : m_fd(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(m_fd, 1) == 0 &&
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
      m_port = ntohs(address.sin_port);
  }
  ~TakenPort() { ::close(m_fd); }
  TakenPort(const TakenPort&) = delete;
  TakenPort& operator=(const TakenPort&) = delete;

  // 0 when the port could not be taken.
  std::uint16_t Port() const { return m_port; }

 private:
  int m_fd;
  std::uint16_t m_port = 0;
};
