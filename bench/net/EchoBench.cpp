// Echo servers on loopback, side by side in one run: the socket server framework against
// two minimal single-threaded echo servers written for this benchmark (no framework), one
// on epoll and one on io_uring, so that the framework's choice of mechanism is measured.
// Each server runs in a child process, so its CPU time and memory are its own; this
// process is the load generator.
//   bulk:  one connection, a stream sent and echoed back (MB/s)
//   N:     N connections, each echoing 32-byte messages one at a time (messages/s, p99
//          round trip)
// Every loop stops by itself: counts and time limits bound each phase.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "TempDir.h"
#include "net/CSocketServer.h"
#include "net/UringReferenceServer.h"
#include "net/WriteTrace.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// ---------------------------------------------------------------------------------------
// Servers (run in the child)

class FrameworkEchoServer : public Sockora::CSocketServer {
 public:
  explicit FrameworkEchoServer(bool traceEachBuffer)
      : CSocketServer("127.0.0.1", 0, 0, 100, 100, 10240, 0, true, false), m_trace(traceEachBuffer) {}
  ~FrameworkEchoServer() override { WaitForShutdown(); }

 protected:
  void OnConnectionAccepted(Socket& socket, Sockora::CIOBuffer&) override { socket.Read(); }
  void ReadCompleted(Socket& socket, Sockora::CIOBuffer& buffer) override {
    socket.Write(buffer.GetBuffer(), buffer.GetUsed());
    socket.Read();
  }
  bool TracesBuffers() override { return m_trace; }
  void OnError(const std::string& message) override {
    if (message.rfind("  RX: ", 0) == 0) Sockora::WriteTrace(std::string_view(message).substr(0, message.size() - 1));
  }

 private:
  const bool m_trace;
};

int Listen() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, SOMAXCONN) != 0) {
    std::perror("reference listen");
    std::_Exit(2);
  }
  return fd;
}

