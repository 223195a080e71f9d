// The device link of vantreld as devices meet it: the program as a process with its own
// application directory, devices on real TCP connections, the serial software on the far
// end of a real pty pair linked as COM5.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "../storage/SqliteFile.h"
#include "FreePort.h"
#include "SerialFixture.h"
#include "TempDir.h"
#include "TestDevice.h"
#include "Vantreld.h"
#include "WaitFor.h"
#include "model/DataText.h"
#include "platform/CNullModemPair.h"

namespace {

std::string IdOf(std::uint32_t number) {
  char id[9];
  std::snprintf(id, sizeof id, "%08X", number);
  return id;
}

// vantreld serving the tunnels of a fresh application directory on 127.0.0.1, with COM5
// one end of a pty pair whose other end the test holds.
class VantreldLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(dir.File("ports"));
    ASSERT_TRUE(pair.Create()) << pair.LastError();
    ASSERT_TRUE(pair.Link(dir.File("ports"), "COM5", ""));
    local.emplace(pair.PathB());
  }

  // Sets the settings and a tunnel on COM5 for each device number.
  void Configure(const std::string& settings, const std::vector<std::uint32_t>& numbers) {
    ASSERT_EQ(vantreld.Run("settings set --ip 127.0.0.1 --port " + std::to_string(port) + " --delay 0 " + settings), 0)
        << vantreld.Errors();
    for (const std::uint32_t number : numbers) ASSERT_EQ(vantreld.Run("tunnel add " + IdOf(number) + " --port COM5"), 0);
  }

  void Start(const std::string& arguments = "") {
    vantreld.Start(arguments);
    ASSERT_TRUE(WaitFor([&] { return vantreld.Output().find(kStarted) != std::string::npos; })) << vantreld.Errors();
  }

  TempDir dir;
  Vantreld vantreld{dir.Path()};
  const std::uint16_t port = FreePort();
  CNullModemPair pair;
  std::optional<LocalEnd> local;
};

// Data terminals send their registration and first reading in one write and then wait
// for the answer: what follows the 21st byte reaches the port without any further chunk.
TEST_F(VantreldLinkTest, BytesAfterTheRegistrationReachThePortAtOnce) {
  struct Case {
    const char* name;
    std::uint32_t number;
    std::vector<Bytes> writes;
    Bytes atPort;
  };
  const Bytes first = Registration(1), second = Registration(2);
  const std::vector<Case> cases = {
      {"registration and data in one write", 1, {Concat({first, Text("reading 1")})}, Text("reading 1")},
      {"20 bytes, then the last one with 4 more", 2,
       {Slice(second, 0, 20), Concat({Slice(second, 20, 21), Text("abcd")})}, Text("abcd")},
  };
  Configure("", {1, 2});
  Start();
  std::vector<std::unique_ptr<TestDevice>> devices;
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    devices.push_back(std::make_unique<TestDevice>(port));
    ASSERT_TRUE(devices.back()->IsOpen());
    for (const Bytes& write : row.writes) ASSERT_TRUE(devices.back()->Send(write));
    EXPECT_EQ(local->Read(row.atPort.size()), row.atPort);
  }
}

