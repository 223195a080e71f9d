// Rate and latency of the serial side on a virtual null-modem pair, next to a plain
// read/write loop on the same pair in the same run:
//   ComSendQueue -> ComSendThread -> port (pty)        vs  write() on the port's pty
//   pty -> event thread -> ReadPort -> ComRecvQueue    vs  read() on the port's pty
// ComRecvQueue is drained by the data center's ComRecvThread, so the receive figures are
// taken where it hands the records on (TcpSendQueue): one more queue hop, a few
// microseconds (see datacenter_bench).
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "PtyEnd.h"
#include "TempDir.h"
#include "core/CDataCenter.h"
#include "core/CTunnelTable.h"
#include "model/SettingInfo.h"
#include "platform/CNullModemPair.h"
#include "serial/CSerialInterface.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kBound = std::chrono::seconds(60);
constexpr std::size_t kBulkBytes = 32u << 20;
constexpr int kSendItem = 8192;
constexpr int kSmall = 32;
const char* const kDevice = "00000001";

// Writes all of it, in blocks of at most one send item, as a plain loop would (false
// when the bound passed or the device failed).
bool WriteAll(int fd, const unsigned char* data, std::size_t size, Clock::time_point deadline) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t put = ::write(fd, data + done, std::min<std::size_t>(size - done, kSendItem));
    if (put > 0) {
      done += static_cast<std::size_t>(put);
      continue;
    }
    if ((put < 0 && errno != EAGAIN) || Clock::now() > deadline) return false;
    pollfd p{fd, POLLOUT, 0};
    ::poll(&p, 1, 100);
  }
  return true;
}

// Reads until `size` bytes came; false when the bound passed.
bool ReadAll(int fd, std::size_t size, Clock::time_point deadline) {
  static unsigned char buffer[65536];
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, size - got));
    if (n > 0) {
      got += static_cast<std::size_t>(n);
      continue;
    }
    if ((n < 0 && errno != EAGAIN) || n == 0 || Clock::now() > deadline) return false;
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, 100);
  }
  return true;
}

struct Figures {
  double bytesPerSecond = 0;
  double p50us = 0;
  double p99us = 0;
  bool ok = true;
};

Figures Latencies(int rounds, const std::function<bool()>& once) {
  std::vector<double> micros;
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    if (!once()) return Figures{0, 0, 0, false};
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  std::sort(micros.begin(), micros.end());
  return Figures{0, micros[micros.size() / 2], micros[micros.size() * 99 / 100], true};
}

// Runs `produce` on a thread of its own and `consume` here; bytes/s over both.
double Rate(std::size_t bytes, const std::function<bool()>& produce, const std::function<bool()>& consume) {
  std::atomic<bool> produced{false};
  const auto start = Clock::now();
  std::thread producer([&] { produced = produce(); });
  const bool consumed = consume();
  producer.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return produced && consumed ? static_cast<double>(bytes) / seconds : 0;
}

// The best of each figure over the rounds; a failed round fails the figure.
void Keep(Figures& best, const Figures& round, int index) {
  const bool ok = round.ok && round.bytesPerSecond > 0;
  if (index == 0) {
    best = round;
    best.ok = ok;
    return;
  }
  best.ok = best.ok && ok;
  best.bytesPerSecond = std::max(best.bytesPerSecond, round.bytesPerSecond);
  best.p50us = std::min(best.p50us, round.p50us);
  best.p99us = std::min(best.p99us, round.p99us);
}

void Print(const char* name, const Figures& vantrel, const Figures& plain) {
  if (!vantrel.ok || !plain.ok) {
    std::printf("%-34s FAILED (bytes lost or bound passed)\n", name);
    return;
  }
  std::printf("%-34s %8.1f MB/s vs %8.1f MB/s (ratio %.2f)   p50 %8.1f us vs %6.1f us   p99 %8.1f us vs %6.1f us\n",
              name, vantrel.bytesPerSecond / 1e6, plain.bytesPerSecond / 1e6,
              vantrel.bytesPerSecond / plain.bytesPerSecond, vantrel.p50us, plain.p50us, vantrel.p99us, plain.p99us);
}

DataItem SendItem(int length) {
  DataItem item{};
  SetDeviceId(item, kDevice);
  item.Kind = DATA_USER;
  item.Length = length;
  std::memset(item.Data, 0x5A, static_cast<std::size_t>(length));
  return item;
}

// Takes records from TcpSendQueue until `bytes` came.
bool TakeRecords(CDataQueue<DataItem>& queue, std::size_t bytes, Clock::time_point deadline) {
  static DataItem item;
  std::size_t got = 0;
  while (got < bytes) {
    if (queue.Pop(item)) {
      got += static_cast<std::size_t>(item.Length);
    } else {
      if (Clock::now() > deadline) return false;
      queue.Arrived().Wait(100);
    }
  }
  return true;
}

}  // namespace

