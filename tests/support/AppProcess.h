#pragma once

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "WaitFor.h"

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// One of our programs as a process with its own application directory (ports in its
// "ports" folder), output captured in files there, with the given environment added.
class AppProcess {
 public:
  AppProcess(std::string program, const std::string& appDir, std::vector<std::pair<std::string, std::string>> environment)
      : m_program(std::move(program)), m_appDir(appDir), m_environment(std::move(environment)) {}

  // Later runs drop to this user before the program starts (the caller is root); output files
  // are still opened by the caller, so they work in a directory the user cannot write.
  void RunAs(uid_t uid, gid_t gid) {
    m_uid = uid;
    m_gid = gid;
  }

  // Runs a command to its end, its output added to the files; returns the exit code.
  int Run(const std::string& arguments) {
    const pid_t pid = Spawn(arguments);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  void Start(const std::string& arguments = "") {
    // Fresh output, so that what an earlier run printed cannot be taken for this one's.
    std::filesystem::remove(Out());
    std::filesystem::remove(Err());
    m_pid = Spawn(arguments);
  }

  // The exit code once the process has ended within the bound, -1 otherwise.
  int WaitForExit() {
    int status = 0;
    const bool ended = WaitFor([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; });
    if (!ended) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, &status, 0);
      return -1;
    }
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  void Signal(int signal) { kill(m_pid, signal); }
  std::string Output() { return ReadFile(Out()); }
  std::string Errors() { return ReadFile(Err()); }

  ~AppProcess() {
    if (m_pid > 0) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
  }

 private:
  std::string Out() const { return m_appDir + "/out.txt"; }
  std::string Err() const { return m_appDir + "/err.txt"; }

  // The program with the blank-separated arguments, stdout and stderr added to the files.
  pid_t Spawn(const std::string& arguments) {
    std::vector<std::string> words{std::filesystem::path(m_program).filename().string()};
    std::istringstream split(arguments);
    for (std::string word; split >> word;) words.push_back(word);
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const std::string portDir = m_appDir + "/ports";
    const pid_t pid = fork();
    if (pid == 0) {
      const int out = open(Out().c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      const int err = open(Err().c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
      setenv("VANTREL_APP_DIR", m_appDir.c_str(), 1);
      setenv("VANTREL_PORT_DIR", portDir.c_str(), 1);
      for (const auto& [name, value] : m_environment) setenv(name.c_str(), value.c_str(), 1);
      if (m_uid != static_cast<uid_t>(-1) && (setgroups(0, nullptr) != 0 || setgid(m_gid) != 0 || setuid(m_uid) != 0))
        _exit(126);
      execv(m_program.c_str(), argv.data());
      _exit(127);
    }
    return pid;
  }

  std::string m_program;
  std::string m_appDir;
  std::vector<std::pair<std::string, std::string>> m_environment;
  pid_t m_pid = -1;
  uid_t m_uid = static_cast<uid_t>(-1);
  gid_t m_gid = static_cast<gid_t>(-1);
};
