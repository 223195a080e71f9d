// What vantreld tells about itself while it runs: `vantreld status` over the control
// socket, the service manager's notifications (READY, STATUS, WATCHDOG) on a socket the
// test listens on, and the priorities of its lines when they go to the journal. The
// program as a process with its own application directory, devices on real TCP
// connections, COM5 one end of a real pty pair.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "FreePort.h"
#include "SerialFixture.h"
#include "TempDir.h"
#include "TestDevice.h"
#include "Vantreld.h"
#include "WaitFor.h"
#include "platform/CNullModemPair.h"

namespace {

using namespace std::chrono_literals;

// vantreld on 127.0.0.1 with devices 00000001 and 00000002 on COM5 (a pty pair) and
// 00000003 on COM7, which does not exist.
class VantreldStatusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(dir.File("ports"));
    ASSERT_TRUE(pair.Create()) << pair.LastError();
    ASSERT_TRUE(pair.Link(dir.File("ports"), "COM5", ""));
    local.emplace(pair.PathB());
    ASSERT_EQ(vantreld.Run("settings set --ip 127.0.0.1 --port " + std::to_string(port) + " --delay 0"), 0)
        << vantreld.Errors();
    for (const char* tunnel : {"00000001 --port COM5", "00000002 --port COM5", "00000003 --port COM7"})
      ASSERT_EQ(vantreld.Run(std::string("tunnel add ") + tunnel), 0) << vantreld.Errors();
  }

  struct Result {
    int code;
    std::string out;
    std::string err;
  };

  // A command of another vantreld process on the same directory, with its own output.
  Result Command(const std::string& arguments) {
    Vantreld other(client.Path());
    const std::string command = "--app-dir " + dir.Path() + " " + arguments;
    const int code = other.Run(command);
    const Result result{code, other.Output(), other.Errors()};
    std::filesystem::remove(client.File("out.txt"));
    std::filesystem::remove(client.File("err.txt"));
    return result;
  }

  TempDir dir, client;
  Vantreld vantreld{dir.Path()};
  const std::uint16_t port = FreePort();
  CNullModemPair pair;
  std::optional<LocalEnd> local;
};

// The row of `id` in the device table, its cells split on runs of blanks.
std::vector<std::string> DeviceRowOf(const std::string& table, const std::string& id) {
  std::istringstream lines(table);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(id + " ", 0) != 0) continue;
    std::vector<std::string> cells;
    // Times hold one blank between date and time: join them back.
    const std::regex cell("\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}:\\d{2}|\\S+");
    for (auto it = std::sregex_iterator(line.begin(), line.end(), cell); it != std::sregex_iterator(); ++it)
      cells.push_back(it->str());
    return cells;
  }
  return {};
}

const std::regex kTableTime("\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}:\\d{2}");
const std::regex kIsoTime("\"\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}[+-]\\d{2}:\\d{2}\"");

}  // namespace