std::uint16_t PortOf(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

// The epoll reference: one thread, level-triggered epoll, echo what arrives, keep what the
// socket does not take yet.
void RunEpollReferenceServer(int listener, int controlPipe) {
  const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = listener;
  ::epoll_ctl(epoll, EPOLL_CTL_ADD, listener, &event);
  event.data.fd = controlPipe;
  ::epoll_ctl(epoll, EPOLL_CTL_ADD, controlPipe, &event);

  std::unordered_map<int, std::string> pending;
  std::vector<char> chunk(65536);
  epoll_event events[256];
  for (;;) {
    const int count = ::epoll_wait(epoll, events, 256, -1);
    for (int i = 0; i < count; ++i) {
      const int fd = events[i].data.fd;
      if (fd == controlPipe) return;
      if (fd == listener) {
        for (int accepted; (accepted = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
          event.events = EPOLLIN;
          event.data.fd = accepted;
          ::epoll_ctl(epoll, EPOLL_CTL_ADD, accepted, &event);
        }
        continue;
      }
      std::string& waiting = pending[fd];
      if ((events[i].events & EPOLLOUT) && !waiting.empty()) {
        const ssize_t sent = ::send(fd, waiting.data(), waiting.size(), MSG_NOSIGNAL);
        if (sent > 0) waiting.erase(0, static_cast<std::size_t>(sent));
      }
      if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
        const ssize_t got = ::recv(fd, chunk.data(), chunk.size(), 0);
        if (got == 0 || (got < 0 && errno != EAGAIN)) {
          pending.erase(fd);
          ::close(fd);
          continue;
        }
        if (got > 0) {
          ssize_t sent = 0;
          if (waiting.empty()) sent = std::max<ssize_t>(0, ::send(fd, chunk.data(), got, MSG_NOSIGNAL));
          waiting.append(chunk.data() + sent, static_cast<std::size_t>(got - sent));
        }
      }
      event.events = waiting.empty() ? EPOLLIN : (EPOLLIN | EPOLLOUT);
      event.data.fd = fd;
      ::epoll_ctl(epoll, EPOLL_CTL_MOD, fd, &event);
    }
  }
}

void RunFrameworkServer(bool trace, int portPipe, int controlPipe) {
  FrameworkEchoServer server(trace);
  server.Start();
  server.StartAcceptingConnections();
  const std::uint16_t port = server.ListeningPort();
  [[maybe_unused]] ssize_t written = ::write(portPipe, &port, sizeof port);
  char byte;
  [[maybe_unused]] ssize_t got = ::read(controlPipe, &byte, 1);
}

// Both references listen before they report their port; connections made before their
// loop starts wait in the backlog.
void RunReferenceServer(bool uring, int portPipe, int controlPipe) {
  const int listener = Listen();
  const std::uint16_t port = PortOf(listener);
  [[maybe_unused]] ssize_t written = ::write(portPipe, &port, sizeof port);
  if (uring)
    RunUringReferenceServer(listener, controlPipe);
  else
    RunEpollReferenceServer(listener, controlPipe);
}

enum class Kind { Framework, FrameworkTraced, EpollReference, UringReference };

const char* Name(Kind kind) {
  switch (kind) {
    case Kind::Framework: return "framework";
    case Kind::FrameworkTraced: return "framework+trace";
    case Kind::EpollReference: return "reference epoll";
    case Kind::UringReference: return "reference io_uring";
  }
  return "";
}

struct Child {
  pid_t pid = -1;
  int control = -1;
  std::uint16_t port = 0;
};

Child StartServer(Kind kind) {
  int portPipe[2];
  int controlPipe[2];
  if (::pipe2(portPipe, O_CLOEXEC) != 0 || ::pipe2(controlPipe, O_CLOEXEC) != 0) std::_Exit(2);
  Child child;
  child.pid = ::fork();
  if (child.pid == 0) {
    ::close(portPipe[0]);
    ::close(controlPipe[1]);
    if (kind == Kind::EpollReference || kind == Kind::UringReference)
      RunReferenceServer(kind == Kind::UringReference, portPipe[1], controlPipe[0]);
    else
      RunFrameworkServer(kind == Kind::FrameworkTraced, portPipe[1], controlPipe[0]);
    std::_Exit(0);
  }
  ::close(portPipe[1]);
  ::close(controlPipe[0]);
  child.control = controlPipe[1];
  if (::read(portPipe[0], &child.port, sizeof child.port) != sizeof child.port) std::_Exit(2);
  ::close(portPipe[0]);
  return child;
}

void StopServer(Child& child) {
  const char byte = 0;
  [[maybe_unused]] ssize_t written = ::write(child.control, &byte, 1);
  ::close(child.control);
  // Bounded: a server that does not stop within 60 s is killed.
  for (int i = 0; i < 600; ++i) {
    if (::waitpid(child.pid, nullptr, WNOHANG) == child.pid) return;
    ::usleep(100000);
  }
  std::fprintf(stderr, "server %d did not stop; killed\n", child.pid);
  ::kill(child.pid, SIGKILL);
  ::waitpid(child.pid, nullptr, 0);
}

// CPU seconds (user + system) the process has used so far.
double CpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t end = text.rfind(')');
  std::vector<std::string> fields;
  std::size_t position = end + 2;
  while (position < text.size()) {
    const std::size_t space = text.find(' ', position);
    fields.push_back(text.substr(position, space - position));
    if (space == std::string::npos) break;
    position = space + 1;
  }
  // Fields after the name start at "state"; utime and stime are the 12th and 13th.
  return (std::stod(fields[11]) + std::stod(fields[12])) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double RssMegabytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  return 0;
}

// ---------------------------------------------------------------------------------------
// Load generator (this process)

