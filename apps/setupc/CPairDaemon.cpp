#include "CPairDaemon.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/AppPaths.h"
#include "platform/CNullModemPair.h"

namespace {

// What the holder tells its launcher, in one write (smaller than PIPE_BUF, so atomic).
struct Report {
  int error;
  char pathA[64];
  char pathB[64];
  char message[200];
};

void SendReport(int fd, int error, const char* message, const std::string& pathA = {}, const std::string& pathB = {}) {
  Report report{};
  report.error = error;
  std::snprintf(report.pathA, sizeof report.pathA, "%s", pathA.c_str());
  std::snprintf(report.pathB, sizeof report.pathB, "%s", pathB.c_str());
  std::snprintf(report.message, sizeof report.message, "%s", message);
  ssize_t put;
  do put = ::write(fd, &report, sizeof report);
  while (put < 0 && errno == EINTR);
}

// Standard streams to /dev/null (stderr to the log) and every other inherited descriptor
// closed, except the report pipe, which is returned (moved above the standard streams).
int Detach(int reportFd, const std::string& directory) {
  const int report = ::fcntl(reportFd, F_DUPFD_CLOEXEC, 3);
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  const std::string logPath = directory + "/.setupc.log";
  const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, DataFileMode(directory));
  if (report < 0 || null < 0) return -1;
  ::dup2(null, STDIN_FILENO);
  ::dup2(null, STDOUT_FILENO);
  ::dup2(log >= 0 ? log : null, STDERR_FILENO);
  if (report > 3) ::close_range(3, static_cast<unsigned>(report) - 1, 0);
  ::close_range(static_cast<unsigned>(report) + 1, UINT_MAX, 0);
  return report;
}

// Through syscall(): this C library declares the wrappers without C linkage.
int OpenPidFd(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

int SendSignal(int pidFd, int signal) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidFd, signal, nullptr, 0));
}

// The holder's stderr is the port directory's log.
void WithdrawOrSay(const CPairRecord& record) {
  if (!record.Withdraw())
    std::fprintf(stderr, "setupc: cannot remove the record of %s <-> %s: %s\n", record.nameA.c_str(),
                 record.nameB.c_str(), std::strerror(errno));
}

// 0, or the errno of a group or mode that cannot be set (ENOENT: no such group).
int ApplyAccess(const std::string& path, const CPairRecord::Access& access) {
  if (!access.group.empty()) {
    errno = 0;
    const group* entry = ::getgrnam(access.group.c_str());
    if (entry == nullptr) return errno != 0 ? errno : ENOENT;
    if (::chown(path.c_str(), static_cast<uid_t>(-1), entry->gr_gid) != 0) return errno;
  }
  if (access.mode != 0 && ::chmod(path.c_str(), static_cast<mode_t>(access.mode)) != 0) return errno;
  return 0;
}

bool CanOpen(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

}  // namespace

CPairDaemon::Result CPairDaemon::Launch(const std::string& directory, const std::string& nameA,
                                        const CPairRecord::Access& accessA, const std::string& nameB,
                                        const CPairRecord::Access& accessB) {
  CPairRecord wanted;
  wanted.nameA = nameA;
  wanted.nameB = nameB;
  wanted.accessA = accessA;
  wanted.accessB = accessB;
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return {errno, "cannot make a pipe to the background process", {}, {}};
  const pid_t child = ::fork();
  if (child < 0) {
    const int error = errno;
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    return {error, "cannot start the background process", {}, {}};
  }
  if (child == 0) {
    // A second fork in a new session: the holder is no session leader, so it can never
    // gain a controlling terminal, and it is nobody's child to wait for.
    ::close(pipeFds[0]);
    if (::setsid() < 0) {
      SendReport(pipeFds[1], errno, "cannot start a new session for the background process");
      ::_exit(1);
    }
    const pid_t holder = ::fork();
    if (holder < 0) SendReport(pipeFds[1], errno, "cannot start the background process");
    if (holder != 0) ::_exit(holder < 0 ? 1 : 0);
    Run(pipeFds[1], directory, wanted);
  }
  ::close(pipeFds[1]);
  while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  Report report{};
  std::size_t got = 0;
  while (got < sizeof report) {
    const ssize_t n = ::read(pipeFds[0], reinterpret_cast<char*>(&report) + got, sizeof report - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(pipeFds[0]);
  if (got < sizeof report) return {EIO, "the background process ended before the pair was ready", {}, {}};
  return {report.error, report.message, report.pathA, report.pathB};
}

void CPairDaemon::Run(int reportFd, const std::string& directory, CPairRecord record) {
  const int report = Detach(reportFd, directory);
  if (report < 0) {
    SendReport(reportFd, errno, "cannot detach the background process");
    ::_exit(1);
  }
  if (::chdir("/") != 0) {
    SendReport(report, errno, "cannot leave the working directory");
    ::_exit(1);
  }
  // Blocked before the bridge thread starts, so that only sigwait below takes them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  ::pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  CNullModemPair pair;
  auto giveUp = [&](int error, const char* message) {
    pair.TearDown();
    WithdrawOrSay(record);
    SendReport(report, error, message);
    ::_exit(1);
  };
  if (!pair.Create()) giveUp(pair.LastError(), "cannot create the pseudo-terminals");
  record.pid = ::getpid();
  record.pathA = pair.PathA();
  record.pathB = pair.PathB();
  if (const int error = ApplyAccess(record.pathA, record.accessA); error != 0)
    giveUp(error, ("cannot give " + record.nameA + " its group or mode").c_str());
  if (const int error = ApplyAccess(record.pathB, record.accessB); error != 0)
    giveUp(error, ("cannot give " + record.nameB + " its group or mode").c_str());
  const int lock = record.Publish(directory);
  if (lock < 0) giveUp(errno, "cannot write the pair's record in the port directory");
  if (!pair.Link(directory, record.nameA, record.nameB)) giveUp(pair.LastError(), "cannot link the names in the port directory");
  if (!CanOpen(directory + "/" + record.nameA) || !CanOpen(directory + "/" + record.nameB))
    giveUp(errno, "the new ends cannot be opened");
  SendReport(report, 0, "", record.pathA, record.pathB);
  ::close(report);

  int signal = SIGHUP;
  while (signal == SIGHUP) {
    if (::sigwait(&stopSignals, &signal) != 0) signal = SIGTERM;
  }
  pair.TearDown();
  WithdrawOrSay(record);
  ::close(lock);
  ::_exit(0);
}

int CPairDaemon::Stop(const CPairRecord& record, std::chrono::milliseconds bound) {
  // The pidfd is taken before the lock is checked: a held lock then proves that the
  // pidfd names the holder itself, not a later process that got its number.
  const int holder = OpenPidFd(record.pid);
  if (holder < 0 && errno != ESRCH) return errno;
  if (holder < 0 || !record.HolderAlive()) {
    if (holder >= 0) ::close(holder);
    return record.RemoveStale() ? 0 : errno;
  }
  if (SendSignal(holder, SIGTERM) != 0 && errno != ESRCH) {
    const int error = errno;
    ::close(holder);
    return error;
  }
  pollfd ended{holder, POLLIN, 0};
  int ready;
  do ready = ::poll(&ended, 1, static_cast<int>(bound.count()));
  while (ready < 0 && errno == EINTR);
  ::close(holder);
  if (ready == 0) return ETIMEDOUT;
  return record.RemoveStale() ? 0 : errno;
}
