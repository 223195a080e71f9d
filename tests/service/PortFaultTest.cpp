// Ports under faults, seen from outside: vantreld as a process, devices on real TCP
// connections, ports on real ptys whose far end vanishes or whose serial program stops.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "FaultService.h"
#include "TempDir.h"
#include "platform/CNullModemPair.h"

namespace {

using namespace std::chrono_literals;

// A bare pty: the test holds the master, a port link may lead to the slave. Closing the
// master makes every later write to the slave fail with EIO, as when a cable is pulled.
class BarePty {
 public:
  BarePty() {
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[64];
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0 ||
        ::ptsname_r(m_master, name, sizeof name) != 0) {
      Close();
      return;
    }
    m_slave = name;
    // Raw from the start, so that no line discipline touches a byte before vantreld opens it.
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios line{};
    if (slave >= 0 && ::tcgetattr(slave, &line) == 0) {
      ::cfmakeraw(&line);
      ::tcsetattr(slave, TCSANOW, &line);
    }
    if (slave >= 0) ::close(slave);
  }
  ~BarePty() { Close(); }
  BarePty(const BarePty&) = delete;
  BarePty& operator=(const BarePty&) = delete;

  bool IsOpen() const { return m_master >= 0; }
  const std::string& SlavePath() const { return m_slave; }
  Bytes Read(std::size_t count) { return ReadUpTo(m_master, count, 20s); }
  bool Write(const Bytes& data) { return WriteAllWithin(m_master, data, false); }
  void Close() {
    if (m_master >= 0) ::close(m_master);
    m_master = -1;
  }

 private:
  int m_master = -1;
  std::string m_slave;
};

// Makes <ports>/<name> a link to `target`, replacing the one there.
void Relink(const std::string& ports, const std::string& name, const std::string& target) {
  std::filesystem::remove(ports + "/" + name);
  std::filesystem::create_symlink(target, ports + "/" + name);
}

// Whether `sent` is made of runs taken alternately, in order, from `a` and `b`, all of both
// used: data that went two ways (a port and the store) without a byte lost, doubled or
// moved. The units make a run of more than a few bytes unique to its place.
bool SplitInOrder(const Bytes& sent, const Bytes& a, const Bytes& b) {
  std::size_t at = 0, inA = 0, inB = 0;
  const auto run = [&](const Bytes& from, std::size_t start) {
    std::size_t length = 0;
    while (start + length < from.size() && at + length < sent.size() && from[start + length] == sent[at + length])
      ++length;
    return length;
  };
  while (at < sent.size()) {
    const std::size_t runA = run(a, inA), runB = run(b, inB);
    if (runA == 0 && runB == 0) return false;
    if (runA >= runB) {
      at += runA;
      inA += runA;
    } else {
      at += runB;
      inB += runB;
    }
  }
  return inA == a.size() && inB == b.size();
}

// The serial software on a port's far end as a process of its own: it copies what it reads
// to the test through a pipe, and can be stopped and continued like any program.
class SerialProgram {
 public:
  explicit SerialProgram(const std::string& path) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    m_pid = ::fork();
    if (m_pid == 0) {
      const int port = ::open(path.c_str(), O_RDONLY | O_NOCTTY);
      unsigned char buffer[4096];
      for (ssize_t n = 0; port >= 0 && (n = ::read(port, buffer, sizeof buffer)) > 0;)
        if (::write(out[1], buffer, static_cast<std::size_t>(n)) != n) break;
      ::_exit(0);
    }
    ::close(out[1]);
    m_pipe = out[0];
    m_reader = std::thread([this] { Collect(); });
  }
  ~SerialProgram() {
    if (m_pid > 0) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
    if (m_reader.joinable()) m_reader.join();
    if (m_pipe >= 0) ::close(m_pipe);
  }
  SerialProgram(const SerialProgram&) = delete;
  SerialProgram& operator=(const SerialProgram&) = delete;

  bool IsRunning() const { return m_pid > 0; }
  void Signal(int signal) { ::kill(m_pid, signal); }
  Bytes Received() {
    std::lock_guard lock(m_mutex);
    return m_received;
  }

 private:
  // Until the program ends (the pipe's end of file).
  void Collect() {
    unsigned char buffer[4096];
    for (ssize_t n = 0; (n = ::read(m_pipe, buffer, sizeof buffer)) > 0;) {
      std::lock_guard lock(m_mutex);
      m_received.insert(m_received.end(), buffer, buffer + n);
    }
  }

  pid_t m_pid = -1;
  int m_pipe = -1;
  std::thread m_reader;
  std::mutex m_mutex;
  Bytes m_received;
};

constexpr std::uint32_t kDevice = 1;
constexpr std::uint32_t kOther = 2;

}  // namespace

