#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

// A program run without a shell: argv is its path alone, standard input /dev/null, output
// and errors the caller's, the caller's environment with some variables set. It gets a
// process group of its own, so that ending it ends what it started too, default signal
// handling and no blocked signals. Its end is seen through a descriptor. Owner's thread.
class CChildProcess {
 public:
  using Environment = std::vector<std::pair<std::string, std::string>>;

  // The running program, or null with the reason in `error`.
  static std::unique_ptr<CChildProcess> Start(const std::string& path, const Environment& environment,
                                              std::string& error);
  // Ends the process group of a program still running and collects it.
  ~CChildProcess();
  CChildProcess(const CChildProcess&) = delete;
  CChildProcess& operator=(const CChildProcess&) = delete;

  // Readable (poll) once the program has ended.
  int EndDescriptor() const { return m_pidfd; }
  // True once the program has ended; `how` then says how ("exited with code 3", "was
  // ended by signal 9"), and Succeeded whether it exited with 0. Does not wait.
  bool Ended(std::string& how);
  bool Succeeded() const { return m_succeeded; }
  // Sends SIGKILL to its process group.
  void Kill();

 private:
  CChildProcess(pid_t pid, int pidfd) : m_pid(pid), m_pidfd(pidfd) {}

  pid_t m_pid;
  int m_pidfd;
  bool m_ended = false;
  bool m_succeeded = false;
};
