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
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/CMessageQueue.h"

namespace {

constexpr char kFolderName[] = ".vantrel-events";
constexpr char kSocketName[] = "socket";
// The first byte of an answer: done (a request's reply follows), unknown name, or refused
// to a client that is neither this instance's user nor root.
constexpr char kKnown = '0';
constexpr char kUnknown = '2';
constexpr char kRefused = '3';
// A request begins with a zero byte, which no event name holds; a zero byte also ends its name.
constexpr char kRequestMark = '\0';
constexpr std::size_t kMaxMessageBytes = 2 + CNamedEventHost::kMaxNameBytes + CNamedEventHost::kMaxArgumentBytes;
constexpr unsigned kSignalWaitMs = 5000;
constexpr int kNotRunning = 3;

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
    // A request's handler may be waiting for this thread.
    if (const auto queue = CMessageQueue::IfThisThreadHasOne())
      queue->WaitHandlingMessages(m_served, Sockora::Win32::INFINITE);
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
  m_thread = std::thread([this] {
    Serve();
    m_served.Set();
  });
  return true;
}

void CNamedEventHost::Add(const std::string& name, Sockora::Win32::CEvent& event) {
  std::lock_guard lock(m_mutex);
  m_events[name] = &event;
}

void CNamedEventHost::AddRequest(const std::string& name, RequestHandler handler) {
  std::lock_guard lock(m_mutex);
  m_requests[name] = std::make_shared<const RequestHandler>(std::move(handler));
}

