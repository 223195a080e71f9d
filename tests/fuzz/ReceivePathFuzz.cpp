// The device receive path: a device's bytes cut into chunks as the input says (the
// registration too), sent over a real loopback connection to the link handler; what the
// data center then hands the serial side (ComSendQueue, read here in the serial side's
// place) must be what a plain model of the rules makes of the chunks as the server read
// them: the first 21 bytes register, every later chunk is a unit of at most 10239 bytes,
// a heartbeat when it is exactly the byte FE (dropped with the filter on), unescaped when
// escaping is on. Then port bytes go the other way and must reach the device escaped.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "ObservedTcpServer.h"
#include "TempDir.h"
#include "core/CDataCenter.h"
#include "core/CTunnelTable.h"
#include "model/SettingInfo.h"
#include "protocol/ProtEscape.h"
#include "protocol/RegistrationPacket.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kDeviceNumber = 0x00C0FFEE;
constexpr char kDeviceId[] = "00C0FFEE";
constexpr std::size_t kUnitRoom = DATA_ITEM_PAYLOAD - 1;
constexpr auto kBound = std::chrono::seconds(20);

// The reference rules, written plainly.
Bytes ModelEscape(const Bytes& in) {
  Bytes out;
  for (std::uint8_t byte : in) {
    if (byte == 0xFD || byte == 0xFE) {
      out.push_back(0xFD);
      out.push_back(byte == 0xFD ? 0xED : 0xEE);
    } else {
      out.push_back(byte);
    }
  }
  return out;
}

Bytes ModelUnescape(const Bytes& in) {
  Bytes out;
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] == 0xFD && i + 1 < in.size() && in[i + 1] == 0xED) {
      out.push_back(0xFD);
      ++i;
    } else if (in[i] == 0xFD && i + 1 < in.size() && in[i + 1] == 0xEE) {
      out.push_back(0xFE);
      ++i;
    } else {
      out.push_back(in[i]);
    }
  }
  return out;
}

struct Unit {
  std::int32_t kind;
  Bytes data;
  bool operator==(const Unit&) const = default;
};

// What the serial side gets for the stream as the server read it.
std::vector<Unit> Model(const Bytes& stream, const std::vector<std::size_t>& chunks, const SettingInfo& settings) {
  std::vector<Unit> units;
  std::size_t at = 0, registered = 0;
  for (const std::size_t size : chunks) {
    std::size_t offset = at;
    const std::size_t end = at + size;
    at = end;
    if (registered < kRegistrationLength) {
      const std::size_t take = std::min(end - offset, kRegistrationLength - registered);
      registered += take;
      offset += take;
    }
    while (offset < end) {
      const std::size_t take = std::min(end - offset, kUnitRoom);
      const Bytes unit(stream.begin() + static_cast<std::ptrdiff_t>(offset),
                       stream.begin() + static_cast<std::ptrdiff_t>(offset + take));
      offset += take;
      const bool heartbeat = unit == Bytes{0xFE};
      if (heartbeat && settings.FilterHearbeat) continue;
      units.push_back({heartbeat ? DATA_HEARTBEAT : DATA_USER, settings.Escape ? ModelUnescape(unit) : unit});
    }
  }
  return units;
}

struct Setup {
  Setup() : dir("VANTREL_APP_DIR") {
    CTunnelTable::Instance().Modify({kDeviceId, "COM3", "9600", "8", "1", "None", ""});
    server = std::make_unique<ObservedTcpServer>();
  }
  // At the process's exit: the data center's threads are stopped by their owner, not by a
  // static destructor that may run after what they use is gone.
  ~Setup() {
    server.reset();
    CDataCenter::Instance().Shutdown();
  }
  TempDir dir;
  std::unique_ptr<ObservedTcpServer> server;
};

Setup& TheSetup() {
  static Setup setup;
  return setup;
}

