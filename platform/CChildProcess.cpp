#include "platform/CChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

extern char** environ;

namespace {

// Frees the spawn attributes and file actions on every path out.
struct SpawnSetup {
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
  SpawnSetup() {
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_init(&actions);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

}  // namespace

std::unique_ptr<CChildProcess> CChildProcess::Start(const std::string& path, const Environment& environment,
                                                    std::string& error) {
  std::set<std::string> names;
  std::vector<std::string> entries;
  for (const auto& [name, value] : environment) {
    names.insert(name);
    entries.push_back(name + "=" + value);
  }
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const char* equals = std::strchr(*entry, '=');
    if (equals == nullptr || names.count(std::string(*entry, static_cast<std::size_t>(equals - *entry))) == 0) entries.emplace_back(*entry);
  }
  std::vector<char*> envp;
  for (std::string& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string program = path;
  char* argv[] = {program.data(), nullptr};

  SpawnSetup setup;
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  // The caller's threads block the signals a watcher takes, and the service ignores
  // SIGPIPE: neither must reach the program.
  posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&setup.attributes, 0);
  posix_spawnattr_setsigmask(&setup.attributes, &none);
  posix_spawnattr_setsigdefault(&setup.attributes, &all);
  posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  pid_t pid = 0;
  if (const int failed = posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attributes, argv, envp.data());
      failed != 0) {
    error = std::strerror(failed);
    return nullptr;
  }
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) {
    error = std::string("cannot watch it: ") + std::strerror(errno);
    kill(-pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return nullptr;
  }
  fcntl(pidfd, F_SETFD, FD_CLOEXEC);
  return std::unique_ptr<CChildProcess>(new CChildProcess(pid, pidfd));
}

CChildProcess::~CChildProcess() {
  if (!m_ended) {
    Kill();
    waitpid(m_pid, nullptr, 0);
  }
  close(m_pidfd);
}

bool CChildProcess::Ended(std::string& how) {
  if (m_ended) return true;
  int status = 0;
  const pid_t reaped = waitpid(m_pid, &status, WNOHANG);
  if (reaped != m_pid) return false;
  m_ended = true;
  if (WIFEXITED(status)) {
    m_succeeded = WEXITSTATUS(status) == 0;
    how = "exited with code " + std::to_string(WEXITSTATUS(status));
  } else if (WIFSIGNALED(status)) {
    how = "was ended by signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
  } else {
    how = "ended";
  }
  return true;
}

void CChildProcess::Kill() {
  // The group: a script's own children (a mailer it started) go with it.
  if (!m_ended) kill(-m_pid, SIGKILL);
}