TEST_F(VantreldStatusTest, StatusShowsTheRunningServiceItsDevicesAndPortsAndExits3WithoutOne) {
  Result none = Command("status");
  EXPECT_EQ(none.code, 3) << none.out << none.err;
  EXPECT_NE(none.err.find("no Vantrel instance runs with the application directory " + dir.Path()), std::string::npos)
      << none.err;

  vantreld.Start();
  ASSERT_TRUE(WaitFor([&] { return vantreld.Output().find(kStarted) != std::string::npos; })) << vantreld.Errors();
  TestDevice device(port);
  ASSERT_TRUE(device.Send(Registration(1, "13912345678")));
  ASSERT_TRUE(WaitRegistered(*local, device));
  ASSERT_TRUE(device.Send(Text("hello")));
  ASSERT_EQ(local->Read(5), Text("hello"));

  Result running;
  // The port that is missing is tried at start; its failure is a report the host handles.
  ASSERT_TRUE(WaitFor([&] {
    running = Command("status");
    return running.code == 0 && running.out.find("COM7  failed  ") != std::string::npos;
  })) << running.out << running.err;
  EXPECT_TRUE(std::regex_search(running.out, std::regex("Service: +running since " + std::string("\\d{4}/"))))
      << running.out;
  EXPECT_NE(running.out.find("Listening: 127.0.0.1:" + std::to_string(port)), std::string::npos) << running.out;
  EXPECT_NE(running.out.find("3 configured, 1 connected, 1 matched online"), std::string::npos) << running.out;

  const std::vector<std::string> online = DeviceRowOf(running.out, "00000001");
  ASSERT_EQ(online.size(), 11u) << running.out;
  EXPECT_EQ(online[1], "connected");
  EXPECT_EQ(online[2], "plain");
  EXPECT_EQ(online[3], "COM5");
  EXPECT_EQ(online[4], "open");
  EXPECT_EQ(online[5], "10.1.2.3") << "the address the device registered with";
  EXPECT_TRUE(std::regex_match(online[6], kTableTime)) << "connected since: " << online[6];
  EXPECT_NE(online[7], "0") << "bytes in";
  EXPECT_NE(online[8], "0") << "bytes out: the port's answers";
  EXPECT_TRUE(std::regex_match(online[9], kTableTime)) << "last data: " << online[9];
  EXPECT_EQ(online[10], "13912345678");
  const std::vector<std::string> offline = DeviceRowOf(running.out, "00000002");
  ASSERT_GE(offline.size(), 10u) << running.out;
  EXPECT_EQ(std::vector<std::string>(offline.begin() + 1, offline.begin() + 10),
            (std::vector<std::string>{"disconnected", "-", "COM5", "open", "-", "-", "0", "0", "-"}));
  EXPECT_TRUE(std::regex_search(running.out, std::regex("\nCOM5 +open +-\n"))) << running.out;
  EXPECT_TRUE(std::regex_search(running.out, std::regex("\nCOM7 +failed +\\d{4}/\\d{2}/\\d{2} "))) << running.out;

  ASSERT_EQ(Command("--signal SockoraServerPauseResume").code, 0);
  Result paused;
  ASSERT_TRUE(WaitFor([&] {
    paused = Command("status --json");
    return paused.code == 0 && paused.out.find("\"state\":\"paused\"") != std::string::npos;
  })) << paused.out << paused.err;
  const nlohmann::json json = nlohmann::json::parse(paused.out);
  EXPECT_EQ(json["listeners"], nlohmann::json::parse("[{\"address\":\"127.0.0.1\",\"port\":" + std::to_string(port) +
                                                     ",\"tls\":false}]"));
  EXPECT_EQ(json["configured"], 3);
  EXPECT_EQ(json["connected"], 1) << "a pause keeps the devices that are connected";
  ASSERT_EQ(json["devices"].size(), 3u);
  const nlohmann::json& first = json["devices"][0];
  EXPECT_EQ(first["id"], "00000001");
  EXPECT_EQ(first["link"], "connected");
  EXPECT_EQ(first["phone"], "13912345678");
  EXPECT_TRUE(std::regex_match(first["connectedSince"].dump(), kIsoTime)) << first;
  EXPECT_TRUE(std::regex_match(first["lastDataAt"].dump(), kIsoTime)) << first;
  EXPECT_TRUE(json["devices"][1]["connectedSince"].is_null());
  EXPECT_EQ(json["ports"][1]["state"], "failed");
  EXPECT_TRUE(std::regex_match(json["ports"][1]["failedSince"].dump(), kIsoTime)) << json["ports"];
  EXPECT_TRUE(json["store"]["limit"].is_number());
  EXPECT_EQ(json["refused"].size(), 5u) << "every reason, with its count";
  EXPECT_EQ(json["queues"].size(), 5u);

  vantreld.Signal(SIGTERM);
  ASSERT_EQ(vantreld.WaitForExit(), 0) << vantreld.Errors();
  none = Command("status");
  EXPECT_EQ(none.code, 3) << none.out << none.err;
}

namespace {

// The datagram socket a service manager gives its service, under an abstract name.
class NotifySocket {
 public:
  NotifySocket() {
    m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    m_name = "@vantrel-notify-test-" + std::to_string(getpid());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, m_name.data(), m_name.size());
    address.sun_path[0] = '\0';
    m_bound = bind(m_fd, reinterpret_cast<const sockaddr*>(&address),
                   static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + m_name.size())) == 0;
  }
  ~NotifySocket() { close(m_fd); }
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  bool Bound() const { return m_bound; }
  const std::string& Name() const { return m_name; }

  // The next message within `bound`; nothing when none came.
  std::optional<std::string> Next(std::chrono::milliseconds bound) {
    pollfd ready{m_fd, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(bound.count())) != 1) return std::nullopt;
    char buffer[4096];
    const ssize_t got = recv(m_fd, buffer, sizeof buffer, 0);
    if (got < 0) return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(got));
  }

  // Reads messages until one holds `text`; every message read is added to `seen`.
  bool WaitFor(const std::string& text, std::string& seen, std::chrono::milliseconds bound = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < deadline) {
      const std::optional<std::string> message = Next(100ms);
      if (!message) continue;
      seen += *message + "\n";
      if (message->find(text) != std::string::npos) return true;
    }
    return false;
  }

 private:
  int m_fd = -1;
  std::string m_name;
  bool m_bound = false;
};

}  // namespace