class Device {
 public:
  explicit Device(std::uint16_t port) : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    FuzzCheck(m_fd >= 0, "socket");
    const int on = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // libFuzzer's timer signal interrupts waits: a connect it cut short goes on by itself.
    int connected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (connected != 0 && errno == EINTR) {
      pollfd writable{m_fd, POLLOUT, 0};
      for (int wait = 0; wait < 100 && ::poll(&writable, 1, 200) <= 0; ++wait) {
      }
      int error = 0;
      socklen_t size = sizeof error;
      connected = ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0 ? 0 : -1;
    }
    FuzzCheck(connected == 0, "connect");
  }
  ~Device() { Close(); }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  void Send(const Bytes& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t put = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (put < 0 && errno == EINTR) continue;
      FuzzCheck(put > 0, "the server stopped taking the device's bytes");
      sent += static_cast<std::size_t>(put);
    }
  }
  Bytes Read(std::size_t count) {
    Bytes got;
    const auto deadline = Clock::now() + kBound;
    std::uint8_t chunk[16384];
    while (got.size() < count && Clock::now() < deadline) {
      pollfd readable{m_fd, POLLIN, 0};
      if (::poll(&readable, 1, 100) <= 0) continue;
      const ssize_t n = ::recv(m_fd, chunk, std::min(sizeof chunk, count - got.size()), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got.insert(got.end(), chunk, chunk + n);
    }
    return got;
  }
  void Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
  }

 private:
  int m_fd;
};

// Takes what the data center handed the serial side, ending each unit's flight as the
// port writer would.
void Drain(std::vector<Unit>& units) {
  CDataCenter& center = CDataCenter::Instance();
  while (CDataQueue<DataItem>::Block item = center.ComSendQueue.PopBlock()) {
    FuzzCheck(std::string(item->DeviceId) == kDeviceId, std::string("a record of ") + item->DeviceId);
    FuzzCheck(item->Length >= 0 && item->Length <= DATA_ITEM_PAYLOAD, "a record length out of bounds");
    units.push_back({item->Kind, Bytes(item->Data, item->Data + item->Length)});
    center.FinishInFlight(kDeviceId);
    center.ComSendQueue.Recycle(std::move(item));
  }
}

// Drains until `done` holds; a fault when it does not within the bound.
void DrainUntil(std::vector<Unit>& units, const std::function<bool()>& done, const std::string& what) {
  const auto deadline = Clock::now() + kBound;
  for (;;) {
    Drain(units);
    if (done()) return;
    FuzzCheck(Clock::now() < deadline, "waited in vain for " + what);
    CDataCenter::Instance().ComSendQueue.Arrived().Wait(5);
  }
}

