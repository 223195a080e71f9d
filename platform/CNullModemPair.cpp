#include "platform/CNullModemPair.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

#include "platform/WriteDebugLine.h"

namespace {

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Bytes on their way from one master to the other. Read only when empty, so a slow
// reader holds the writer back through the pty buffers.
struct Lane {
  int from;
  int to;
  unsigned char buffer[4096] = {};
  ssize_t length = 0;
  ssize_t offset = 0;
};

// Moves what it can; false when a master failed for good (errno kept).
bool Move(Lane& lane, short fromEvents, short toEvents) {
  if (lane.length == 0 && (fromEvents & POLLIN) != 0) {
    const ssize_t got = ::read(lane.from, lane.buffer, sizeof lane.buffer);
    if (got > 0) {
      lane.length = got;
      lane.offset = 0;
    } else if (got < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    }
  }
  if (lane.length > 0 && (toEvents & POLLOUT) != 0) {
    const ssize_t put = ::write(lane.to, lane.buffer + lane.offset, static_cast<size_t>(lane.length - lane.offset));
    if (put > 0) {
      lane.offset += put;
      if (lane.offset == lane.length) lane.length = lane.offset = 0;
    } else if (put < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    }
  }
  return true;
}

}  // namespace

CNullModemPair::~CNullModemPair() { TearDown(); }

bool CNullModemPair::Fail(int error) {
  m_lastError = error;
  TearDown();
  return false;
}

// The slave is held open in raw mode so that nothing is echoed back into the cable and a
// program opening the end later finds it clean.
bool CNullModemPair::OpenEnd(int& master, int& slave, std::string& path) {
  master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return false;
  char name[128];
  if (::ptsname_r(master, name, sizeof name) != 0) return false;
  path = name;
  slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (slave < 0) return false;
  termios line{};
  if (::tcgetattr(slave, &line) != 0) return false;
  ::cfmakeraw(&line);
  line.c_cflag |= CLOCAL | CREAD;
  return ::tcsetattr(slave, TCSANOW, &line) == 0;
}

bool CNullModemPair::Create() {
  TearDown();
  if (!OpenEnd(m_masterA, m_slaveA, m_pathA) || !OpenEnd(m_masterB, m_slaveB, m_pathB)) return Fail(errno);
  m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m_wakeFd < 0) return Fail(errno);
  try {
    m_bridge = std::thread([this] { Bridge(); });
  } catch (const std::system_error& error) {
    return Fail(error.code().value());
  }
  return true;
}

void CNullModemPair::Bridge() {
  Lane toB{m_masterA, m_masterB};
  Lane toA{m_masterB, m_masterA};
  for (;;) {
    pollfd fds[3] = {
        {m_wakeFd, POLLIN, 0},
        {m_masterA, static_cast<short>((toB.length == 0 ? POLLIN : 0) | (toA.length > 0 ? POLLOUT : 0)), 0},
        {m_masterB, static_cast<short>((toA.length == 0 ? POLLIN : 0) | (toB.length > 0 ? POLLOUT : 0)), 0},
    };
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      WriteDebugLine("[ERROR]", "CNullModemPair: poll failed (errno %d)\n", errno);
      return;
    }
    if (fds[0].revents != 0) return;
    if (!Move(toB, fds[1].revents, fds[2].revents) || !Move(toA, fds[2].revents, fds[1].revents)) {
      WriteDebugLine("[ERROR]", "CNullModemPair: bridge between %s and %s failed (errno %d)\n", m_pathA.c_str(),
                     m_pathB.c_str(), errno);
      return;
    }
  }
}

bool CNullModemPair::Link(const std::string& directory, const std::string& nameA, const std::string& nameB) {
  std::vector<std::pair<std::string, std::string>> made;
  for (const auto& [name, end] : {std::pair{nameA, m_pathA}, std::pair{nameB, m_pathB}}) {
    if (name.empty()) continue;
    const std::string link = directory + "/" + name;
    if (::symlink(end.c_str(), link.c_str()) != 0) {
      m_lastError = errno;
      for (const auto& undo : made) ::unlink(undo.first.c_str());
      return false;
    }
    made.emplace_back(link, end);
  }
  m_links.insert(m_links.end(), made.begin(), made.end());
  return true;
}

void CNullModemPair::TearDown() {
  // The links go first: once an end is closed its pty number may go to another program,
  // and a link must never lead there.
  for (const auto& [link, end] : m_links) {
    char target[256];
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
    if (length > 0 && std::string(target, static_cast<size_t>(length)) == end && ::unlink(link.c_str()) != 0 &&
        errno != ENOENT)
      WriteDebugLine("[ERROR]", "CNullModemPair: cannot remove %s (errno %d)\n", link.c_str(), errno);
  }
  m_links.clear();
  if (m_bridge.joinable()) {
    const std::uint64_t one = 1;
    if (::write(m_wakeFd, &one, sizeof one) < 0)
      WriteDebugLine("[ERROR]", "CNullModemPair: waking the bridge failed (errno %d)\n", errno);
    m_bridge.join();
  }
  // The masters go last: closing one hangs its end up for whoever still holds it.
  CloseFd(m_wakeFd);
  CloseFd(m_slaveA);
  CloseFd(m_slaveB);
  CloseFd(m_masterA);
  CloseFd(m_masterB);
  m_pathA.clear();
  m_pathB.clear();
}
