#pragma once

// Moving bulk data through a forwarder between a device's socket and a pty, for the
// end-to-end benchmarks.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;
inline constexpr auto kBound = std::chrono::seconds(60);
inline constexpr std::size_t kBulkBytes = 8u << 20;
inline constexpr std::size_t kBlock = 8192;

// A non-blocking TCP connection to 127.0.0.1:port without Nagle's delay; -1 on failure.
inline int ConnectTo(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

// Writes everything (false when the bound passed or the descriptor failed).
inline bool WriteAll(int fd, const unsigned char* data, std::size_t size, Clock::time_point deadline) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t put = ::write(fd, data + done, std::min(size - done, kBlock));
    if (put > 0) {
      done += static_cast<std::size_t>(put);
      continue;
    }
    if (put < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (Clock::now() > deadline) return false;
    pollfd p{fd, POLLOUT, 0};
    ::poll(&p, 1, 100);
  }
  return true;
}

// Reads `size` bytes into `out` (false when the bound passed or the descriptor failed).
inline bool ReadAll(int fd, unsigned char* out, std::size_t size, Clock::time_point deadline) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::read(fd, out + done, size - done);
    if (got > 0) {
      done += static_cast<std::size_t>(got);
      continue;
    }
    if (got == 0 || (errno != EAGAIN && errno != EINTR)) return false;
    if (Clock::now() > deadline) return false;
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, 100);
  }
  return true;
}

// MB/s moving kBulkBytes from `from` to `to`, checked byte for byte; 0 on failure.
inline double Bulk(int from, int to) {
  std::vector<unsigned char> data(kBulkBytes), got(kBulkBytes);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>((i * 7) % 251);
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline = start + kBound;
  std::atomic<bool> written{false};
  std::thread writer([&] { written = WriteAll(from, data.data(), data.size(), deadline); });
  const bool read = ReadAll(to, got.data(), got.size(), deadline);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  writer.join();
  if (!written || !read || got != data) return 0;
  return static_cast<double>(kBulkBytes) / seconds / 1e6;
}
