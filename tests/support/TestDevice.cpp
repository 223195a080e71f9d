#include "TestDevice.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "protocol/RegistrationPacket.h"

TestDevice::TestDevice(std::uint16_t port, const char* source) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  if (source != nullptr) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (::inet_pton(AF_INET, source, &local.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      ::close(fd);
      return;
    }
  }
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(port);
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0 ||
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
    ::close(fd);
    return;
  }
  m_fd = fd;
}

TestDevice::~TestDevice() {
  if (m_fd >= 0) ::close(m_fd);
}

bool TestDevice::Send(const Bytes& data) { return WriteAllWithin(m_fd, data, true); }

Bytes TestDevice::Read(std::size_t count, std::chrono::milliseconds bound) { return ReadUpTo(m_fd, count, bound); }

bool TestDevice::WaitClosed(std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  unsigned char buffer[4096];
  while (std::chrono::steady_clock::now() < deadline) {
    const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return true;
    if (n > 0) continue;
    pollfd fd{m_fd, POLLIN, 0};
    ::poll(&fd, 1, 100);
  }
  return false;
}

std::size_t TestDevice::Unacknowledged() const {
  int queued = 0;
  if (m_fd < 0 || ::ioctl(m_fd, SIOCOUTQ, &queued) != 0) return 0;
  return static_cast<std::size_t>(queued);
}

void TestDevice::Reset() {
  if (m_fd < 0) return;
  const linger option{1, 0};
  ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
  ::close(m_fd);
  m_fd = -1;
}

Bytes Registration(std::uint32_t number, const char* phone) {
  RegistrationPacket packet{};
  BuildRegistrationPacket(number, phone, "10.1.2.3", packet);
  return Bytes(packet.begin(), packet.end());
}
