// A device that reconnects: what its replaced connection had already received still
// reaches the port, before anything of the newer connection.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "EndToEndFixture.h"
#include "WaitFor.h"

namespace {

std::size_t CountOf(const std::vector<Told>& events, int kind) {
  return static_cast<std::size_t>(std::count_if(events.begin(), events.end(), [kind](const Told& t) { return t.kind == kind; }));
}

// How the old connection ends before the device registers again.
enum class OldEnd {
  StaysOpen,  // a link that died without a FIN
  Closes,     // the device closed it (FIN after its last bytes)
};

struct ReconnectCase {
  const char* name;
  OldEnd end;
  // The old connection's last receive is still being handled (a busy worker) when the
  // new registration arrives; else its next receive and the registration race.
  bool lastReceiveLate;
};

// The old connection's last receive ("A"), and bytes still in its socket ("B") that no
// receive had taken when the device registered again with "C" in the same write.
TEST_F(EndToEndTest, BytesAReplacedConnectionHadReceivedReachThePortBeforeTheNewOnes) {
  const ReconnectCase cases[] = {
      {"dead link, late receive", OldEnd::StaysOpen, true},
      {"closed by the device, late receive", OldEnd::Closes, true},
      {"dead link, racing receive", OldEnd::StaysOpen, false},
      {"closed by the device, racing receive", OldEnd::Closes, false},
  };
  Configure({"00000042"});
  auto current = Online(0x42);
  int round = 0;
  for (const ReconnectCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string tag = std::to_string(round++);
    const Bytes a = Text("A" + tag), b = Text("B" + tag), cBytes = Text("C" + tag);
    server->HoldNextReceive();
    ASSERT_TRUE(current->Send(a));
    ASSERT_TRUE(server->ReceiveHeld().Wait(20000));
    // The held receive holds up the connection's next one: "B" waits in the socket.
    ASSERT_TRUE(current->Send(b));
    ASSERT_TRUE(WaitFor([&] { return current->Unacknowledged() == 0; }));
    // Released now, the old connection's next receive races the new registration.
    if (!c.lastReceiveLate) server->ReleaseReceive();
    const Bytes expected = Concat({a, b, cBytes});
    std::unique_ptr<TestDevice> closing;
    if (c.end == OldEnd::Closes) closing = std::move(current);
    auto next = Connect();
    const std::size_t registrations = CountOf(DeviceEvents("00000042"), DATA_REGISTER);
    ASSERT_TRUE(next->Send(Concat({Registration(0x42), cBytes})));
    closing.reset();
    ASSERT_TRUE(WaitFor([&] { return CountOf(DeviceEvents("00000042"), DATA_REGISTER) > registrations; }));
    server->ReleaseReceive();
    EXPECT_EQ(local->Read(expected.size()), expected);
    if (current) {
      EXPECT_TRUE(current->WaitClosed());
    }
    current = std::move(next);
  }
  SendChunk(*current, Text("alive"));
  EXPECT_EQ(local->Read(5), Text("alive"));
  const auto events = DeviceEvents("00000042");
  EXPECT_EQ(CountOf(events, DATA_OFFLINE), std::size(cases));
  EXPECT_EQ(center.OnlineCount(), 1);
}

// A second unit with the same ID that goes on sending on the replaced connection holds up
// the new one only briefly: it is closed, and the new connection's bytes go on.
TEST_F(EndToEndTest, AReplacedConnectionThatGoesOnSendingIsClosed) {
  Configure({"00000043"});
  auto old = Online(0x43);
  std::atomic<bool> stop{false};
  std::jthread chatter([&] {
    for (int i = 0; i < 2000 && !stop; ++i) {
      if (!old->Send(Text("x"))) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  auto next = Connect();
  ASSERT_TRUE(next->Send(Concat({Registration(0x43), Text("NEW")})));
  // Whatever the old unit got in first, "NEW" follows it and nothing of the old one after.
  Bytes seen;
  ASSERT_TRUE(WaitFor([&] {
    const Bytes more = local->Read(1, std::chrono::milliseconds(50));
    seen.insert(seen.end(), more.begin(), more.end());
    return seen.size() >= 3 && Slice(seen, seen.size() - 3, seen.size()) == Text("NEW");
  }));
  stop = true;
  chatter.join();
  EXPECT_TRUE(std::all_of(seen.begin(), seen.end() - 3, [](unsigned char ch) { return ch == 'x'; }));
  EXPECT_TRUE(local->Read(1, std::chrono::milliseconds(200)).empty());
  SendChunk(*next, Text("later"));
  EXPECT_EQ(local->Read(5), Text("later"));
}

// Many devices sending while a share of them keeps reconnecting: every message reaches
// the port exactly once, each device's in the order sent.
TEST_F(EndToEndTest, DevicesThatKeepReconnectingUnderLoadLoseNothing) {
  constexpr int kDevices = 200;
  constexpr int kRounds = 60;           // a round every 20 ms or so
  constexpr int kReconnectEvery = 5;    // rounds: every 100 ms
  constexpr int kReconnecting = kDevices / 5;
  std::vector<std::string> ids;
  for (int d = 0; d < kDevices; ++d) {
    char id[9];
    std::snprintf(id, sizeof id, "%08X", 0x100 + d);
    ids.push_back(id);
  }
  Configure(ids);
  std::vector<std::unique_ptr<TestDevice>> devices;
  for (int d = 0; d < kDevices; ++d) devices.push_back(Online(static_cast<std::uint32_t>(0x100 + d)));
  std::vector<std::unique_ptr<TestDevice>> dying;  // replaced and left open, as dead links

  // Each message is 16 bytes: the device ID, a 7-digit sequence number and a newline.
  const auto message = [&](int d, int seq) {
    char text[17];
    std::snprintf(text, sizeof text, "%s%07d\n", ids[static_cast<std::size_t>(d)].c_str(), seq);
    return Text(text);
  };
  std::mutex receivedMutex;
  Bytes received;
  const auto receivedSize = [&] {
    std::lock_guard lock(receivedMutex);
    return received.size();
  };
  // Stopped and joined on every way out of the test.
  std::jthread reader([&](std::stop_token stop) {
    while (!stop.stop_requested()) {
      const Bytes more = local->Read(16 * 64, std::chrono::milliseconds(20));
      std::lock_guard lock(receivedMutex);
      received.insert(received.end(), more.begin(), more.end());
    }
  });

  std::mt19937 random(7);
  std::vector<int> order(kDevices);
  for (int d = 0; d < kDevices; ++d) order[static_cast<std::size_t>(d)] = d;
  int reconnects = 0;
  for (int round = 0; round < kRounds; ++round) {
    const bool churn = round % kReconnectEvery == kReconnectEvery - 1;
    if (churn) std::shuffle(order.begin(), order.end(), random);
    for (int i = 0; i < kDevices; ++i) {
      const int d = order[static_cast<std::size_t>(i)];
      auto& device = devices[static_cast<std::size_t>(d)];
      const Bytes text = message(d, round);
      if (!churn || i >= kReconnecting) {
        ASSERT_TRUE(device->Send(text)) << ids[static_cast<std::size_t>(d)] << " in round " << round << ": "
                                        << std::strerror(errno);
        continue;
      }
      // The last message on the old connection, then at once the registration on a new
      // one with the next message in the same write.
      ASSERT_TRUE(device->Send(text)) << ids[static_cast<std::size_t>(d)] << " in round " << round << ": "
                                      << std::strerror(errno);
      auto next = Connect();
      ASSERT_TRUE(next->Send(Concat({Registration(static_cast<std::uint32_t>(0x100 + d)), message(d, round + kRounds)})));
      if (i % 2 == 0)
        device.reset();  // closed by the device
      else
        dying.push_back(std::move(device));
      device = std::move(next);
      ++reconnects;
    }
    if (churn && dying.size() > static_cast<std::size_t>(kReconnecting)) dying.erase(dying.begin(), dying.begin() + kReconnecting / 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const std::size_t expectedMessages = static_cast<std::size_t>(kDevices * kRounds + reconnects);
  const bool complete = WaitFor([&] { return receivedSize() >= expectedMessages * 16; }, std::chrono::seconds(60));
  reader.request_stop();
  reader.join();
  EXPECT_TRUE(complete) << received.size() / 16 << " of " << expectedMessages << " messages";

  // Per device: the old-connection and new-connection messages of each round interleave
  // only as sent (round r, then r + kRounds right after a reconnect), never out of order.
  std::map<std::string, std::vector<int>> byDevice;
  ASSERT_EQ(received.size() % 16, 0u);
  for (std::size_t at = 0; at + 16 <= received.size(); at += 16) {
    const std::string text(received.begin() + static_cast<long>(at), received.begin() + static_cast<long>(at + 16));
    ASSERT_EQ(text[15], '\n') << "a message was cut at byte " << at;
    byDevice[text.substr(0, 8)].push_back(std::stoi(text.substr(8, 7)));
  }
  std::size_t missing = 0, duplicated = 0, misordered = 0;
  for (int d = 0; d < kDevices; ++d) {
    const std::vector<int>& got = byDevice[ids[static_cast<std::size_t>(d)]];
    std::vector<int> sorted = got;
    std::sort(sorted.begin(), sorted.end());
    duplicated += static_cast<std::size_t>(std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end());
    std::size_t plain = static_cast<std::size_t>(std::count_if(got.begin(), got.end(), [](int s) { return s < kRounds; }));
    missing += static_cast<std::size_t>(kRounds) - std::min<std::size_t>(plain, kRounds);
    // Sent order: round r's message, and after a reconnect in round r, r + kRounds.
    const auto rank = [](int s) { return s < kRounds ? 2 * s : 2 * (s - kRounds) + 1; };
    for (std::size_t i = 1; i < got.size(); ++i) misordered += static_cast<std::size_t>(rank(got[i - 1]) > rank(got[i]));
  }
  EXPECT_EQ(missing, 0u) << "of " << kDevices * kRounds << " messages, " << reconnects << " reconnects";
  EXPECT_EQ(duplicated, 0u);
  EXPECT_EQ(misordered, 0u);
  EXPECT_EQ(received.size() / 16, expectedMessages);
}

}  // namespace