int ConnectNonBlocking(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void CloseWithReset(int fd) {
  const linger option{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
  ::close(fd);
}

struct Result {
  double rate = 0;  // MB/s or messages/s
  double p99Micros = 0;
  double serverCpu = 0;  // cores busy during the measurement
  double rssMegabytes = 0;
  bool complete = true;
};

Result Bulk(const Child& child) {
  constexpr std::size_t kTotal = 512u << 20;
  Result result;
  const int fd = ConnectNonBlocking(child.port);
  const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
  epoll_event event{};
  event.events = EPOLLIN | EPOLLOUT;
  event.data.fd = fd;
  ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
  std::vector<char> out(65536, 'b');
  std::vector<char> in(262144);
  std::size_t sent = 0;
  std::size_t received = 0;
  const double cpuBefore = CpuSeconds(child.pid);
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::seconds(30);
  while (received < kTotal && Clock::now() < deadline) {
    epoll_event events[1];
    if (::epoll_wait(epoll, events, 1, 1000) <= 0) continue;
    if ((events[0].events & EPOLLOUT) && sent < kTotal) {
      const ssize_t n = ::send(fd, out.data(), std::min(out.size(), kTotal - sent), MSG_NOSIGNAL);
      if (n > 0) sent += static_cast<std::size_t>(n);
      if (sent == kTotal) {
        event.events = EPOLLIN;
        ::epoll_ctl(epoll, EPOLL_CTL_MOD, fd, &event);
      }
    }
    if (events[0].events & EPOLLIN) {
      const ssize_t n = ::recv(fd, in.data(), in.size(), 0);
      if (n > 0) received += static_cast<std::size_t>(n);
    }
  }
  const double seconds = Seconds(Clock::now() - start);
  result.serverCpu = (CpuSeconds(child.pid) - cpuBefore) / seconds;
  result.rssMegabytes = RssMegabytes(child.pid);
  result.rate = static_cast<double>(received) / (1 << 20) / seconds;
  result.complete = received == kTotal;
  CloseWithReset(fd);
  ::close(epoll);
  return result;
}

constexpr std::size_t kMessage = 32;

struct Connection {
  int fd = -1;
  std::size_t got = 0;
  Clock::time_point sentAt;
  bool established = false;
};

bool SendMessage(Connection& connection) {
  static const std::string message(kMessage, 'm');
  connection.got = 0;
  connection.sentAt = Clock::now();
  return ::send(connection.fd, message.data(), kMessage, MSG_NOSIGNAL) == static_cast<ssize_t>(kMessage);
}

// True once a whole echo has arrived.
bool ReadEcho(Connection& connection) {
  char buffer[kMessage];
  const ssize_t n = ::recv(connection.fd, buffer, kMessage - connection.got, 0);
  if (n > 0) connection.got += static_cast<std::size_t>(n);
  return connection.got == kMessage;
}

Result ManyConnections(const Child& child, int count, double measureSeconds) {
  Result result;
  std::vector<Connection> connections(static_cast<std::size_t>(count));
  const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
  std::vector<epoll_event> events(1024);

  // Establish: at most 4 connections between connect and their first echo, so the
  // listen backlog never overflows.
  int started = 0;
  int established = 0;
  int inFlight = 0;
  const auto setupDeadline = Clock::now() + std::chrono::seconds(120);
  while (established < count && Clock::now() < setupDeadline) {
    while (inFlight < 4 && started < count) {
      Connection& connection = connections[static_cast<std::size_t>(started)];
      connection.fd = ConnectNonBlocking(child.port);
      if (connection.fd < 0) {
        std::fprintf(stderr, "connect %d failed: %s\n", started, std::strerror(errno));
        result.complete = false;
        break;
      }
      epoll_event event{};
      event.events = EPOLLOUT;
      event.data.u32 = static_cast<std::uint32_t>(started);
      ::epoll_ctl(epoll, EPOLL_CTL_ADD, connection.fd, &event);
      ++started;
      ++inFlight;
    }
    if (!result.complete) break;
    const int ready = ::epoll_wait(epoll, events.data(), static_cast<int>(events.size()), 1000);
    for (int i = 0; i < ready; ++i) {
      Connection& connection = connections[events[i].data.u32];
      if (events[i].events & EPOLLOUT) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u32 = events[i].data.u32;
        ::epoll_ctl(epoll, EPOLL_CTL_MOD, connection.fd, &event);
        SendMessage(connection);
      } else if (ReadEcho(connection)) {
        connection.established = true;
        ++established;
        --inFlight;
      }
    }
  }
  if (established < count) {
    std::fprintf(stderr, "only %d of %d connections established\n", established, count);
    result.complete = false;
  }

  // Measure: every connection keeps one message in flight.
  std::vector<double> micros;
  micros.reserve(4'000'000);
  long messages = 0;
  for (Connection& connection : connections)
    if (connection.established) SendMessage(connection);
  const auto warmEnd = Clock::now() + std::chrono::milliseconds(500);
  const auto end = warmEnd + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(measureSeconds));
  double cpuBefore = 0;
  bool measuring = false;
  for (auto now = Clock::now(); now < end; now = Clock::now()) {
    if (!measuring && now >= warmEnd) {
      measuring = true;
      cpuBefore = CpuSeconds(child.pid);
    }
    const int ready = ::epoll_wait(epoll, events.data(), static_cast<int>(events.size()), 100);
    for (int i = 0; i < ready; ++i) {
      Connection& connection = connections[events[i].data.u32];
      if (!ReadEcho(connection)) continue;
      if (measuring) {
        ++messages;
        if (micros.size() < micros.capacity())
          micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - connection.sentAt).count());
      }
      SendMessage(connection);
    }
  }
  result.serverCpu = (CpuSeconds(child.pid) - cpuBefore) / measureSeconds;
  result.rssMegabytes = RssMegabytes(child.pid);
  result.rate = static_cast<double>(messages) / measureSeconds;
  if (!micros.empty()) {
    auto p99 = micros.begin() + static_cast<std::ptrdiff_t>(micros.size() * 99 / 100);
    std::nth_element(micros.begin(), p99, micros.end());
    result.p99Micros = *p99;
  }
  for (Connection& connection : connections)
    if (connection.fd >= 0) CloseWithReset(connection.fd);
  ::close(epoll);
  return result;
}

