#include "platform/CNamedEventHost.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr char kFolderName[] = ".vantrel-events";
constexpr char kSocketName[] = "socket";
// The answer to a signaller that is neither this instance's user nor root.
constexpr char kRefused = '3';

std::string FolderPath(const std::string& applicationDirectory) { return applicationDirectory + "/" + kFolderName; }

std::string Reason(const std::string& what, int error) { return what + ": " + std::strerror(error); }

// The socket's address through the open folder: short whatever the directory's length,
// and it names the folder that was checked, whatever the path names by then.
sockaddr_un AddressIn(int folder, socklen_t& length) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const int size = std::snprintf(address.sun_path, sizeof address.sun_path, "/proc/self/fd/%d/%s", folder, kSocketName);
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + static_cast<std::size_t>(size) + 1);
  return address;
}

// "user NAME", or "user UID" for an ID without a name.
std::string UserText(uid_t uid) {
  passwd entry{};
  passwd* found = nullptr;
  char buffer[1024];
  if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
    return std::string("user ") + found->pw_name;
  return "user " + std::to_string(uid);
}

// `user` empty when it cannot be told.
std::string OtherUsersInstance(const std::string& applicationDirectory, const std::string& user) {
  return "the Vantrel instance with the application directory " + applicationDirectory + " belongs to another user" +
         (user.empty() ? "" : " (" + user + ")") + " and cannot be reached by this user: signal it as that user or as root";
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
  // Only the holder of the lock may remove the socket: another instance's is not ours.
  if (m_locked) unlinkat(m_folder, kSocketName, 0);
  if (m_listener >= 0) close(m_listener);
  if (m_wake >= 0) close(m_wake);
  if (m_folder >= 0) close(m_folder);
}

bool CNamedEventHost::Listen(std::string& error) {
  const std::string folder = FolderPath(m_applicationDirectory);
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    error = Reason("cannot make the signal folder " + folder, errno);
    return false;
  }
  m_folder = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  const int openError = errno;
  struct stat status {};
  // A folder this user may not open still tells its owner.
  const bool known = m_folder >= 0 ? fstat(m_folder, &status) == 0 : lstat(folder.c_str(), &status) == 0;
  // Another user can make the folder only where everyone may write (as in /tmp); there
  // they could as well replace Info.db, so the directory must be fixed, not worked around.
  if (known && status.st_uid != geteuid()) {
    error = "the signal folder " + folder + " belongs to user " + std::to_string(status.st_uid) +
            ", not to this program's user: other users may write in " + m_applicationDirectory +
            "; remove the folder and let only the service's user write there";
    return false;
  }
  if (m_folder < 0 || !known) {
    error = Reason("cannot open the signal folder " + folder, m_folder < 0 ? openError : errno);
    return false;
  }
  if (fchmod(m_folder, 0700) != 0) {
    error = Reason("cannot make the signal folder " + folder + " private", errno);
    return false;
  }
  if (flock(m_folder, LOCK_EX | LOCK_NB) != 0) {
    error = errno == EWOULDBLOCK ? "another instance already runs with the application directory " +
                                       m_applicationDirectory
                                 : Reason("cannot lock the signal folder " + folder, errno);
    return false;
  }
  m_locked = true;
  // What an instance that crashed left behind.
  if (unlinkat(m_folder, kSocketName, 0) != 0 && errno != ENOENT) {
    error = Reason("cannot remove the old signal socket in " + folder, errno);
    return false;
  }
  m_listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  m_wake = eventfd(0, EFD_CLOEXEC);
  if (m_listener < 0 || m_wake < 0) {
    error = Reason("cannot create the signal socket", errno);
    return false;
  }
  socklen_t length = 0;
  const sockaddr_un address = AddressIn(m_folder, length);
  if (bind(m_listener, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    error = Reason("cannot bind the signal socket in " + folder, errno);
    return false;
  }
  if (listen(m_listener, 8) != 0) {
    error = Reason("cannot listen on the signal socket", errno);
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
  char answer = kRefused;
  if (SameUserOrRoot(connection)) {
    answer = '2';
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
  const std::string notRunning = "no Vantrel instance runs with the application directory " + applicationDirectory;
  // The folder's owner is the user the instance runs as; its path can be looked at even
  // where the folder cannot be entered.
  struct stat status {};
  const std::string otherUser = OtherUsersInstance(
      applicationDirectory, lstat(FolderPath(applicationDirectory).c_str(), &status) == 0 ? UserText(status.st_uid) : "");
  const int folder = open(FolderPath(applicationDirectory).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) {
    error = errno == EACCES ? otherUser : notRunning;
    return 1;
  }
  const int connection = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connection < 0) {
    error = Reason("cannot create a socket", errno);
    close(folder);
    return 1;
  }
  socklen_t length = 0;
  const sockaddr_un address = AddressIn(folder, length);
  const bool connected = connect(connection, reinterpret_cast<const sockaddr*>(&address), length) == 0;
  const int reason = errno;
  close(folder);
  if (!connected) {
    close(connection);
    error = reason == EACCES ? otherUser : notRunning;
    return 1;
  }
  timeval timeout{5, 0};
  setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  char answer = 0;
  const bool sent = send(connection, name.data(), name.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(name.size());
  shutdown(connection, SHUT_WR);
  const bool answered = sent && recv(connection, &answer, 1, 0) == 1;
  ucred peer{};
  socklen_t size = sizeof peer;
  const bool peerKnown = getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0;
  close(connection);
  if (!answered) {
    error = "the Vantrel instance did not answer";
    return 1;
  }
  if (answer == kRefused) {
    error = OtherUsersInstance(applicationDirectory, peerKnown ? UserText(peer.uid) : "");
    return 1;
  }
  if (answer != '0') {
    error = "the Vantrel instance does not know the event " + name;
    return 2;
  }
  return 0;
}
