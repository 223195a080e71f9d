#include "CDeviceSimulator.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "protocol/RegistrationPacket.h"
#include "protocol/ProtEscape.h"

namespace {

// A registration must arrive as its own chunk: the server keeps bytes that follow it in
// the same chunk until the next one arrives.
constexpr auto kRegistrationGap = std::chrono::milliseconds(200);

// A server that accepts but never answers the handshake (a plain port) must not hold a device for ever;
// the server itself gives a connection 60 s to register.
constexpr auto kHandshakeLimit = std::chrono::seconds(30);

double Milliseconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace

CDeviceSimulator::CDeviceSimulator(const DevsimOptions& options, const CTlsClientContext* tls)
    : m_options(options), m_tls(tls) {
  m_devices.resize(static_cast<std::size_t>(options.devices));
  for (std::size_t i = 0; i < m_devices.size(); ++i) {
    m_devices[i].number = options.firstNumber + static_cast<std::uint32_t>(i);
    m_devices[i].id = DeviceIdFor(m_devices[i].number);
  }
}

CDeviceSimulator::~CDeviceSimulator() {
  for (Device& device : m_devices) {
    if (device.tls && device.registered) device.tls->Shutdown();
    CloseSocket(device);
  }
}

void CDeviceSimulator::CloseSocket(Device& device) {
  device.tls.reset();
  if (device.fd >= 0) ::close(device.fd);
  device.fd = -1;
  device.connected = false;
}

void CDeviceSimulator::Fail(Device& device, const std::string& why) {
  if (!device.failed) std::printf("[%s] %s\n", device.id.c_str(), why.c_str());
  device.failed = true;
  CloseSocket(device);
}

void CDeviceSimulator::FailOrClosed(Device& device, const char* what, int error) {
  if (error != ECONNRESET && error != EPIPE) {
    Fail(device, std::string(what) + ": " + std::strerror(error));
    return;
  }
  // A service that stops closes every connection: the normal end of a run, not a fault.
  std::printf("[%s] the server closed the connection (the service stopped, or a newer connection registered "
              "this ID%s)\n",
              device.id.c_str(), device.tls ? ", or it refused the device's certificate" : "");
  device.closedByServer = true;
  CloseSocket(device);
}

void CDeviceSimulator::Connect(Device& device) {
  device.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (device.fd < 0) {
    Fail(device, std::string("cannot create a socket: ") + std::strerror(errno) +
                     " (for many devices, raise the open-file limit with ulimit -n)");
    return;
  }
  const int one = 1;
  // Heartbeats and messages must leave as the separate chunks they are.
  ::setsockopt(device.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(m_options.port);
  ::inet_pton(AF_INET, m_options.host.c_str(), &server.sin_addr);
  if (::connect(device.fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0 && errno != EINPROGRESS)
    Fail(device, std::string("cannot connect: ") + std::strerror(errno));
}

long CDeviceSimulator::Transmit(Device& device, const unsigned char* data, std::size_t length) {
  if (device.tls) {
    const CTlsSession::Result result = device.tls->Write(data, length);
    if (result.status == CTlsSession::Status::Failed) {
      Fail(device, std::string(device.tls->Failure()));
      return -1;
    }
    if (result.status == CTlsSession::Status::Closed) {
      FailOrClosed(device, "send failed", EPIPE);
      return -1;
    }
    return static_cast<long>(result.bytes);
  }
  const ssize_t written = ::send(device.fd, data, length, MSG_NOSIGNAL);
  if (written >= 0) return written;
  if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
  FailOrClosed(device, "send failed", errno);
  return -1;
}

void CDeviceSimulator::SendRaw(Device& device, const unsigned char* data, std::size_t length) {
  if (!device.pending.empty()) {
    device.pending.insert(device.pending.end(), data, data + length);
    return;
  }
  const long taken = Transmit(device, data, length);
  if (taken < 0) return;
  device.pending.insert(device.pending.end(), data + taken, data + length);
}

void CDeviceSimulator::Register(Device& device, Clock::time_point now) {
  device.registered = true;
  RegistrationPacket packet;
  BuildRegistrationPacket(device.number, m_options.phone, m_options.address, packet);
  SendRaw(device, packet.data(), packet.size());
  device.registeredAt = now;
  device.nextMessage = now + kRegistrationGap;
  device.nextHeartbeat = now + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(m_options.heartbeatSeconds));
}

void CDeviceSimulator::ContinueHandshake(Device& device) {
  const CTlsSession::Result result = device.tls->Handshake();
  if (result.status == CTlsSession::Status::Again) return;
  if (result.status != CTlsSession::Status::Done) {
    Fail(device, std::string(device.tls->Failure()));
    return;
  }
  if (!m_tlsShown) {
    std::printf("[%s] TLS: %s\n", device.id.c_str(), device.tls->Summary().c_str());
    m_tlsShown = true;
  }
  Register(device, Clock::now());
}

void CDeviceSimulator::OnWritable(Device& device) {
  if (!device.connected) {
    int error = 0;
    socklen_t size = sizeof error;
    ::getsockopt(device.fd, SOL_SOCKET, SO_ERROR, &error, &size);
    if (error != 0) {
      Fail(device, std::string("cannot connect to ") + m_options.host + ":" + std::to_string(m_options.port) +
                       ": " + std::strerror(error) + " (is the service running?)");
      return;
    }
    device.connected = true;
    device.connectedAt = Clock::now();
    if (m_tls == nullptr) {
      Register(device, device.connectedAt);
      return;
    }
    std::string why;
    device.tls = m_tls->Open(device.fd, m_options.host, why);
    if (!device.tls) {
      Fail(device, why);
      return;
    }
    ContinueHandshake(device);
    return;
  }
  if (device.pending.empty()) return;
  const long written = Transmit(device, device.pending.data(), device.pending.size());
  if (written > 0) device.pending.erase(device.pending.begin(), device.pending.begin() + written);
}

std::vector<unsigned char> CDeviceSimulator::MessageFor(const Device& device) const {
  if (!m_options.generated) return m_options.payload;
  // Readable in a terminal, different for every device and message.
  std::vector<unsigned char> message(m_options.payload.size());
  char head[40];
  const int headLength = std::snprintf(head, sizeof head, "%s#%d:", device.id.c_str(), device.messagesSent);
  for (std::size_t i = 0; i < message.size(); ++i)
    message[i] = i < static_cast<std::size_t>(headLength) ? static_cast<unsigned char>(head[i])
                                                           : static_cast<unsigned char>('a' + (i % 26));
  return message;
}

void CDeviceSimulator::SendMessage(Device& device, Clock::time_point now) {
  const std::vector<unsigned char> message = MessageFor(device);
  std::vector<unsigned char> wire(message.size() * 2);
  if (m_options.escape)
    wire.resize(static_cast<std::size_t>(ProtEscape(message.data(), static_cast<int>(message.size()), wire.data())));
  else
    wire = message;
  SendRaw(device, wire.data(), wire.size());
  device.bytesSent += message.size();
  if (m_options.check) {
    device.expected.insert(device.expected.end(), message.begin(), message.end());
    device.stamps.emplace_back(device.bytesSent, now);
  }
  ++device.messagesSent;
  device.nextMessage += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / m_options.rate));
  m_lastSend = now;
}