// The stream's chunks: the registration cut in up to three pieces (its tail maybe sharing
// the first data chunk), then chunks as the input names them: 0 a lone FE, 1..239 that
// many bytes, 240..255 a large chunk of a repeated pattern (up to 24,000 bytes).
std::vector<Bytes> Chunks(FuzzInput& input) {
  RegistrationPacket packet{};
  BuildRegistrationPacket(kDeviceNumber, "13800138000", "10.0.0.7", packet);
  const Bytes registration(packet.begin(), packet.end());
  std::vector<Bytes> chunks;
  const std::uint8_t cuts = input.Byte();
  std::size_t from = 0;
  for (int cut = 0; cut < (cuts & 3) % 3 && registration.size() - from > 1; ++cut) {
    const std::size_t to = from + 1 + input.Byte() % (registration.size() - from - 1);
    chunks.emplace_back(registration.begin() + static_cast<std::ptrdiff_t>(from),
                        registration.begin() + static_cast<std::ptrdiff_t>(to));
    from = to;
  }
  chunks.emplace_back(registration.begin() + static_cast<std::ptrdiff_t>(from), registration.end());
  const bool tailShared = cuts & 4;
  std::size_t total = 0;
  for (int i = 0; i < 48 && !input.Empty() && total < 100000; ++i) {
    const std::uint8_t size = input.Byte();
    Bytes chunk;
    if (size == 0) {
      chunk = {0xFE};
    } else if (size < 240) {
      chunk = input.Bytes(size);
    } else {
      const Bytes pattern = input.Bytes(16);
      const std::size_t length = std::size_t(size - 239) * 1500;
      for (std::size_t j = 0; j < length; ++j) chunk.push_back(pattern.empty() ? 0xFD : pattern[j % pattern.size()]);
    }
    if (chunk.empty()) break;
    total += chunk.size();
    if (i == 0 && tailShared)
      chunks.back().insert(chunks.back().end(), chunk.begin(), chunk.end());
    else
      chunks.push_back(std::move(chunk));
  }
  return chunks;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  TheSetup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ObservedTcpServer& server = *TheSetup().server;
  CDataCenter& center = CDataCenter::Instance();
  FuzzInput input(data, size);
  const std::uint8_t flags = input.Byte();
  SettingInfo settings;
  settings.FilterHearbeat = flags & 1;
  settings.Escape = flags & 2;
  ReplaceSettings(settings);
  const Bytes toDevice = input.Bytes(input.Byte() * 20);
  const std::vector<Bytes> chunks = Chunks(input);

  std::vector<Unit> got;
  Drain(got);
  FuzzCheck(got.empty(), "records left from the input before");
  const std::size_t chunksBefore = server.Chunks().size();
  const std::uint64_t bytesBefore = server.BytesRead();
  const std::uint64_t registeredBefore = center.Counters().RegisteredConfigured;
  Bytes stream;
  {
    Device device(server.Port());
    for (const Bytes& chunk : chunks) {
      device.Send(chunk);
      stream.insert(stream.end(), chunk.begin(), chunk.end());
      // Each chunk is read as one where the socket allows: the next goes once it is handled.
      DrainUntil(got, [&] { return server.BytesRead() - bytesBefore == stream.size(); }, "the server to read a chunk");
    }
    DrainUntil(got, [&] { return center.Counters().RegisteredConfigured == registeredBefore + 1; },
               "the registration");

    // Port bytes for the device (as the serial side reads them) reach it escaped when
    // escaping is on.
    if (!toDevice.empty()) {
      DataItem item{};
      SetDeviceId(item, kDeviceId);
      item.Kind = DATA_SERIAL;
      item.Length = static_cast<std::int32_t>(toDevice.size());
      std::copy(toDevice.begin(), toDevice.end(), item.Data);
      center.ComRecvQueue.Push(item);
      const Bytes expected = settings.Escape ? ModelEscape(toDevice) : toDevice;
      const Bytes arrived = device.Read(expected.size());
      FuzzCheck(arrived == expected, "port bytes reached the device as " + std::to_string(arrived.size()) +
                                         " other bytes, " + std::to_string(expected.size()) + " expected");
    }
  }
  // The offline record comes after every unit of the connection.
  DrainUntil(got, [&] { return center.OnlineCount() == 0; }, "the device to go offline");
  Drain(got);

  const std::vector<std::size_t> all = server.Chunks();
  const std::vector<std::size_t> read(all.begin() + static_cast<std::ptrdiff_t>(chunksBefore), all.end());
  const std::vector<Unit> expected = Model(stream, read, settings);
  FuzzCheck(got.size() == expected.size(),
            std::to_string(got.size()) + " records for the port, the model makes " + std::to_string(expected.size()));
  for (std::size_t i = 0; i < got.size(); ++i)
    FuzzCheck(got[i] == expected[i], "record " + std::to_string(i) + " differs from the model");

  // The escaping itself, both ways, against the model.
  Bytes escaped(toDevice.size() * 2);
  escaped.resize(static_cast<std::size_t>(ProtEscape(toDevice.data(), static_cast<int>(toDevice.size()), escaped.data())));
  FuzzCheck(escaped == ModelEscape(toDevice), "ProtEscape differs from the model");
  Bytes unescaped(escaped.size());
  unescaped.resize(
      static_cast<std::size_t>(ProtUnescape(escaped.data(), static_cast<int>(escaped.size()), unescaped.data())));
  FuzzCheck(unescaped == toDevice, "escaping does not come back");
  Bytes inPlace = stream;
  inPlace.resize(static_cast<std::size_t>(ProtUnescape(inPlace.data(), static_cast<int>(inPlace.size()), inPlace.data())));
  FuzzCheck(inPlace == ModelUnescape(stream), "ProtUnescape in place differs from the model");
  return 0;
}
