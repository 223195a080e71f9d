#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "FreePort.h"
#include "protocol/RegistrationPacket.h"
#include "TempDir.h"
#include "Vantreld.h"
#include "WaitFor.h"
#include "platform/CNullModemPair.h"

namespace {

constexpr int kPorts = 10;
constexpr int kDevicesPerPort = 20;
constexpr int kRounds = 3;

// The serial software's side of one port: a pty whose slave the service opens as COM<n>.
struct PtyPort {
  int master = -1;
  int slave = -1;
  ~PtyPort() {
    if (master >= 0) ::close(master);
    if (slave >= 0) ::close(slave);
  }
};

// Connects to the service and registers; -1 when the connection failed.
int ConnectDevice(std::uint16_t port, std::uint32_t number) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(port);
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  RegistrationPacket packet{};
  BuildRegistrationPacket(number, "13912345678", "10.1.2.3", packet);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0 ||
      ::send(fd, packet.data(), packet.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(packet.size())) {
    ::close(fd);
    return -1;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

// Bytes read so far on each side.
struct Delivered {
  std::atomic<std::size_t> toPorts{0};
  std::atomic<std::size_t> toDevices{0};
};

// Keeps every descriptor busy in both directions until `stop`: writes whenever there is
// room, reads whatever came. The first `portCount` descriptors are pty masters, the rest
// device sockets. Bounded by a minute whatever happens.
void DriveLoad(const std::vector<int>& fds, std::size_t portCount, const std::atomic<bool>& stop,
               Delivered& delivered) {
  std::vector<pollfd> polls;
  for (int fd : fds) polls.push_back({fd, POLLIN | POLLOUT, 0});
  std::vector<unsigned char> chunk(512, 0x41);
  std::vector<unsigned char> sink(65536);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (!stop && std::chrono::steady_clock::now() < deadline) {
    if (::poll(polls.data(), polls.size(), 50) <= 0) continue;
    for (std::size_t i = 0; i < polls.size(); ++i) {
      pollfd& entry = polls[i];
      const bool isPort = i < portCount;
      if ((entry.revents & POLLIN) != 0) {
        const ssize_t got = ::read(entry.fd, sink.data(), sink.size());
        if (got > 0) (isPort ? delivered.toPorts : delivered.toDevices) += static_cast<std::size_t>(got);
      }
      if ((entry.revents & POLLOUT) != 0) {
        if (isPort)
          (void)!::write(entry.fd, chunk.data(), chunk.size());
        else
          (void)!::send(entry.fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
      }
      // A device the service closed is left alone from here on.
      if ((entry.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && !isPort) entry.fd = -1;
    }
  }
}

}  // namespace

// A stop while devices and ports send in both directions: the service exits 0, every
// round (it used to hang while its threads kept draining queues the traffic refilled, or
// to touch the destroyed device list on the way out).
TEST(StopUnderLoad, SigtermWhileEveryDeviceAndPortSendsExitsZero) {
  TempDir dir;
  const std::string appDir = dir.Path();
  const std::string portDir = appDir + "/ports";
  std::filesystem::create_directories(portDir);

  std::vector<PtyPort> ports(kPorts);
  Vantreld setup(appDir);
  for (int p = 0; p < kPorts; ++p) {
    std::string path;
    ASSERT_TRUE(CNullModemPair::OpenEnd(ports[p].master, ports[p].slave, path));
    const std::string name = "COM" + std::to_string(p + 1);
    std::filesystem::create_symlink(path, portDir + "/" + name);
    for (int d = 0; d < kDevicesPerPort; ++d)
      ASSERT_EQ(setup.Run("tunnel add " + DeviceIdFor(static_cast<std::uint32_t>(p * kDevicesPerPort + d + 1)) +
                          " --port " + name),
                0);
  }
  const std::uint16_t listenPort = FreePort();
  ASSERT_EQ(setup.Run("settings set --ip 127.0.0.1 --port " + std::to_string(listenPort)), 0);

  for (int round = 0; round < kRounds; ++round) {
    Vantreld vantreld(appDir);
    vantreld.Start();
    ASSERT_TRUE(WaitFor([&] { return vantreld.Output().find(kStarted) != std::string::npos; }))
        << vantreld.Errors();

    std::vector<int> fds;
    for (const PtyPort& port : ports) fds.push_back(port.master);
    for (int d = 0; d < kPorts * kDevicesPerPort; ++d) {
      const int fd = ConnectDevice(listenPort, static_cast<std::uint32_t>(d + 1));
      ASSERT_GE(fd, 0);
      fds.push_back(fd);
    }
    std::atomic<bool> stop{false};
    Delivered delivered;
    std::thread load([&] { DriveLoad(fds, kPorts, stop, delivered); });
    // Traffic has crossed in both directions before the stop.
    const bool busy = WaitFor([&] { return delivered.toPorts > 256 * 1024 && delivered.toDevices > 256 * 1024; });
    vantreld.Signal(SIGTERM);
    const int code = vantreld.WaitForExit();
    stop = true;
    load.join();
    for (std::size_t i = kPorts; i < fds.size(); ++i) ::close(fds[i]);
    ASSERT_TRUE(busy) << "round " << round;
    ASSERT_EQ(code, 0) << "round " << round << ": " << vantreld.Errors();
  }
}
