#include "platform/CServiceManagerNotify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

std::optional<unsigned long long> NumberIn(const char* text) {
  if (text == nullptr || *text == '\0') return std::nullopt;
  unsigned long long value = 0;
  const char* end = text + std::strlen(text);
  const auto [stop, problem] = std::from_chars(text, end, value);
  if (problem != std::errc() || stop != end) return std::nullopt;
  return value;
}

}  // namespace

CServiceManagerNotify::CServiceManagerNotify() {
  if (const char* name = std::getenv("NOTIFY_SOCKET")) m_socketName = name;
  const std::optional<unsigned long long> usec = NumberIn(std::getenv("WATCHDOG_USEC"));
  const char* pidText = std::getenv("WATCHDOG_PID");
  const std::optional<unsigned long long> pid = NumberIn(pidText);
  const bool forThisProcess = pidText == nullptr || (pid && *pid == static_cast<unsigned long long>(getpid()));
  if (usec && *usec > 0 && forThisProcess) m_watchdog = std::chrono::microseconds(*usec);
}

bool CServiceManagerNotify::Notify(const std::string& message, std::string& error) const {
  if (m_socketName.empty()) return true;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (m_socketName.size() < 2 || (m_socketName[0] != '/' && m_socketName[0] != '@') ||
      m_socketName.size() >= sizeof address.sun_path) {
    error = "NOTIFY_SOCKET is neither a path nor an abstract name that fits a socket address: " + m_socketName;
    return false;
  }
  std::memcpy(address.sun_path, m_socketName.data(), m_socketName.size());
  // An abstract name starts with a zero byte and has no terminating one.
  if (m_socketName[0] == '@') address.sun_path[0] = '\0';
  const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + m_socketName.size() +
                                                  (m_socketName[0] == '@' ? 0 : 1));
  const int sender = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sender < 0) {
    error = std::string("cannot create a socket for NOTIFY_SOCKET: ") + std::strerror(errno);
    return false;
  }
  const bool sent = sendto(sender, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address),
                           length) == static_cast<ssize_t>(message.size());
  if (!sent) error = "cannot write to NOTIFY_SOCKET " + m_socketName + ": " + std::strerror(errno);
  close(sender);
  return sent;
}