// --monitor lines end up in the journal: each block whole, whatever zero bytes it holds,
// and nothing in them but printable UTF-8.
TEST_F(VantreldLinkTest, MonitorLinesShowEachBlockWholeInPrintableUtf8) {
  Configure("", {4});
  Start("--monitor");
  TestDevice device(port);
  ASSERT_TRUE(device.Send(Registration(4)));
  ASSERT_TRUE(WaitRegistered(*local, device));
  const Bytes toPort{'A', 0, 'B', 0xFF, 0xC3, 0xA9, 0x1B, '\n'};
  ASSERT_TRUE(device.Send(toPort));
  EXPECT_EQ(local->Read(toPort.size()), toPort);
  const Bytes toDevice{'x', 0, 0x80, 'y'};
  ASSERT_TRUE(local->Write(toDevice));
  EXPECT_EQ(device.Read(toDevice.size()), toDevice);

  const std::string toPortLine = "Tcp->Com  [00000004] <-> [COM5]  User Data  A\\x00B\\xFF\xC3\xA9\\x1B\\n  ";
  const std::string toDeviceLine = "Com->Tcp  [00000004] <-> [COM5]  User Data  x\\x00\\x80y  ";
  EXPECT_TRUE(WaitFor([&] {
    const std::string output = vantreld.Output();
    return output.find(toPortLine) != std::string::npos && output.find(toDeviceLine) != std::string::npos;
  })) << vantreld.Output();
  const std::string output = vantreld.Output();
  const auto* bytes = reinterpret_cast<const unsigned char*>(output.data());
  for (std::size_t at = 0; at < output.size();) {
    const std::size_t length = bytes[at] < 0x80 ? 1 : Utf8SequenceLength(bytes + at, output.size() - at);
    ASSERT_NE(length, 0u) << "not UTF-8 at byte " << at << " of:\n" << output;
    at += length;
  }
}

// The phone number is whatever the device wrote: its registered line stays one line of text.
TEST_F(VantreldLinkTest, ARegisteredLineShowsThePhoneBytesAsPrintableText) {
  Configure("", {5});
  Start();
  TestDevice device(port);
  ASSERT_TRUE(device.Send(Registration(5, "12\n3\x1b\xff")));
  EXPECT_TRUE(WaitFor([&] {
    return vantreld.Output().find("packet address 10.1.2.3, phone \"12\\n3\\x1B\\xFF\", port COM5\n") !=
           std::string::npos;
  })) << vantreld.Output();
}

// A lone FE after the registration in its write is a heartbeat: filtered, it never
// reaches the port, and it does not join the data that follows.
TEST_F(VantreldLinkTest, ALoneFeAfterTheRegistrationIsAFilteredHeartbeat) {
  Configure("--filter-heartbeat on", {3});
  Start();
  TestDevice device(port);
  ASSERT_TRUE(device.IsOpen());
  ASSERT_TRUE(device.Send(Concat({Registration(3), Bytes{0xFE}})));
  ASSERT_TRUE(WaitRegistered(*local, device));
  ASSERT_TRUE(device.Send(Text("m")));
  EXPECT_EQ(local->Read(1), Text("m"));
}

