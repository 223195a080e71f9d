// End to end through the forwarding core (idle wait 0) next to socat in the same run:
// a device on TCP at one end, a pty at the other, whose slave each forwarder opens as
// its port while the bench plays the serial software on the master. Bulk throughput each
// way, and round trips of 32-byte messages that an echo on the pty side sends back.
// Rounds alternate between the two; each figure is the best of its rounds.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FreePort.h"
#include "BulkTransfer.h"
#include "PtyEnd.h"
#include "TempDir.h"
#include "protocol/RegistrationPacket.h"
#include "core/CDataCenter.h"
#include "core/CTcpServer.h"
#include "core/CTunnelTable.h"
#include "model/SettingInfo.h"
#include "platform/CNullModemPair.h"
#include "serial/CSerialInterface.h"

extern char** environ;

namespace {

constexpr std::size_t kMessage = 32;
constexpr int kTrips = 2000;
constexpr int kRounds = 3;

// Sends back whatever arrives on the pty end until stopped.
class Echo {
 public:
  explicit Echo(int fd) : m_thread([this, fd] { Run(fd); }) {}
  ~Echo() {
    m_stop = true;
    m_thread.join();
  }

 private:
  void Run(int fd) {
    unsigned char buffer[4096];
    const Clock::time_point deadline = Clock::now() + 10 * kBound;
    while (!m_stop && Clock::now() < deadline) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const ssize_t got = ::read(fd, buffer, sizeof buffer);
      if (got > 0 && !WriteAll(fd, buffer, static_cast<std::size_t>(got), Clock::now() + kBound)) return;
    }
  }
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

struct Trips {
  double p50 = 0, p99 = 0;
};

// Round trips of 32-byte messages from the device through the echo; zeros on failure.
Trips RoundTrips(int device, int pty) {
  Echo echo(pty);
  std::vector<double> ms;
  unsigned char message[kMessage], back[kMessage];
  const Clock::time_point deadline = Clock::now() + kBound;
  for (int i = 0; i < kTrips && Clock::now() < deadline; ++i) {
    for (std::size_t b = 0; b < kMessage; ++b) message[b] = static_cast<unsigned char>('a' + (i + b) % 26);
    const Clock::time_point start = Clock::now();
    if (!WriteAll(device, message, kMessage, deadline) || !ReadAll(device, back, kMessage, deadline) ||
        std::memcmp(message, back, kMessage) != 0)
      return {};
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], ms[ms.size() * 99 / 100]};
}

struct Figures {
  double toPty = 0, toDevice = 0;
  Trips trips{1e9, 1e9};
  void Keep(double a, double b, Trips t) {
    toPty = std::max(toPty, a);
    toDevice = std::max(toDevice, b);
    if (t.p50 > 0 && t.p50 < trips.p50) trips = t;
  }
};

}  // namespace

int main() {
  const TempDir appDir("VANTREL_APP_DIR");
  const TempPortDir portDir;

  Pty pty;
  if (!pty.ready || ::symlink(pty.slavePath.c_str(), portDir.File("COM3").c_str()) != 0) {
    std::fprintf(stderr, "cannot make a pty\n");
    return 1;
  }
  SettingInfo settings;
  settings.DelayComRead = 0;
  ReplaceSettings(settings);
  CTunnelTable::Instance().Add(TunnelInfo{"00000001", "COM3", "115200", "8", "1", "None", ""});
  CDataCenter& center = CDataCenter::Instance();
  auto serial = std::make_unique<CSerialInterface>();
  serial->OpenAllPorts();
  auto server = std::make_unique<CTcpServer>("127.0.0.1", 0);
  server->Start();
  server->StartAcceptingConnections();
  const int vantrelPty = pty.master;
  const int vantrelDevice = ConnectTo(server->ListeningPort());
  RegistrationPacket packet{};
  BuildRegistrationPacket(1, "13800000000", "10.0.0.1", packet);
  const Clock::time_point setupDeadline = Clock::now() + kBound;
  WriteAll(vantrelDevice, packet.data(), packet.size(), setupDeadline);
  while (center.OnlineCount() < 1 && Clock::now() < setupDeadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  // socat, TCP-LISTEN to a pty of its own.
  Pty socatLine;
  const std::uint16_t socatPort = FreePort();
  const std::string listen = "TCP-LISTEN:" + std::to_string(socatPort) + ",bind=127.0.0.1,reuseaddr,nodelay";
  const std::string file = "FILE:" + socatLine.slavePath + ",raw,echo=0";
  const char* argv[] = {"socat", listen.c_str(), file.c_str(), nullptr};
  pid_t socat = -1;
  if (::posix_spawnp(&socat, "socat", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
    std::fprintf(stderr, "cannot start socat\n");
    return 1;
  }
  int socatDevice = -1;
  for (int attempt = 0; attempt < 500 && socatDevice < 0; ++attempt) {
    socatDevice = ConnectTo(socatPort);
    if (socatDevice < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  const int socatPty = socatLine.master;
  if (vantrelDevice < 0 || center.OnlineCount() < 1 || socatDevice < 0 || !socatLine.ready) {
    std::fprintf(stderr, "set-up failed\n");
    ::kill(socat, SIGTERM);
    ::waitpid(socat, nullptr, 0);
    return 1;
  }

  Figures vantrel, socatFigures;
  for (int round = 0; round < kRounds; ++round) {
    const double a = Bulk(vantrelDevice, vantrelPty);
    const double b = Bulk(vantrelPty, vantrelDevice);
    vantrel.Keep(a, b, RoundTrips(vantrelDevice, vantrelPty));
    const double c = Bulk(socatDevice, socatPty);
    const double d = Bulk(socatPty, socatDevice);
    socatFigures.Keep(c, d, RoundTrips(socatDevice, socatPty));
  }

  std::printf("end to end, %zu MB bulk, %d round trips of %zu bytes, best of %d rounds\n", kBulkBytes >> 20, kTrips,
              kMessage, kRounds);
  std::printf("%-22s %12s %12s %10s\n", "", "Vantrel", "socat", "ratio");
  std::printf("%-22s %12.1f %12.1f %10.2f\n", "device->pty MB/s", vantrel.toPty, socatFigures.toPty,
              vantrel.toPty / socatFigures.toPty);
  std::printf("%-22s %12.1f %12.1f %10.2f\n", "pty->device MB/s", vantrel.toDevice, socatFigures.toDevice,
              vantrel.toDevice / socatFigures.toDevice);
  std::printf("%-22s %12.3f %12.3f %10.2f\n", "round trip p50 ms", vantrel.trips.p50, socatFigures.trips.p50,
              vantrel.trips.p50 / socatFigures.trips.p50);
  std::printf("%-22s %12.3f %12.3f %10.2f\n", "round trip p99 ms", vantrel.trips.p99, socatFigures.trips.p99,
              vantrel.trips.p99 / socatFigures.trips.p99);

  ::close(socatDevice);
  ::kill(socat, SIGTERM);
  ::waitpid(socat, nullptr, 0);
  ::close(vantrelDevice);
  server.reset();
  serial.reset();
  return 0;
}