int main() {
  const TempPortDir dir;
  CNullModemPair pair;
  if (!pair.Create() || !pair.Link(dir.Path(), "COM3", "")) {
    std::printf("no pty pair (errno %d)\n", pair.LastError());
    return 1;
  }
  const int local = OpenRaw(pair.PathB());
  std::vector<unsigned char> bulk(kBulkBytes, 0x5A);
  const std::vector<unsigned char> small(kSmall, 0x33);

  CDataCenter& center = CDataCenter::Instance();
  CTunnelTable::Instance().Add(TunnelInfo{kDevice, "COM3", "115200", "8", "1", "None", ""});
  CSerialInterface manager;
  const PortSettings settings{"COM3", "115200", "8", "1", "None"};
  const DataItem bulkItem = SendItem(kSendItem);

  // Three rounds, each plain loop right before the Vantrel path it is compared with; the
  // best of each figure is kept, which damps other load on the machine.
  Figures plainOut, plainIn, out;
  Figures in[2];
  const int idleWaits[2] = {0, 50};
  for (int round = 0; round < 3; ++round) {
    manager.CloseAllPorts();  // the plain loops use the port's pty themselves
    const int port = OpenRaw(pair.PathA());
    Figures figures = Latencies(2000, [&] {
      const auto deadline = Clock::now() + kBound;
      return WriteAll(port, small.data(), small.size(), deadline) && ReadAll(local, small.size(), deadline);
    });
    figures.bytesPerSecond = Rate(
        kBulkBytes, [&] { return WriteAll(port, bulk.data(), bulk.size(), Clock::now() + kBound); },
        [&] { return ReadAll(local, kBulkBytes, Clock::now() + kBound); });
    Keep(plainOut, figures, round);
    figures = Latencies(2000, [&] {
      const auto deadline = Clock::now() + kBound;
      return WriteAll(local, small.data(), small.size(), deadline) && ReadAll(port, small.size(), deadline);
    });
    figures.bytesPerSecond = Rate(
        kBulkBytes, [&] { return WriteAll(local, bulk.data(), bulk.size(), Clock::now() + kBound); },
        [&] { return ReadAll(port, kBulkBytes, Clock::now() + kBound); });
    Keep(plainIn, figures, round);
    ::close(port);

    SettingInfo fast;
    fast.DelayComRead = 0;
    ReplaceSettings(fast);
    manager.OpenAllPorts();
    if (!manager.IsPortOpen("COM3")) {
      std::printf("COM3 did not open\n");
      return 1;
    }
    figures = Latencies(2000, [&] {
      center.ComSendQueue.Push(SendItem(kSmall));
      return ReadAll(local, kSmall, Clock::now() + kBound);
    });
    figures.bytesPerSecond = Rate(
        kBulkBytes,
        [&] {
          const auto deadline = Clock::now() + kBound;
          for (std::size_t sent = 0; sent < kBulkBytes; sent += kSendItem) {
            while (center.ComSendQueue.Count() > 256) {
              if (Clock::now() > deadline) return false;
              std::this_thread::yield();
            }
            center.ComSendQueue.Push(bulkItem);
          }
          return true;
        },
        [&] { return ReadAll(local, kBulkBytes, Clock::now() + kBound); });
    Keep(out, figures, round);

    for (int i = 0; i < 2; ++i) {
      SettingInfo settingsRecord;
      settingsRecord.DelayComRead = idleWaits[i];
      ReplaceSettings(settingsRecord);
      manager.ReopenPort(settings);
      figures = Latencies(idleWaits[i] == 0 ? 2000 : 40, [&] {
        const auto deadline = Clock::now() + kBound;
        return WriteAll(local, small.data(), small.size(), deadline) &&
               TakeRecords(center.TcpSendQueue, small.size(), deadline);
      });
      figures.bytesPerSecond = Rate(
          kBulkBytes, [&] { return WriteAll(local, bulk.data(), bulk.size(), Clock::now() + kBound); },
          [&] { return TakeRecords(center.TcpSendQueue, kBulkBytes, Clock::now() + kBound); });
      Keep(in[i], figures, round);
    }
  }

  Print("ComSendQueue -> pty", out, plainOut);
  for (int i = 0; i < 2; ++i) {
    const std::string name = "pty -> ComRecvQueue (idle " + std::to_string(idleWaits[i]) + " ms)";
    Print(name.c_str(), in[i], plainIn);
  }

  manager.CloseAllPorts();
  ::close(local);
  pair.TearDown();
  return 0;
}