void CDeviceSimulator::Print(const Device& device, const std::vector<unsigned char>& data) const {
  if (m_options.show == DevsimOptions::Show::None) return;
  std::string shown;
  for (unsigned char byte : data) {
    char text[8];
    if (m_options.show == DevsimOptions::Show::Hex)
      std::snprintf(text, sizeof text, "%s%02X", shown.empty() ? "" : " ", byte);
    else if (byte >= 0x20 && byte < 0x7F)
      std::snprintf(text, sizeof text, "%c", byte);
    else
      std::snprintf(text, sizeof text, "\\x%02X", byte);
    shown += text;
  }
  std::printf("[%s] <- %zu bytes: %s\n", device.id.c_str(), data.size(), shown.c_str());
}

void CDeviceSimulator::OnReadable(Device& device) {
  unsigned char buffer[16384];
  if (!device.tls) {
    const ssize_t got = ::recv(device.fd, buffer, sizeof buffer, 0);
    if (got == 0) {
      FailOrClosed(device, "receive failed", ECONNRESET);
      return;
    }
    if (got < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) FailOrClosed(device, "receive failed", errno);
      return;
    }
    OnData(device, buffer, static_cast<std::size_t>(got));
    return;
  }
  // Poll does not see what TLS has already taken off the socket: read that too.
  do {
    const CTlsSession::Result result = device.tls->Read(buffer, sizeof buffer);
    if (result.status == CTlsSession::Status::Again) return;
    if (result.status == CTlsSession::Status::Closed) {
      FailOrClosed(device, "receive failed", ECONNRESET);
      return;
    }
    if (result.status == CTlsSession::Status::Failed) {
      Fail(device, std::string(device.tls->Failure()));
      return;
    }
    OnData(device, buffer, result.bytes);
  } while (device.tls && device.tls->Buffered());
}