void RaiseDescriptorLimit() {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

void Print(const char* test, Kind kind, const Result& result, const char* unit) {
  // CPU per unit matters when the load generator, not the server, sets the rate.
  std::printf("%-22s %-18s %12.0f %-6s p99 %8.0f us  server CPU %4.2f cores, %7.1f us per %-3s  RSS %7.1f MB%s\n",
              test, Name(kind), result.rate, unit, result.p99Micros, result.serverCpu,
              result.rate > 0 ? result.serverCpu * 1e6 / result.rate : 0.0, unit[0] == 'M' ? "MB" : "msg",
              result.rssMegabytes, result.complete ? "" : "  (INCOMPLETE)");
}

// The servers compared in every case, each a fresh child process per run.
constexpr Kind kCompared[] = {Kind::Framework, Kind::EpollReference, Kind::UringReference};
constexpr std::size_t kComparedCount = std::size(kCompared);

// Runs every compared server `rounds` times, rotating which goes first so that none always
// meets the machine in the same state, and keeps each server's best rate.
template <typename Measure>
std::array<Result, kComparedCount> Compare(int rounds, Measure&& measure) {
  std::array<Result, kComparedCount> best{};
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t step = 0; step < kComparedCount; ++step) {
      const std::size_t index = (step + static_cast<std::size_t>(round)) % kComparedCount;
      Child child = StartServer(kCompared[index]);
      const Result result = measure(child);
      StopServer(child);
      if (round == 0 || result.rate > best[index].rate) best[index] = result;
    }
  }
  return best;
}

void PrintComparison(const char* test, const std::array<Result, kComparedCount>& results, const char* unit) {
  for (std::size_t i = 0; i < kComparedCount; ++i) Print(test, kCompared[i], results[i], unit);
  const Result& framework = results[0];
  const Result& epoll = results[1];
  const Result& uring = results[2];
  std::printf("%-22s framework / epoll reference: rate %.2f, p99 %.2f\n", "", framework.rate / epoll.rate,
              epoll.p99Micros > 0 ? framework.p99Micros / epoll.p99Micros : 0.0);
  const auto cpuPerUnit = [](const Result& result) { return result.rate > 0 ? result.serverCpu / result.rate : 0.0; };
  std::printf("%-22s io_uring / epoll reference:  rate %.2f, p99 %.2f, CPU per unit %.2f\n", "",
              uring.rate / epoll.rate, epoll.p99Micros > 0 ? uring.p99Micros / epoll.p99Micros : 0.0,
              cpuPerUnit(epoll) > 0 ? cpuPerUnit(uring) / cpuPerUnit(epoll) : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  // Optional: the connection counts to run (default 1000 10000). VANTREL_BENCH_ROUNDS
  // (1 to 10, default 2) sets how many times each server runs each case; the best counts.
  std::vector<int> counts;
  for (int i = 1; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
  if (counts.empty()) counts = {1000, 10000};
  const char* roundsText = std::getenv("VANTREL_BENCH_ROUNDS");
  const int rounds = std::clamp(roundsText != nullptr ? std::atoi(roundsText) : 2, 1, 10);
  RaiseDescriptorLimit();
  const TempDir directory("VANTREL_APP_DIR");
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  std::printf("descriptors per process: %llu; framework workers: %u; rounds per server: %d (best kept)\n",
              static_cast<unsigned long long>(limit.rlim_cur), 2 * std::max(1u, std::thread::hardware_concurrency()),
              rounds);

  PrintComparison("bulk, 1 connection", Compare(rounds, Bulk), "MB/s");
  std::printf("\n");

  for (int count : counts) {
    const double seconds = 3.0;
    const auto measure = [&](const Child& child) { return ManyConnections(child, count, seconds); };
    const std::array<Result, kComparedCount> results = Compare(rounds, measure);
    char test[32];
    std::snprintf(test, sizeof test, "%d connections", count);
    PrintComparison(test, results, "msg/s");
    if (count == counts.front()) {
      // The trace log line per received buffer, written to Sockora.log.
      Child child = StartServer(Kind::FrameworkTraced);
      const Result traced = measure(child);
      StopServer(child);
      Print(test, Kind::FrameworkTraced, traced, "msg/s");
      std::printf("%-22s traced / untraced rate: %.2f\n", "", traced.rate / results[0].rate);
    }
    std::printf("\n");
  }
  return 0;
}