void CNamedEventHost::Remove(const std::string& name) {
  {
    std::lock_guard lock(m_mutex);
    m_events.erase(name);
    m_requests.erase(name);
    if (m_calling != name) return;
  }
  // The handler may be waiting for this very thread.
  if (const auto queue = CMessageQueue::IfThisThreadHasOne())
    queue->WaitHandlingMessages(m_callEnded, Sockora::Win32::INFINITE);
  else
    m_callEnded.Wait(Sockora::Win32::INFINITE);
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

std::optional<CNamedEventHost::Reply> CNamedEventHost::Call(const std::string& name, const std::string& argument) {
  std::shared_ptr<const RequestHandler> handler;
  {
    std::lock_guard lock(m_mutex);
    auto it = m_requests.find(name);
    if (it == m_requests.end()) return std::nullopt;
    handler = it->second;
    m_calling = name;
    m_callEnded.Reset();
  }
  Reply reply = (*handler)(argument);
  std::lock_guard lock(m_mutex);
  m_calling.clear();
  m_callEnded.Set();
  return reply;
}

void CNamedEventHost::Answer(int connection) {
  // A client writes its message and shuts its side; bounded waits keep a silent peer, or
  // one that does not read its reply, from blocking every later signal.
  timeval timeout{2, 0};
  setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(connection, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  std::string answer(1, kRefused);
  if (SameUserOrRoot(connection)) {
    answer = kUnknown;
    std::string message;
    char buffer[1024];
    ssize_t got;
    while (message.size() <= kMaxMessageBytes && (got = recv(connection, buffer, sizeof buffer, 0)) > 0)
      message.append(buffer, static_cast<std::size_t>(got));
    if (message.size() <= kMaxMessageBytes && !message.empty() && message[0] == kRequestMark) {
      const std::size_t end = message.find('\0', 1);
      const std::string name = message.substr(1, end == std::string::npos ? std::string::npos : end - 1);
      const std::string argument = end == std::string::npos ? std::string() : message.substr(end + 1);
      if (const std::optional<Reply> reply = Call(name, argument))
        answer = kKnown + std::to_string(reply->ExitCode) + "\n" + reply->Text;
    } else if (message.size() <= kMaxNameBytes) {
      std::lock_guard lock(m_mutex);
      auto it = m_events.find(message);
      if (it != m_events.end()) {
        it->second->Set();
        answer = kKnown;
      }
    }
  }
  std::size_t sent = 0;
  while (sent < answer.size()) {
    const ssize_t put = send(connection, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
    if (put <= 0) return;
    sent += static_cast<std::size_t>(put);
  }
}

int CNamedEventHost::Exchange(const std::string& applicationDirectory, const std::string& message, unsigned timeoutMs,
                              std::string& answer, std::string& error) {
  const std::string notRunning = "no Vantrel instance runs with the application directory " + applicationDirectory;
  // The folder's owner is the user the instance runs as; its path can be looked at even
  // where the folder cannot be entered.
  struct stat status {};
  const std::string otherUser = OtherUsersInstance(
      applicationDirectory, lstat(FolderPath(applicationDirectory).c_str(), &status) == 0 ? UserText(status.st_uid) : "");
  const int folder = open(FolderPath(applicationDirectory).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) {
    if (errno == EACCES) {
      error = otherUser;
      return 1;
    }
    error = notRunning;
    return kNotRunning;
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
    if (reason == EACCES) {
      error = otherUser;
      return 1;
    }
    error = notRunning;
    return kNotRunning;
  }
  timeval timeout{static_cast<time_t>(timeoutMs / 1000), static_cast<suseconds_t>(timeoutMs % 1000 * 1000)};
  setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  const bool sent = send(connection, message.data(), message.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(message.size());
  shutdown(connection, SHUT_WR);
  answer.clear();
  // Each read waits up to the timeout; the whole reply is bounded by the same time again.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char buffer[4096];
  ssize_t got = 0;
  while (sent && std::chrono::steady_clock::now() < deadline && (got = recv(connection, buffer, sizeof buffer, 0)) > 0)
    answer.append(buffer, static_cast<std::size_t>(got));
  const bool complete = sent && got == 0 && !answer.empty();
  ucred peer{};
  socklen_t size = sizeof peer;
  const bool peerKnown = getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0;
  close(connection);
  if (!complete) {
    error = "the Vantrel instance did not answer";
    return 1;
  }
  if (answer[0] == kRefused) {
    error = OtherUsersInstance(applicationDirectory, peerKnown ? UserText(peer.uid) : "");
    return 1;
  }
  return 0;
}

int CNamedEventHost::Signal(const std::string& applicationDirectory, const std::string& name, std::string& error) {
  std::string answer;
  if (Exchange(applicationDirectory, name, kSignalWaitMs, answer, error) != 0) return 1;
  if (answer[0] != kKnown) {
    error = "the Vantrel instance does not know the event " + name;
    return 2;
  }
  return 0;
}

int CNamedEventHost::Request(const std::string& applicationDirectory, const std::string& name,
                             const std::string& argument, Reply& reply, std::string& error, unsigned timeoutMs) {
  if (name.empty() || name.size() > kMaxNameBytes || name.find('\0') != std::string::npos ||
      argument.size() > kMaxArgumentBytes) {
    error = "not a request a Vantrel instance can take: the name must be 1 to " + std::to_string(kMaxNameBytes) +
            " bytes without a zero byte, the argument at most " + std::to_string(kMaxArgumentBytes) + " bytes";
    return 2;
  }
  std::string answer;
  if (const int failed = Exchange(applicationDirectory, kRequestMark + name + '\0' + argument, timeoutMs, answer, error))
    return failed;
  if (answer[0] != kKnown) {
    error = "the Vantrel instance does not know the request " + name;
    return 2;
  }
  const std::size_t lineEnd = answer.find('\n');
  int exitCode = 0;
  const char* digits = answer.data() + 1;
  const char* digitsEnd = answer.data() + (lineEnd == std::string::npos ? 1 : lineEnd);
  const auto [end, problem] = std::from_chars(digits, digitsEnd, exitCode);
  if (lineEnd == std::string::npos || problem != std::errc() || end != digitsEnd) {
    error = "the Vantrel instance answered the request " + name + " with something that is not a reply";
    return 1;
  }
  reply.ExitCode = exitCode;
  reply.Text = answer.substr(lineEnd + 1);
  return 0;
}