void CDeviceSimulator::OnData(Device& device, const unsigned char* buffer, std::size_t got) {
  std::vector<unsigned char> data;
  if (m_options.escape) {
    // An FD at the end of a chunk may be the first half of a pair split across reads.
    std::vector<unsigned char> raw;
    if (device.carryFd) raw.push_back(0xFD);
    raw.insert(raw.end(), buffer, buffer + got);
    device.carryFd = !raw.empty() && raw.back() == 0xFD;
    if (device.carryFd) raw.pop_back();
    data.resize(raw.size());
    data.resize(static_cast<std::size_t>(ProtUnescape(raw.data(), static_cast<int>(raw.size()), data.data())));
  } else {
    data.assign(buffer, buffer + got);
  }
  device.bytesReceived += data.size();
  Print(device, data);
  if (m_options.echo) {
    std::vector<unsigned char> wire(buffer, buffer + got);
    SendRaw(device, wire.data(), wire.size());
  }
  if (m_options.check) {
    const Clock::time_point now = Clock::now();
    for (unsigned char byte : data) {
      if (device.expected.empty() || device.expected.front() != byte) ++device.mismatched;
      if (!device.expected.empty()) device.expected.pop_front();
    }
    while (!device.stamps.empty() && device.stamps.front().first <= device.bytesReceived) {
      m_roundTripsMs.push_back(Milliseconds(now - device.stamps.front().second));
      device.stamps.pop_front();
    }
  }
}

bool CDeviceSimulator::WorkDone(Clock::time_point now) const {
  bool anyWork = false;
  for (const Device& device : m_devices) {
    if (device.failed || device.closedByServer) continue;
    if (device.fd >= 0 && !device.registered) return false;
    if (device.messagesSent < m_options.count || !device.pending.empty()) return false;
    if (m_options.check && !device.expected.empty()) anyWork = true;
  }
  if (m_options.count == 0) return false;  // nothing to send: run until stopped
  const auto linger = std::chrono::duration<double>(m_options.lingerSeconds);
  if (now - m_lastSend >= linger) return true;
  return m_options.check && !anyWork;
}