// The far end of COM5 goes away under vantreld, so its writes fail with EIO: the port is
// given up with a line, what came meanwhile is stored, and once a new far end is there the
// port opens again by itself and forwards; not a byte is lost.
TEST(PortFault, WritesFailingWithEioStoreTheDataAndThePortComesBack) {
  TempDir dir;
  const std::string ports = dir.File("ports");
  std::filesystem::create_directory(ports);
  BarePty first;
  ASSERT_TRUE(first.IsOpen());
  Relink(ports, "COM5", first.SlavePath());
  FaultService service(dir.Path());
  ASSERT_NO_FATAL_FAILURE(service.Configure({{kDevice, "COM5"}}));
  ASSERT_NO_FATAL_FAILURE(service.Start());
  TestDevice device(service.port);
  ASSERT_TRUE(device.Send(Registration(kDevice)));
  ASSERT_TRUE(service.Registered(kDevice)) << service.Output();

  const Bytes before = Units(0, 64), meanwhile = Units(64, 64), after = Units(128, 64);
  ASSERT_TRUE(device.Send(before));
  ASSERT_EQ(first.Read(before.size()), before);

  first.Close();
  // Not a link to a pty number that the system may give to another program meanwhile.
  Relink(ports, "COM5", "/nonexistent/COM5");
  ASSERT_TRUE(device.Send(meanwhile));
  StoredFile file(service.Database());
  EXPECT_TRUE(WaitFor([&] { return file.Data(DeviceId(kDevice)).size() >= meanwhile.size(); }))
      << service.Errors();
  EXPECT_EQ(file.Data(DeviceId(kDevice)), meanwhile);
  EXPECT_TRUE(service.ErrorsHave("Port COM5 ")) << service.Errors();

  BarePty second;
  ASSERT_TRUE(second.IsOpen());
  Relink(ports, "COM5", second.SlavePath());
  ASSERT_TRUE(service.OutputHas("Port COM5 is open again")) << service.Output() << service.Errors();
  ASSERT_TRUE(device.Send(after));
  EXPECT_EQ(second.Read(after.size()), after);
  EXPECT_EQ(file.Data(DeviceId(kDevice)), meanwhile);

  service.Process().Signal(SIGTERM);
  EXPECT_EQ(service.Process().WaitForExit(), 0) << service.Errors();
}

// The serial program on COM5 is stopped for 60 s while its device sends 1 KB a second:
// what it could not take waits for it or is stored, every byte in order, and the device
// on COM6 goes on being forwarded meanwhile.
TEST(PortFault, ASerialProgramStoppedForAMinuteLosesNothingAndHoldsUpNoOtherPort) {
  TempDir dir;
  const std::string ports = dir.File("ports");
  std::filesystem::create_directory(ports);
  CNullModemPair stoppedPair, otherPair;
  ASSERT_TRUE(stoppedPair.Create()) << stoppedPair.LastError();
  ASSERT_TRUE(otherPair.Create()) << otherPair.LastError();
  ASSERT_TRUE(stoppedPair.Link(ports, "COM5", ""));
  ASSERT_TRUE(otherPair.Link(ports, "COM6", ""));
  FaultService service(dir.Path());
  ASSERT_NO_FATAL_FAILURE(service.Configure({{kDevice, "COM5"}, {kOther, "COM6"}}));
  ASSERT_NO_FATAL_FAILURE(service.Start());
  TestDevice device(service.port), other(service.port);
  ASSERT_TRUE(device.Send(Registration(kDevice)));
  ASSERT_TRUE(other.Send(Registration(kOther)));
  ASSERT_TRUE(service.Registered(kDevice)) << service.Output();
  LocalEnd otherLocal(otherPair.PathB());
  ASSERT_TRUE(WaitRegistered(otherLocal, other));

  SerialProgram program(stoppedPair.PathB());
  ASSERT_TRUE(program.IsRunning());
  Bytes sent = Units(0, 128);
  ASSERT_TRUE(device.Send(sent));
  ASSERT_TRUE(WaitFor([&] { return program.Received().size() >= sent.size(); }));

  program.Signal(SIGSTOP);
  const auto until = std::chrono::steady_clock::now() + 60s;
  std::size_t otherUnits = 0;
  // A second's kilobyte from the device, and 64 bytes through the other port, each second
  // of the minute.
  for (int second = 0; second < 60 && std::chrono::steady_clock::now() < until; ++second) {
    const auto tick = std::chrono::steady_clock::now() + 1s;
    const Bytes kilobyte = Units(sent.size() / 8, 128);
    ASSERT_TRUE(device.Send(kilobyte));
    sent.insert(sent.end(), kilobyte.begin(), kilobyte.end());
    const Bytes otherData = Units(otherUnits, 8);
    otherUnits += 8;
    ASSERT_TRUE(other.Send(otherData));
    ASSERT_EQ(otherLocal.Read(otherData.size()), otherData) << "second " << second;
    std::this_thread::sleep_until(std::min(tick, until));
  }
  program.Signal(SIGCONT);

  StoredFile file(service.Database());
  const auto accounted = [&] { return program.Received().size() + file.Data(DeviceId(kDevice)).size(); };
  EXPECT_TRUE(WaitFor([&] { return accounted() >= sent.size(); }, 90s))
      << accounted() << " of " << sent.size() << " bytes delivered or stored\n"
      << service.Errors();
  EXPECT_EQ(accounted(), sent.size());
  EXPECT_TRUE(SplitInOrder(sent, program.Received(), file.Data(DeviceId(kDevice))))
      << program.Received().size() << " bytes delivered, " << file.Data(DeviceId(kDevice)).size() << " stored";
  EXPECT_TRUE(file.Data(DeviceId(kOther)).empty());
  // The line says why: the port stopped taking data, not that it refused an open.
  if (!file.Data(DeviceId(kDevice)).empty()) {
    EXPECT_TRUE(service.ErrorsHave("did not take the data in time")) << service.Errors();
  }

  service.Process().Signal(SIGTERM);
  EXPECT_EQ(service.Process().WaitForExit(), 0) << service.Errors();
}