// A watchdog ping says the service's threads make progress: an idle service pings on, one
// whose dispatch thread hangs at a record (held there by a test hook) stops.
TEST_F(VantreldStatusTest, TheServiceManagerHearsReadyStatusAndWatchdogPingsUntilTheDispatchThreadHangs) {
  NotifySocket manager;
  ASSERT_TRUE(manager.Bound()) << std::strerror(errno);
  AppProcess service(VANTRELD_PROGRAM, dir.Path(),
                     {{"LC_ALL", "C.UTF-8"},
                      {"NOTIFY_SOCKET", manager.Name()},
                      {"WATCHDOG_USEC", "1000000"},
                      {"VANTREL_TEST_HOLD_DISPATCH", "1"}});
  service.Start();
  std::string seen;
  ASSERT_TRUE(manager.WaitFor("READY=1", seen)) << seen << service.Errors();
  EXPECT_NE(seen.find("STATUS=running; 3 configured, 0 connected, 0 matched online, 0 refused"), std::string::npos)
      << seen;
  EXPECT_NE(service.Output().find(kStarted), std::string::npos) << "READY=1 comes once the listener is open";
  // Idle: every thread asleep on its empty queue, and the pings go on.
  for (int ping = 0; ping < 4; ++ping) ASSERT_TRUE(manager.WaitFor("WATCHDOG=1", seen)) << seen;

  TestDevice device(port);
  ASSERT_TRUE(device.Send(Registration(1)));
  // The registration is the dispatch thread's first record, where the hook holds it.
  bool silent = false;
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  auto lastPing = std::chrono::steady_clock::now();
  while (!silent && std::chrono::steady_clock::now() < deadline) {
    const std::optional<std::string> message = manager.Next(100ms);
    if (message && message->find("WATCHDOG=1") != std::string::npos) lastPing = std::chrono::steady_clock::now();
    silent = std::chrono::steady_clock::now() - lastPing > 3s;
  }
  EXPECT_TRUE(silent) << "the pings went on while the dispatch thread hung";
  EXPECT_NE(service.Errors().find("watchdog is no longer told that all is well: the dispatch thread"),
            std::string::npos)
      << service.Errors();

  service.Signal(SIGTERM);
  EXPECT_EQ(service.WaitForExit(), 0) << service.Errors();
  EXPECT_TRUE(manager.WaitFor("STOPPING=1", seen, 5s)) << seen;
}

namespace {

// vantreld with stdout and stderr both on one file, as the journal takes both streams of a
// unit, and JOURNAL_STREAM set as given ("" for the file's own device and inode).
class JournalRun {
 public:
  JournalRun(const TempDir& dir, const std::string& journalStream) : m_file(dir.File("journal.txt")) {
    const int fd = open(m_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    struct stat status {};
    fstat(fd, &status);
    const std::string stream = journalStream.empty()
                                   ? std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino)
                                   : journalStream;
    const std::string appDir = dir.Path(), portDir = dir.File("ports");
    m_pid = fork();
    if (m_pid == 0) {
      if (dup2(fd, 1) < 0 || dup2(fd, 2) < 0) _exit(127);
      setenv("VANTREL_APP_DIR", appDir.c_str(), 1);
      setenv("VANTREL_PORT_DIR", portDir.c_str(), 1);
      setenv("LC_ALL", "C.UTF-8", 1);
      setenv("JOURNAL_STREAM", stream.c_str(), 1);
      execl(VANTRELD_PROGRAM, "vantreld", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fd);
  }
  ~JournalRun() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
  }
  JournalRun(const JournalRun&) = delete;
  JournalRun& operator=(const JournalRun&) = delete;

  std::string Text() const { return ReadFile(m_file); }
  int Stop() {
    kill(m_pid, SIGTERM);
    int status = 0;
    const bool ended = ::WaitFor([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; });
    if (ended) m_pid = -1;
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  std::string m_file;
  pid_t m_pid = -1;
};

// The priority a line of `text` holding `fragment` carries: "<N>", or "" for none.
std::string PriorityOf(const std::string& text, const std::string& fragment) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.find(fragment) == std::string::npos) continue;
    std::smatch prefix;
    return std::regex_search(line, prefix, std::regex("^<\\d>")) ? prefix.str() : "";
  }
  return "line not found";
}

}  // namespace

// In the journal, `journalctl -p warning` shows the problems only: a port that cannot be
// opened is an error, a refused device a warning, the status lines information.
TEST_F(VantreldStatusTest, LinesToTheJournalCarryTheirPriority) {
  ASSERT_EQ(vantreld.Run("settings set --allow 10.0.0.0/8"), 0) << vantreld.Errors();
  struct Case {
    const char* name;
    std::string journalStream;  // "" for the output file's own
    std::string error, warning, info;
  };
  const std::vector<Case> cases = {{"stderr is the journal", "", "<3>", "<4>", "<6>"},
                                   {"the journal is another stream", "1:1", "", "", ""}};
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    JournalRun run(dir, row.journalStream);
    ASSERT_TRUE(WaitFor([&] { return run.Text().find(kStarted) != std::string::npos; })) << run.Text();
    TestDevice refused(port);
    ASSERT_TRUE(WaitFor([&] { return run.Text().find("warning: ") != std::string::npos; })) << run.Text();
    ASSERT_TRUE(WaitFor([&] { return run.Text().find("Port COM7 ") != std::string::npos; })) << run.Text();
    const std::string text = run.Text();
    EXPECT_EQ(PriorityOf(text, "Port COM7 "), row.error) << text;
    EXPECT_EQ(PriorityOf(text, "warning: "), row.warning) << text;
    EXPECT_EQ(PriorityOf(text, kStarted), row.info) << text;
    EXPECT_EQ(run.Stop(), 0) << run.Text();
  }
}
