#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "WaitFor.h"

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// vantreld with its own application directory (ports in its "ports" folder), output
// captured in files there, in an English locale without a language file: English texts,
// from the English.so beside the program.
class Vantreld {
 public:
  explicit Vantreld(const std::string& appDir) : m_appDir(appDir) {}

  // Runs a command to its end; returns the exit code. Its output goes to files of its own,
  // so that a running service's output stays whole.
  int Run(const std::string& arguments) {
    return std::system(("LC_ALL=C.UTF-8 VANTREL_APP_DIR=" + m_appDir + " " VANTRELD_PROGRAM " " + arguments + " >>" +
                        m_appDir + "/command-out.txt 2>>" + m_appDir + "/command-err.txt")
                           .c_str()) >>
           8;
  }

  // `arguments`: options of the service, e.g. "--quiet".
  void Start(const std::string& arguments = "") {
    // Fresh output, so that what an earlier run printed cannot be taken for this one's.
    std::filesystem::remove(Out());
    std::filesystem::remove(Err());
    m_pid = fork();
    if (m_pid == 0) {
      const std::string command = "exec " VANTRELD_PROGRAM " " + arguments + " >" + Out() + " 2>" + Err();
      setenv("VANTREL_APP_DIR", m_appDir.c_str(), 1);
      setenv("LC_ALL", "C.UTF-8", 1);
      setenv("VANTREL_PORT_DIR", (m_appDir + "/ports").c_str(), 1);
      execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
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

  ~Vantreld() {
    if (m_pid > 0) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
  }

 private:
  std::string Out() const { return m_appDir + "/out.txt"; }
  std::string Err() const { return m_appDir + "/err.txt"; }

  std::string m_appDir;
  pid_t m_pid = -1;
};

// Its status lines.
inline const std::string kStarted = "Service started.";
inline const std::string kStopped = "Service stopped.";
