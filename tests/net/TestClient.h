#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

// A blocking TCP client on 127.0.0.1 whose receives give up after `timeoutSeconds`, so a
// test that waits for data fails instead of hanging.
class TestClient {
 public:
  explicit TestClient(std::uint16_t port, int receiveBufferBytes = 0, int timeoutSeconds = 20) {
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBufferBytes > 0)
      ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
    timeval timeout{timeoutSeconds, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    m_connected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    m_connectError = m_connected ? 0 : errno;
  }
  ~TestClient() { Close(); }
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  bool Connected() const { return m_connected; }
  int ConnectError() const { return m_connectError; }

  bool Send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t sent = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (sent <= 0) return false;
      done += static_cast<std::size_t>(sent);
    }
    return true;
  }

  // Up to `count` bytes, stopping early at end of stream, an error or the time-out.
  std::string Receive(std::size_t count) {
    std::string data;
    char chunk[65536];
    while (data.size() < count) {
      const ssize_t got = ::recv(m_fd, chunk, std::min(sizeof chunk, count - data.size()), 0);
      if (got <= 0) break;
      data.append(chunk, static_cast<std::size_t>(got));
    }
    return data;
  }

  // 0 when the peer closed its side in order, else the errno of the receive (EAGAIN:
  // nothing within the time-out, ECONNRESET: reset). Anything still unread is discarded.
  int ReceiveEnd() {
    char chunk[65536];
    for (;;) {
      const ssize_t got = ::recv(m_fd, chunk, sizeof chunk, 0);
      if (got == 0) return 0;
      if (got < 0) return errno;
    }
  }

  void Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
  }

  // Closes with a reset instead of an orderly end.
  void Reset() {
    const linger option{1, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
    Close();
  }

 private:
  int m_fd = -1;
  bool m_connected = false;
  int m_connectError = 0;
};
