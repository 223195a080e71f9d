#include "platform/CNamedEventHost.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <system_error>

namespace {

// An abstract-namespace address: nothing is left behind in the file system when an
// instance dies, so a crashed instance never blocks the next one.
sockaddr_un AddressFor(const std::string& applicationDirectory, socklen_t& length) {
  std::error_code error;
  std::string key = std::filesystem::weakly_canonical(applicationDirectory, error).string();
  if (error || key.empty()) key = applicationDirectory;
  std::string name = "vantrel-events:" + key;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (name.size() > sizeof address.sun_path - 1) {
    char hashed[64];
    std::snprintf(hashed, sizeof hashed, "vantrel-events#%zx", std::hash<std::string>{}(key));
    name = hashed;
  }
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  return address;
}

bool SameUserOrRoot(int connection) {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
  return peer.uid == getuid() || peer.uid == 0;
}

}  // namespace

CNamedEventHost::CNamedEventHost(std::string applicationDirectory)
    : m_applicationDirectory(std::move(applicationDirectory)) {}

CNamedEventHost::~CNamedEventHost() {
  if (m_thread.joinable()) {
    const std::uint64_t one = 1;
    // An eventfd write fails only when its counter would overflow; one write cannot.
    [[maybe_unused]] const ssize_t written = write(m_wake, &one, sizeof one);
    m_thread.join();
  }
  if (m_listener >= 0) close(m_listener);
  if (m_wake >= 0) close(m_wake);
}

bool CNamedEventHost::Listen(std::string& error) {
  socklen_t length = 0;
  const sockaddr_un address = AddressFor(m_applicationDirectory, length);
  m_listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  m_wake = eventfd(0, EFD_CLOEXEC);
  if (m_listener < 0 || m_wake < 0) {
    error = std::string("cannot create the signal socket: ") + std::strerror(errno);
    return false;
  }
  if (bind(m_listener, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    error = errno == EADDRINUSE ? "another instance already runs with the application directory " +
                                      m_applicationDirectory
                                : std::string("cannot bind the signal socket: ") + std::strerror(errno);
    return false;
  }
  if (listen(m_listener, 8) != 0) {
    error = std::string("cannot listen on the signal socket: ") + std::strerror(errno);
    return false;
  }
  m_thread = std::thread([this] { Serve(); });
  return true;
}

void CNamedEventHost::Add(const std::string& name, Sockora::Win32::CEvent& event) {
  std::lock_guard lock(m_mutex);
  m_events[name] = &event;
}

void CNamedEventHost::Serve() {
  for (;;) {
    pollfd fds[2] = {{m_listener, POLLIN, 0}, {m_wake, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if (fds[0].revents == 0) continue;
    const int connection = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    Answer(connection);
    close(connection);
  }
}

void CNamedEventHost::Answer(int connection) {
  // A signaller writes the name and shuts its side; a bounded wait keeps a silent peer
  // from blocking every later signal.
  timeval timeout{2, 0};
  setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  char answer = '2';
  if (SameUserOrRoot(connection)) {
    std::string name;
    char buffer[256];
    ssize_t got;
    while (name.size() < 256 && (got = recv(connection, buffer, sizeof buffer, 0)) > 0) name.append(buffer, static_cast<std::size_t>(got));
    std::lock_guard lock(m_mutex);
    auto it = m_events.find(name);
    if (it != m_events.end()) {
      it->second->Set();
      answer = '0';
    }
  }
  send(connection, &answer, 1, MSG_NOSIGNAL);
}

int CNamedEventHost::Signal(const std::string& applicationDirectory, const std::string& name, std::string& error) {
  socklen_t length = 0;
  const sockaddr_un address = AddressFor(applicationDirectory, length);
  const int connection = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connection < 0) {
    error = std::string("cannot create a socket: ") + std::strerror(errno);
    return 1;
  }
  if (connect(connection, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    close(connection);
    error = "no Vantrel instance runs with the application directory " + applicationDirectory;
    return 1;
  }
  timeval timeout{5, 0};
  setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  char answer = 0;
  const bool sent = send(connection, name.data(), name.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(name.size());
  shutdown(connection, SHUT_WR);
  const bool answered = sent && recv(connection, &answer, 1, 0) == 1;
  close(connection);
  if (!answered) {
    error = "the Vantrel instance did not answer";
    return 1;
  }
  if (answer != '0') {
    error = "the Vantrel instance does not know the event " + name;
    return 2;
  }
  return 0;
}