int CDeviceSimulator::Run(const volatile std::sig_atomic_t& stopRequested) {
  const Clock::time_point started = Clock::now();
  for (Device& device : m_devices) Connect(device);
  std::vector<pollfd> fds;
  std::vector<Device*> owners;
  const auto heartbeatPeriod =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(m_options.heartbeatSeconds));
  for (;;) {
    Clock::time_point now = Clock::now();
    if (stopRequested) break;
    if (m_options.durationSeconds > 0 && now - started >= std::chrono::duration<double>(m_options.durationSeconds))
      break;
    if (m_options.durationSeconds == 0 && WorkDone(now)) break;
    if (std::all_of(m_devices.begin(), m_devices.end(), [](const Device& d) { return d.fd < 0; })) break;

    Clock::time_point wake = now + std::chrono::milliseconds(100);
    for (Device& device : m_devices) {
      if (device.connected && !device.registered && now - device.connectedAt >= kHandshakeLimit)
        Fail(device, "no TLS handshake with " + m_options.host + ":" + std::to_string(m_options.port) + " within " +
                         std::to_string(kHandshakeLimit.count()) + " s (is this the server's TLS port?)");
      if (!device.registered || device.fd < 0) continue;
      if (m_options.heartbeatSeconds > 0 && now >= device.nextHeartbeat) {
        const unsigned char heartbeat = 0xFE;
        SendRaw(device, &heartbeat, 1);
        device.nextHeartbeat = now + heartbeatPeriod;
      }
      if (device.fd >= 0 && device.messagesSent < m_options.count && now >= device.nextMessage)
        SendMessage(device, now);
      if (m_options.heartbeatSeconds > 0) wake = std::min(wake, device.nextHeartbeat);
      if (device.messagesSent < m_options.count) wake = std::min(wake, device.nextMessage);
    }

    fds.clear();
    owners.clear();
    for (Device& device : m_devices) {
      if (device.fd < 0) continue;
      fds.push_back(pollfd{device.fd, PollEvents(device), 0});
      owners.push_back(&device);
    }
    const int timeout = static_cast<int>(std::max<double>(0, Milliseconds(wake - Clock::now())) + 1);
    if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
      std::perror("vantrel-devsim: poll");
      break;
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
      Device& device = *owners[i];
      const short revents = fds[i].revents;
      if (revents == 0) continue;
      if (!device.connected) {
        if (revents & (POLLOUT | POLLERR | POLLHUP)) OnWritable(device);
        continue;
      }
      if (device.tls && !device.registered) {
        ContinueHandshake(device);
        continue;
      }
      // A TLS write may wait for input and a read for output: each event retries both.
      const bool tls = device.tls != nullptr;
      if ((tls || (revents & (POLLOUT | POLLERR | POLLHUP))) && !device.pending.empty()) OnWritable(device);
      if (device.fd >= 0 && (tls || (revents & (POLLIN | POLLHUP | POLLERR)))) OnReadable(device);
    }
  }
  return Report(started);
}

short CDeviceSimulator::PollEvents(const Device& device) const {
  short events = POLLIN;
  if (!device.connected) return events | POLLOUT;
  if (device.tls) return device.tls->WantsWritable() ? events | POLLOUT : events;
  return device.pending.empty() ? events : events | POLLOUT;
}

int CDeviceSimulator::Report(Clock::time_point started) const {
  std::uint64_t sent = 0, received = 0, mismatched = 0, missing = 0;
  int failed = 0;
  int closed = 0;
  for (const Device& device : m_devices) {
    if (device.closedByServer) ++closed;
    sent += device.bytesSent;
    received += device.bytesReceived;
    mismatched += device.mismatched;
    missing += device.expected.size();
    if (device.failed) ++failed;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  std::printf("\n%zu device(s), %d failed, %d closed by the server, %.1f s: sent %llu bytes, received %llu bytes\n",
              m_devices.size(), failed, closed, seconds, static_cast<unsigned long long>(sent), static_cast<unsigned long long>(received));
  if (!m_options.check) return failed == 0 ? 0 : 1;

  std::vector<double> trips = m_roundTripsMs;
  std::sort(trips.begin(), trips.end());
  if (!trips.empty())
    std::printf("round trip: %zu messages, p50 %.2f ms, p99 %.2f ms, max %.2f ms\n", trips.size(),
                trips[trips.size() / 2], trips[trips.size() * 99 / 100], trips.back());
  std::printf("check: %llu bytes differed, %llu bytes never came back\n", static_cast<unsigned long long>(mismatched),
              static_cast<unsigned long long>(missing));
  return failed == 0 && mismatched == 0 && missing == 0 ? 0 : 1;
}
