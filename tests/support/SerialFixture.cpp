#include "SerialFixture.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

LocalEnd::LocalEnd(const std::string& path) {
  m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  termios line{};
  if (m_fd >= 0 && ::tcgetattr(m_fd, &line) == 0) {
    ::cfmakeraw(&line);
    ::tcsetattr(m_fd, TCSANOW, &line);
  }
}

LocalEnd::~LocalEnd() {
  if (m_fd >= 0) ::close(m_fd);
}

bool WriteAllWithin(int fd, const Bytes& data, bool socket) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  std::size_t done = 0;
  while (done < data.size()) {
    // A socket is written with send, so that a closed peer gives EPIPE, not SIGPIPE.
    const ssize_t put = socket ? ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL)
                               : ::write(fd, data.data() + done, data.size() - done);
    if (put > 0) {
      done += static_cast<std::size_t>(put);
      continue;
    }
    if (put < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() > deadline) return false;
    pollfd ready{fd, POLLOUT, 0};
    ::poll(&ready, 1, 100);
  }
  return true;
}

Bytes ReadUpTo(int fd, std::size_t count, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  Bytes got;
  unsigned char buffer[65536];
  while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
    const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, count - got.size()));
    if (n > 0) {
      got.insert(got.end(), buffer, buffer + n);
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) break;
    pollfd ready{fd, POLLIN, 0};
    ::poll(&ready, 1, 100);
  }
  return got;
}

bool LocalEnd::Write(const Bytes& data) { return WriteAllWithin(m_fd, data, false); }

Bytes LocalEnd::Read(std::size_t count, std::chrono::milliseconds bound) { return ReadUpTo(m_fd, count, bound); }

Bytes Pattern(std::size_t count, unsigned seed) {
  Bytes data(count);
  for (std::size_t i = 0; i < count; ++i) data[i] = static_cast<unsigned char>((i * 7 + seed) % 251);
  return data;
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t to) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.begin() + static_cast<std::ptrdiff_t>(to));
}

std::size_t ThreadCount() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
  return count;
}
