// Latency and rate of the data center's two hops:
//   TcpRecvQueue -> DispatchThread -> ComSendQueue
//   ComRecvQueue -> ComRecvThread  -> TcpSendQueue
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/CDataCenter.h"

namespace {

using Clock = std::chrono::steady_clock;

DataItem Record(DataKind kind) {
  DataItem item{};
  SetDeviceId(item, "0000BEEF");
  item.Kind = kind;
  item.Length = 32;
  std::memset(item.Data, 0x41, 32);
  return item;
}

// Polls (bounded) for one record on `queue`: the moment it can be popped is what counts,
// not how fast this thread would wake up.
bool PopWithin(CDataQueue<DataItem>& queue, DataItem& out) {
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (queue.Count() == 0 || !queue.Pop(out)) {
    if (Clock::now() > deadline) return false;
  }
  return true;
}

void MeasureHop(const char* name, CDataQueue<DataItem>& in, CDataQueue<DataItem>& out, DataKind kind) {
  constexpr int kLatencyRounds = 20000;
  constexpr int kRateRecords = 200000;
  DataItem record = Record(kind);
  DataItem popped{};

  std::vector<double> micros;
  micros.reserve(kLatencyRounds);
  for (int i = 0; i < kLatencyRounds; ++i) {
    const auto start = Clock::now();
    in.Push(record);
    if (!PopWithin(out, popped)) {
      std::printf("%s: record lost\n", name);
      return;
    }
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  std::sort(micros.begin(), micros.end());

  // Rate: the producer pushes in bursts no larger than the trim bound, the consumer drains.
  const auto start = Clock::now();
  int received = 0;
  int sent = 0;
  while (received < kRateRecords) {
    while (sent < kRateRecords && sent - received < 1000) {
      in.Push(record);
      ++sent;
    }
    while (out.Pop(popped)) ++received;
    if (received < sent && !PopWithin(out, popped)) {
      std::printf("%s: record lost\n", name);
      return;
    }
    if (received < sent) ++received;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  std::printf("%-40s p50 %7.1f us  p99 %7.1f us  %9.0f records/s\n", name, micros[micros.size() / 2],
              micros[micros.size() * 99 / 100], kRateRecords / seconds);
}

}  // namespace

int main() {
  CDataCenter& center = CDataCenter::Instance();
  MeasureHop("TcpRecvQueue -> ComSendQueue (32 bytes)", center.TcpRecvQueue, center.ComSendQueue, DATA_USER);
  MeasureHop("ComRecvQueue -> TcpSendQueue (32 bytes)", center.ComRecvQueue, center.TcpSendQueue, DATA_SERIAL);
  return 0;
}