// After a restart every device reconnects at once; none may be turned away.
TEST_F(VantreldLinkTest, AThousandDevicesConnectingAtOnceAllRegisterAndForward) {
  constexpr std::uint32_t kDevices = 1000;
  // Both ends of every connection are in this test's process and in vantreld, which
  // inherits the limit.
  rlimit files{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
  if (files.rlim_max != RLIM_INFINITY && files.rlim_max < 2 * kDevices + 200)
    GTEST_SKIP() << "the open-file limit " << files.rlim_max << " is too low for " << kDevices << " devices";
  files.rlim_cur = files.rlim_max;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);

  Configure("", {1});
  {
    // The other tunnels straight into the stored table: a thousand commands would take
    // a minute.
    SqliteFile db(dir.File("Info.db"));
    db.Exec("BEGIN");
    for (std::uint32_t number = 2; number <= kDevices; ++number)
      db.Exec("INSERT INTO TunnelInfo SELECT '" + IdOf(number) +
              "', SerialNo, BaudRate, DateBit, StopBit, Parity, Note FROM TunnelInfo WHERE DeviceID = '00000001'");
    db.Exec("COMMIT");
  }
  Start();

  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(port);
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::vector<pollfd> devices(kDevices);
  for (pollfd& device : devices) {
    device.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ASSERT_GE(device.fd, 0);
    ASSERT_TRUE(connect(device.fd, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0 || errno == EINPROGRESS);
  }
  struct Closer {
    std::vector<pollfd>& fds;
    ~Closer() {
      for (const pollfd& fd : fds) close(fd.fd);
    }
  } closer{devices};

  // Connected: writable with no error; each then sends its registration.
  std::vector<bool> connected(kDevices, false);
  std::size_t connectedCount = 0;
  ASSERT_TRUE(WaitFor([&] {
    for (std::size_t i = 0; i < kDevices; ++i) devices[i].events = connected[i] ? 0 : POLLOUT;
    poll(devices.data(), devices.size(), 100);
    for (std::size_t i = 0; i < kDevices; ++i) {
      if (connected[i] || devices[i].revents == 0) continue;
      int error = 0;
      socklen_t length = sizeof error;
      getsockopt(devices[i].fd, SOL_SOCKET, SO_ERROR, &error, &length);
      if (error != 0) return true;  // failed: reported below
      const Bytes registration = Registration(static_cast<std::uint32_t>(i + 1));
      if (send(devices[i].fd, registration.data(), registration.size(), MSG_NOSIGNAL) != 21) return true;
      connected[i] = true;
      ++connectedCount;
    }
    return connectedCount == kDevices;
  }, std::chrono::seconds(30)));
  ASSERT_EQ(connectedCount, kDevices);

  // Registered: each gets what the serial software writes to the port.
  std::vector<bool> reached(kDevices, false);
  std::size_t reachedCount = 0;
  ASSERT_TRUE(WaitFor([&] {
    if (!local->Write(Text("?"))) return true;
    for (pollfd& device : devices) device.events = POLLIN;
    poll(devices.data(), devices.size(), 200);
    for (std::size_t i = 0; i < kDevices; ++i) {
      unsigned char buffer[256];
      if ((devices[i].revents & POLLIN) == 0 || recv(devices[i].fd, buffer, sizeof buffer, 0) <= 0) continue;
      if (!reached[i]) ++reachedCount;
      reached[i] = true;
    }
    return reachedCount == kDevices;
  }, std::chrono::seconds(60)));
  EXPECT_EQ(reachedCount, kDevices);

  // Forwarding towards the port: every device's ID arrives there.
  for (std::size_t i = 0; i < kDevices; ++i) {
    const std::string id = IdOf(static_cast<std::uint32_t>(i + 1));
    ASSERT_EQ(send(devices[i].fd, id.data(), id.size(), MSG_NOSIGNAL), 8);
  }
  const Bytes atPort = local->Read(8 * kDevices, std::chrono::seconds(60));
  std::set<std::string> ids;
  for (std::size_t at = 0; at + 8 <= atPort.size(); at += 8) ids.emplace(atPort.begin() + at, atPort.begin() + at + 8);
  EXPECT_EQ(ids.size(), kDevices);
  EXPECT_EQ(ids.count(IdOf(kDevices)), 1u);
}

// A LocalIp that is no address fails the start with the reason; it must not listen on
// 255.255.255.255, where no device can reach it, and report success.
TEST_F(VantreldLinkTest, ALocalIpThatIsNoAddressFailsTheStartWithTheReason) {
  for (const char* text : {"256.1.2.3", "hello", "1.2.3"}) {
    const std::string ip = text;
    SCOPED_TRACE(ip);
    ASSERT_EQ(vantreld.Run("settings set --port " + std::to_string(port)), 0);
    SqliteFile(dir.File("Info.db")).Exec("UPDATE TabSetting SET ParamValue = '" + ip + "' WHERE ParamKey = 'LocalIp'");
    vantreld.Start();
    EXPECT_EQ(vantreld.WaitForExit(), 1);
    const std::string errors = vantreld.Errors();
    EXPECT_NE(errors.find("vantreld: the service could not start: "), std::string::npos) << errors;
    EXPECT_NE(errors.find("\"" + ip + "\" is not a dotted IPv4 address"), std::string::npos) << errors;
    EXPECT_EQ(vantreld.Output().find(kStarted), std::string::npos) << vantreld.Output();
  }
}

// The console (and so the journal) tells each device event in one line with the device
// ID, a port's outage once with its reason; --quiet keeps only the problems.
TEST_F(VantreldLinkTest, EachDeviceAndPortEventIsOneLineWithTheDeviceId) {
  Configure("", {1});
  ASSERT_EQ(vantreld.Run("tunnel add 00000002 --port COM7"), 0);
  Start();
  // Lines name the connection's source, whose port the system chose.
  auto printedMatching = [&](const std::string& pattern) {
    const std::regex line(pattern);
    return WaitFor([&] { return std::regex_search(vantreld.Output(), line); });
  };
  const std::string outage = "Port COM7 cannot be opened: neither " + dir.File("ports") + "/COM7 nor /dev/ttyS6 exists";
  EXPECT_TRUE(WaitFor([&] { return vantreld.Errors().find(outage) != std::string::npos; })) << vantreld.Errors();

  const std::string registered =
      R"(Device 00000001 registered from 127\.0\.0\.1:\d+, packet address 10\.1\.2\.3, phone "13912345678", port COM5)";
  {
    TestDevice first(port);
    ASSERT_TRUE(first.Send(Registration(1)));
    EXPECT_TRUE(printedMatching(registered)) << vantreld.Output();
    TestDevice second(port);
    ASSERT_TRUE(second.Send(Registration(1)));
    EXPECT_TRUE(printedMatching(R"(Device 00000001: its connection from 127\.0\.0\.1:\d+ was replaced by a newer connection)"))
        << vantreld.Output();
    EXPECT_TRUE(first.WaitClosed());
  }
  EXPECT_TRUE(printedMatching(R"(Device 00000001 offline: its connection from 127\.0\.0\.1:\d+ ended)")) << vantreld.Output();
  TestDevice stranger(port);
  ASSERT_TRUE(stranger.Send(Registration(0xABCD)));
  EXPECT_TRUE(printedMatching(
      R"(Device 0000ABCD registered from 127\.0\.0\.1:\d+, packet address 10\.1\.2\.3, phone "13912345678" but has no tunnel)"))
      << vantreld.Output();

  // Data for the port that is out is kept as not forwarded; the outage is not told again.
  TestDevice onCom7(port);
  ASSERT_TRUE(onCom7.Send(Concat({Registration(2), Text("reading")})));
  ASSERT_TRUE(WaitFor([&] {
    vantreld.Run("nottrans query --device 00000002 --json");
    return vantreld.Output().find("\"deviceId\":\"00000002\"") != std::string::npos;
  }));
  vantreld.Signal(SIGTERM);
  EXPECT_EQ(vantreld.WaitForExit(), 0);
  const std::string errors = vantreld.Errors();
  EXPECT_EQ(errors.find(outage), errors.rfind(outage)) << errors;

  vantreld.Start("--quiet");
  EXPECT_TRUE(WaitFor([&] { return vantreld.Errors().find(outage) != std::string::npos; })) << vantreld.Errors();
  // Nothing says when it listens: connect until it does.
  std::unique_ptr<TestDevice> quiet;
  ASSERT_TRUE(WaitFor([&] {
    quiet = std::make_unique<TestDevice>(port);
    return quiet->IsOpen();
  }));
  ASSERT_TRUE(quiet->Send(Registration(1)));
  ASSERT_TRUE(WaitRegistered(*local, *quiet));
  vantreld.Signal(SIGTERM);
  EXPECT_EQ(vantreld.WaitForExit(), 0);
  EXPECT_EQ(vantreld.Output(), "");
}

// SIGHUP applies the tunnels and settings stored meanwhile to the running service: a tunnel
// added from the command line works, a port that has come meanwhile opens at once, and a
// listener that cannot move to its new port keeps the old one (the reload is refused).
TEST_F(VantreldLinkTest, SighupReadsTheTunnelsAndSettingsAgain) {
  Configure("", {1});
  ASSERT_EQ(vantreld.Run("tunnel add 00000002 --port COM7"), 0);
  Start();
  ASSERT_TRUE(WaitFor([&] { return vantreld.Errors().find("Port COM7 cannot be opened") != std::string::npos; }));

  ASSERT_EQ(vantreld.Run("tunnel add 0000ABCD --port COM5"), 0);
  CNullModemPair com7;
  ASSERT_TRUE(com7.Create()) << com7.LastError();
  ASSERT_TRUE(com7.Link(dir.File("ports"), "COM7", ""));
  vantreld.Signal(SIGHUP);
  EXPECT_TRUE(WaitFor([&] { return vantreld.Output().find("Port COM7 is open again") != std::string::npos; }))
      << vantreld.Output();
  ASSERT_TRUE(WaitFor([&] { return vantreld.Output().find("Reloaded the tunnels and settings") != std::string::npos; }))
      << vantreld.Output() << vantreld.Errors();
  TestDevice device(port);
  ASSERT_TRUE(device.Send(Registration(0xABCD)));
  ASSERT_TRUE(WaitFor([&] {
    return std::regex_search(vantreld.Output(), std::regex(R"(Device 0000ABCD registered from \S+, packet address 10\.1\.2\.3, phone "13912345678", port COM5)"));
  })) << vantreld.Output();
  ASSERT_TRUE(WaitRegistered(*local, device));
  ASSERT_TRUE(device.Send(Text("after the reload")));
  EXPECT_EQ(local->Read(16), Text("after the reload"));

  TakenPort taken;
  ASSERT_NE(taken.Port(), 0);
  ASSERT_EQ(vantreld.Run("settings set --port " + std::to_string(taken.Port())), 0);
  vantreld.Signal(SIGHUP);
  ASSERT_TRUE(WaitFor([&] { return vantreld.Errors().find("Reload refused") != std::string::npos; }))
      << vantreld.Errors();
  EXPECT_NE(vantreld.Errors().find("Address already in use"), std::string::npos) << vantreld.Errors();
  ASSERT_TRUE(device.Send(Text("still linked")));
  EXPECT_EQ(local->Read(12), Text("still linked"));
  vantreld.Signal(SIGTERM);
  EXPECT_EQ(vantreld.WaitForExit(), 0);
}

// A device simulator run ends normally when the service stops, unless --check still
// misses replies.
TEST_F(VantreldLinkTest, DevsimEndsNormallyWhenTheServiceStops) {
  // The checked message reaches the port first; the port never answers it.
  const std::pair<const char*, int> rows[] = {{"--duration 60", 0},
                                              {"--check --count 1 --text hello --duration 60", 1}};
  Configure("", {1});
  for (const auto& [arguments, exitCode] : rows) {
    SCOPED_TRACE(arguments);
    Start();
    const std::string command = std::string(VANTREL_DEVSIM) + " --port " + std::to_string(port) +
                                " --first-id 00000001 " + arguments + " 2>&1";
    FILE* devsim = ::popen(command.c_str(), "r");
    ASSERT_NE(devsim, nullptr);
    EXPECT_TRUE(WaitFor([&] { return vantreld.Output().find("Device 00000001 registered") != std::string::npos; }));
    if (exitCode != 0) {
      EXPECT_EQ(local->Read(5), Text("hello"));
    }
    vantreld.Signal(SIGTERM);
    EXPECT_EQ(vantreld.WaitForExit(), 0);
    std::string output;
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, devsim)) > 0;) output.append(buffer, got);
    const int status = ::pclose(devsim);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, exitCode) << output;
    EXPECT_NE(output.find("[00000001] the server closed the connection"), std::string::npos) << output;
    EXPECT_NE(output.find("0 failed, 1 closed by the server"), std::string::npos) << output;
    if (exitCode != 0) {
      EXPECT_NE(output.find("5 bytes never came back"), std::string::npos) << output;
    }
  }
}

}  // namespace
