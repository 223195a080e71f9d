#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "TempDir.h"
#include "FreePort.h"
#include "WaitFor.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// vantreld with its own application directory, output captured in files there.
class Vantreld {
 public:
  explicit Vantreld(const std::string& appDir) : m_appDir(appDir) {}

  // Runs a command to its end; returns the exit code.
  int Run(const std::string& arguments) {
    return std::system(("VANTREL_APP_DIR=" + m_appDir + " " VANTRELD_PROGRAM " " + arguments + " >>" + Out() +
                        " 2>>" + Err()).c_str()) >> 8;
  }

  void Start() {
    // Fresh output, so that what an earlier run printed cannot be taken for this one's.
    std::filesystem::remove(Out());
    std::filesystem::remove(Err());
    m_pid = fork();
    if (m_pid == 0) {
      const std::string command = "exec " VANTRELD_PROGRAM " >" + Out() + " 2>" + Err();
      setenv("VANTREL_APP_DIR", m_appDir.c_str(), 1);
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

const std::string kStarted = "启动服务成功";
const std::string kStopped = "停止服务成功";

}  // namespace

TEST(Vantreld, RunsUntilSigtermOrAShutdownSignalAndExitsZero) {
  TempDir dir;
  Vantreld vantreld(dir.Path());
  ASSERT_EQ(vantreld.Run("settings set --ip 127.0.0.1 --port " + std::to_string(FreePort())), 0);

  vantreld.Start();
  ASSERT_TRUE(WaitFor([&] { return vantreld.Output().find(kStarted) != std::string::npos; })) << vantreld.Errors();
  vantreld.Signal(SIGTERM);
  EXPECT_EQ(vantreld.WaitForExit(), 0) << vantreld.Errors();
  EXPECT_NE(vantreld.Output().find(kStopped), std::string::npos);

  Vantreld again(dir.Path());
  again.Start();
  ASSERT_TRUE(WaitFor([&] { return again.Output().find(kStarted) != std::string::npos; })) << again.Errors();
  EXPECT_EQ(Vantreld(dir.Path()).Run("--signal SockoraServerShutdown"), 0);
  EXPECT_EQ(again.WaitForExit(), 0) << again.Errors();
}

TEST(Vantreld, AServiceThatCannotStartExitsNonZeroWithTheReason) {
  TempDir dir;
  const int other = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(other, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(other, 1), 0);
  socklen_t size = sizeof address;
  getsockname(other, reinterpret_cast<sockaddr*>(&address), &size);

  Vantreld vantreld(dir.Path());
  ASSERT_EQ(vantreld.Run("settings set --ip 127.0.0.1 --port " + std::to_string(ntohs(address.sin_port))), 0);
  vantreld.Start();
  EXPECT_EQ(vantreld.WaitForExit(), 1);
  EXPECT_NE(vantreld.Errors().find("Address already in use"), std::string::npos) << vantreld.Errors();
  close(other);

  EXPECT_EQ(Vantreld(dir.Path()).Run("--signal SockoraServerShutdown"), 1) << "no instance runs there";
  EXPECT_EQ(Vantreld(dir.Path()).Run("--signal NoSuchEvent"), 2);
}
