// The device link end to end: devices on real TCP connections, the serial software on
// the far end of a real pty pair.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "EndToEndFixture.h"
#include "WaitFor.h"
#include "core/CTunnelTable.h"
#include "model/LinkEvent.h"
#include "model/WindowMessages.h"
#include "platform/CMessageTarget.h"
#include "platform/DebugSink.h"

namespace {

using Kinds = std::vector<int>;

Kinds KindsOf(const std::vector<Told>& events) {
  Kinds kinds;
  for (const Told& told : events) kinds.push_back(told.kind);
  return kinds;
}

// Collects the diagnostic lines written while it lives.
class DebugLines {
 public:
  DebugLines() {
    SetDebugCapture([this](std::string_view text) {
      std::lock_guard lock(m_mutex);
      m_text += text;
    });
  }
  ~DebugLines() { SetDebugCapture({}); }
  std::string Text() {
    std::lock_guard lock(m_mutex);
    return m_text;
  }

 private:
  std::mutex m_mutex;
  std::string m_text;
};

struct ChunkCase {
  const char* name;
  std::uint32_t number;
  std::vector<Bytes> chunks;  // after the registration's bytes have been cut in
  std::vector<std::pair<int, Bytes>> records;  // what follows the registration
};

TEST_F(EndToEndTest, ChunksBecomeRegistrationHeartbeatsAndUserData) {
  const Bytes fe{0xFE};
  const Bytes r1 = Registration(0x11), r2 = Registration(0x12), r3 = Registration(0x13), r4 = Registration(0x14);
  const Bytes r5 = Registration(0x15);
  const std::vector<ChunkCase> cases = {
      // The bytes after the registration in its chunk are a unit of their own at once.
      {"20 then 5", 0x11, {Slice(r1, 0, 20), Concat({Slice(r1, 20, 21), Text("abcd")}), Text("xyz")},
       {{DATA_USER, Text("abcd")}, {DATA_USER, Text("xyz")}}},
      {"25 then FE", 0x12, {Concat({r2, Text("abcd")}), fe}, {{DATA_USER, Text("abcd")}, {DATA_HEARTBEAT, fe}}},
      {"21 then FE", 0x13, {r3, fe, Text("q")}, {{DATA_HEARTBEAT, fe}, {DATA_USER, Text("q")}}},
      {"FE with more", 0x14, {r4, Bytes{0xFE, 0xFE}}, {{DATA_USER, Bytes{0xFE, 0xFE}}}},
      {"22 ending in FE", 0x15, {Concat({r5, fe}), Text("q")}, {{DATA_HEARTBEAT, fe}, {DATA_USER, Text("q")}}},
  };
  Configure({"00000011", "00000012", "00000013", "00000014", "00000015"});
  for (const ChunkCase& row : cases) {
    SCOPED_TRACE(row.name);
    char id[9];
    std::snprintf(id, sizeof id, "%08X", row.number);
    auto device = Connect();
    for (const Bytes& chunk : row.chunks) SendChunk(*device, chunk);
    const std::size_t expected = 1 + row.records.size();
    ASSERT_TRUE(WaitFor([&] { return DeviceEvents(id).size() >= expected; }));
    const std::vector<Told> events = DeviceEvents(id);
    ASSERT_EQ(events.size(), expected);
    EXPECT_EQ(events[0].kind, DATA_REGISTER);
    EXPECT_EQ(Slice(events[0].data, 0, 20), Slice(Registration(row.number), 0, 20));
    // Then where the connection came from, which the packet's own address may not tell.
    EXPECT_EQ(LinkSource(DATA_REGISTER, events[0].data.data(), events[0].data.size()).rfind("127.0.0.1:", 0), 0u);
    Bytes written;
    for (std::size_t i = 0; i < row.records.size(); ++i) {
      EXPECT_EQ(events[i + 1].kind, row.records[i].first) << i;
      EXPECT_EQ(events[i + 1].data, row.records[i].second) << i;
      written.insert(written.end(), row.records[i].second.begin(), row.records[i].second.end());
    }
    EXPECT_EQ(local->Read(written.size()), written);
  }
}

TEST_F(EndToEndTest, DeviceIdIsTheNumberInHexMostSignificantByteFirst) {
  const std::pair<std::uint32_t, const char*> rows[] = {{0x00000001, "00000001"}, {0x01ABCDEF, "01ABCDEF"}};
  const Bytes packet = Registration(0x01ABCDEF);
  ASSERT_EQ(Slice(packet, 0, 4), (Bytes{0xEF, 0xCD, 0xAB, 0x01}));
  for (const auto& [number, id] : rows) {
    SCOPED_TRACE(id);
    auto device = Online(number);
    const std::vector<Told> events = DeviceEvents(id);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, DATA_REGISTER);
    // Phone number and address travel on to the list unchanged.
    EXPECT_EQ(Slice(events[0].data, 0, 20), Slice(Registration(number), 0, 20));
  }
}

// A user-interface thread that handles nothing for a while holds up no forwarding: the
// reports wait for it and then come, in order, none lost.
TEST_F(EndToEndTest, AListThatHandlesNothingForAWhileHoldsUpNoForwarding) {
  Configure({"00000001"});
  auto device = Online(1);
  const std::vector<Bytes> chunks{Text("one"), Text("two"), Text("three")};

  std::promise<void> release;
  const std::shared_future<void> released = release.get_future().share();
  ASSERT_TRUE(CMessageTarget::Post(list.Handle(), kHoldList, 0, reinterpret_cast<LPARAM>(&released)));
  for (const Bytes& chunk : chunks) {
    SendChunk(*device, chunk);
    EXPECT_EQ(local->Read(chunk.size()), chunk);
  }
  for (const Bytes& chunk : chunks) {
    EXPECT_TRUE(local->Write(chunk));
    EXPECT_EQ(device->Read(chunk.size()), chunk);
  }
  release.set_value();

  const auto events = WaitMessages(WM_DEVICE_EVENT, [](const auto& m) { return m.size() >= 4; });
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].kind, DATA_REGISTER);
  for (std::size_t i = 0; i < chunks.size(); ++i) EXPECT_EQ(events[i + 1].data, chunks[i]);
  const auto written = WaitMessages(WM_SERIAL_STATUS, [](const auto& m) { return m.size() >= 1 + 3; });
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    EXPECT_EQ(written[i + 1].code, SERIAL_WRITTEN);
    EXPECT_EQ(written[i + 1].data, chunks[i]);
  }
  Bytes sent;
  WaitMessages(WM_TCP_STATUS, [&](const auto& m) {
    sent.clear();
    for (const Told& told : m) sent.insert(sent.end(), told.data.begin(), told.data.end());
    return sent.size() >= 11;
  });
  EXPECT_EQ(sent, Text("onetwothree"));
}

TEST_F(EndToEndTest, DeviceDataReachesThePortAndPortDataEveryConnectedDeviceOfIt) {
  DebugLines lines;
  // 00000003 is configured on the port but not connected: its records vanish silently.
  Configure({"00000001", "00000002", "00000003"});
  auto one = Online(1);
  auto two = Online(2);

  SendChunk(*one, Text("to the port"));
  EXPECT_EQ(local->Read(11), Text("to the port"));
  const auto written = WaitMessages(WM_SERIAL_STATUS, [](const auto& m) { return m.size() >= 1 + 1; });
  EXPECT_EQ(written.back().code, SERIAL_WRITTEN);
  EXPECT_EQ(written.back().id, "00000001");

  ASSERT_TRUE(local->Write(Text("first")));
  EXPECT_EQ(one->Read(5), Text("first"));
  EXPECT_EQ(two->Read(5), Text("first"));
  // The second chunk follows the first one's record for 00000003 through the same queue.
  ASSERT_TRUE(local->Write(Text("second")));
  EXPECT_EQ(one->Read(6), Text("second"));
  EXPECT_EQ(two->Read(6), Text("second"));
  // One report per record written (a chunk read from the port in parts makes more).
  const auto sent = WaitMessages(WM_TCP_STATUS, [](const auto& m) {
    std::size_t bytes = 0;
    for (const Told& told : m) bytes += told.data.size();
    return bytes >= 22;
  });
  std::map<std::string, Bytes> reported;
  for (const Told& told : sent) {
    EXPECT_EQ(told.code, TCP_SENT);
    reported[told.id].insert(reported[told.id].end(), told.data.begin(), told.data.end());
  }
  EXPECT_EQ(reported, (std::map<std::string, Bytes>{{"00000001", Text("firstsecond")}, {"00000002", Text("firstsecond")}}));
  EXPECT_EQ(center.GetDeviceTraffic("00000002").BytesOut, 11u);
  EXPECT_EQ(center.GetDeviceTraffic("00000003").BytesOut, 0u);
  EXPECT_EQ(lines.Text().find("Tcp数据发送失败"), std::string::npos);
}

TEST_F(EndToEndTest, HeartbeatsAreWrittenUnlessFiltered) {
  for (const bool filter : {false, true}) {
    SCOPED_TRACE(filter ? "filter on" : "filter off");
    CTunnelTable::Instance().Clear();
    SettingInfo settings = Settings();
    settings.FilterHearbeat = filter;
    Configure({"00000001"}, settings);
    auto device = Online(1);
    SendChunk(*device, Bytes{0xFE});
    SendChunk(*device, Text("m"));
    // The marker comes after the heartbeat on every path: what precedes it shows.
    EXPECT_EQ(local->Read(filter ? 1 : 2), filter ? Text("m") : (Bytes{0xFE, 'm'}));
    device.reset();
    ASSERT_TRUE(WaitFor([&] { return DeviceEvents("00000001").back().kind == DATA_OFFLINE; }));
    list.Clear();
  }
}

TEST_F(EndToEndTest, EscapingIsUndoneTowardsThePortAndAppliedTowardsTheDevice) {
  SettingInfo settings = Settings();
  settings.Escape = true;
  Configure({"00000001"}, settings);
  auto device = Online(1);
  SendChunk(*device, Bytes{0xFD, 0xED, 0x41, 0xFD, 0xEE});
  EXPECT_EQ(local->Read(3), (Bytes{0xFD, 0x41, 0xFE}));
  ASSERT_TRUE(local->Write(Bytes{0x42, 0xFD, 0xFE}));
  EXPECT_EQ(device->Read(5), (Bytes{0x42, 0xFD, 0xED, 0xFD, 0xEE}));
}

TEST_F(EndToEndTest, TheNewestRegistrationOfAnIdWins) {
  Configure({"01ABCDEF"});
  auto first = Online(0x01ABCDEF);
  auto second = Online(0x01ABCDEF);
  EXPECT_TRUE(first->WaitClosed());
  SendChunk(*second, Text("new"));
  EXPECT_EQ(local->Read(3), Text("new"));
  ASSERT_TRUE(local->Write(Text("back")));
  EXPECT_EQ(second->Read(4), Text("back"));
  // The old connection's own close notification adds no second offline record. Reports
  // reach the host a little after the data reaches the port.
  const Kinds expected{DATA_REGISTER, DATA_OFFLINE, DATA_REGISTER, DATA_USER};
  EXPECT_TRUE(WaitFor([&] { return DeviceEvents("01ABCDEF").size() >= expected.size(); }));
  EXPECT_EQ(KindsOf(DeviceEvents("01ABCDEF")), expected);
}

// The old connection closes itself (a worker holds its lock and wants the server lock)
// just as the new one registers (the server lock held, the old one to be closed). Held
// rounds arrange that order: they hang when the replaced connection is closed under the
// server lock. Free rounds race the two: the list sees a device offline twice, or online
// before offline, unless the close notification takes the server lock too.
TEST_F(EndToEndTest, ReplacingAConnectionThatClosesItselfMeanwhileNeitherHangsNorMisorders) {
  Configure({"00000007"});
  auto current = Online(7);
  const Bytes registration = Registration(7);
  constexpr int kRounds = 40;
  for (int round = 0; round < kRounds; ++round) {
    auto next = Connect();
    const bool held = round % 2 == 0;
    if (held) {
      server->HoldNextClose();
      current->Reset();
      ASSERT_TRUE(server->CloseHeld().Wait(20000)) << "round " << round;
      ASSERT_TRUE(next->Send(registration));
    } else {
      std::jthread resetter([&] { current->Reset(); });
      ASSERT_TRUE(next->Send(registration));
    }
    ASSERT_TRUE(WaitFor([&] {
      const Kinds kinds = KindsOf(DeviceEvents("00000007"));
      return std::count(kinds.begin(), kinds.end(), DATA_REGISTER) == round + 2 &&
             std::count(kinds.begin(), kinds.end(), DATA_OFFLINE) == round + 1;
    })) << "round " << round;
    current = std::move(next);
  }
  Kinds expected;
  for (int round = 0; round < kRounds; ++round) expected.insert(expected.end(), {DATA_REGISTER, DATA_OFFLINE});
  expected.push_back(DATA_REGISTER);
  EXPECT_EQ(KindsOf(DeviceEvents("00000007")), expected);
  SendChunk(*current, Text("alive"));
  EXPECT_EQ(local->Read(5), Text("alive"));
}

TEST_F(EndToEndTest, AnUnconfiguredDeviceIsCountedButNotWrittenNorReported) {
  Configure({"00000001"});
  auto stranger = Online(0x0BADF00D);
  auto known = Online(1);
  SendChunk(*stranger, Text("stranger"));
  ASSERT_TRUE(WaitFor([&] { return center.GetDeviceTraffic("0BADF00D").BytesIn == 8; }));
  SendChunk(*known, Text("marker"));
  EXPECT_EQ(local->Read(6), Text("marker"));
  const auto reports = WaitMessages(WM_SERIAL_STATUS, [](const auto& m) { return m.size() >= 2; });
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[1].id, "00000001");
  EXPECT_EQ(KindsOf(DeviceEvents("0BADF00D")), (Kinds{DATA_REGISTER}));
  EXPECT_EQ(center.OnlineCount(), 2);
  EXPECT_EQ(center.MatchedOnlineCount(), 1);
}

TEST_F(EndToEndTest, OnlyARegisteredConnectionGoesOfflineWhenItCloses) {
  Configure({"00000001", "00000002"});
  {
    auto unregistered = Connect();
    SendChunk(*unregistered, Slice(Registration(2), 0, 10));
    const std::uint32_t pooled = server->PooledConnectionCount();
    unregistered.reset();
    ASSERT_TRUE(WaitFor([&] { return server->PooledConnectionCount() > pooled; }));
  }
  auto registered = Online(1);
  registered.reset();
  ASSERT_TRUE(WaitFor([&] { return DeviceEvents("00000001").size() == 2; }));
  EXPECT_EQ(KindsOf(DeviceEvents("00000001")), (Kinds{DATA_REGISTER, DATA_OFFLINE}));
  EXPECT_TRUE(DeviceEvents("00000002").empty());
  EXPECT_EQ(center.OnlineCount(), 0);
}

// A bulk sender fills every read the server makes. The registration's first 20 bytes go
// ahead on their own, so the first read completes the registration and the rest of it is
// one record; the other full reads make one record each, with no lone byte left over.
TEST_F(EndToEndTest, ABulkSenderLosesNoByte) {
  DebugLines lines;
  Configure({"00000001"});
  auto device = Connect();
  const Bytes registration = Registration(1);
  SendChunk(*device, Slice(registration, 0, 20));
  const Bytes data = Pattern(1 << 20, 3);
  std::atomic<bool> sent{false};
  std::jthread sender([&] { sent = device->Send(Concat({Slice(registration, 20, 21), data})); });
  const Bytes received = local->Read(data.size(), std::chrono::seconds(60));
  sender.join();
  EXPECT_TRUE(sent);
  EXPECT_EQ(received.size(), data.size());
  EXPECT_TRUE(received == data);
  const std::vector<std::size_t> chunks = server->Chunks();
  EXPECT_GT(std::count(chunks.begin(), chunks.end(), static_cast<std::size_t>(DATA_ITEM_PAYLOAD - 1)), 1)
      << "no read filled the buffer: the case was not reached";
  const auto records = DeviceEvents("00000001");
  EXPECT_EQ(std::count_if(records.begin(), records.end(), [](const Told& r) { return r.data.size() == 1; }), 0);
  EXPECT_EQ(lines.Text().find("[ERROR]"), std::string::npos) << lines.Text();
}

TEST_F(EndToEndTest, ARecordForADeviceThatIsNotConnectedIsDroppedSilently) {
  DebugLines lines;
  Configure({"00000001"});
  auto device = Online(1);
  DataItem item{};
  SetDeviceId(item, "0000BEEF");
  item.Kind = DATA_SERIAL;
  item.Length = 4;
  std::memcpy(item.Data, "lost", 4);
  center.TcpSendQueue.Push(item);
  SetDeviceId(item, "00000001");
  std::memcpy(item.Data, "kept", 4);
  center.TcpSendQueue.Push(item);
  EXPECT_EQ(device->Read(4), Text("kept"));
  const auto reports = WaitMessages(WM_TCP_STATUS, [](const auto& m) { return !m.empty(); });
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].id, "00000001");
  EXPECT_EQ(reports[0].code, TCP_SENT);
  EXPECT_EQ(lines.Text().find("[ERROR]"), std::string::npos) << lines.Text();
}

// Connections that never complete their registration (none or 20 of the 21 bytes) are
// closed once the timeout passes, with a trace line each; a registered one that stays
// quiet past the same deadline keeps forwarding both ways.
TEST_F(EndToEndTest, OnlyAConnectionThatDoesNotRegisterInTimeIsClosed) {
  DebugLines lines;
  Configure({"00000001"});
  server = std::make_unique<ObservedTcpServer>(std::chrono::milliseconds(300));
  server->SetNotifyWindow(list.Handle());
  auto registered = Online(1);
  auto silent = Connect();
  auto partial = Connect();
  SendChunk(*partial, Slice(Registration(2), 0, 20));
  EXPECT_TRUE(silent->WaitClosed());
  EXPECT_TRUE(partial->WaitClosed());
  EXPECT_NE(lines.Text().find("sent 0 of 21 registration bytes in 300 ms"), std::string::npos) << lines.Text();
  EXPECT_NE(lines.Text().find("sent 20 of 21 registration bytes in 300 ms"), std::string::npos) << lines.Text();
  EXPECT_TRUE(DeviceEvents("00000002").empty());

  SendChunk(*registered, Text("still here"));
  EXPECT_EQ(local->Read(10), Text("still here"));
  ASSERT_TRUE(local->Write(Text("back")));
  EXPECT_EQ(registered->Read(4), Text("back"));
  EXPECT_TRUE(WaitFor([&] { return DeviceEvents("00000001").size() >= 2; }));
  EXPECT_EQ(KindsOf(DeviceEvents("00000001")), (Kinds{DATA_REGISTER, DATA_USER}));
}

// Out of file descriptors the service cannot accept devices: the operator is told why and
// what to do, once (the failing accept repeats every 100 ms while the cause lasts).
TEST_F(EndToEndTest, AcceptFailingForWantOfDescriptorsIsToldOnce) {
  DebugLines lines;
  Configure({"00000001"});
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  int lowest = ::dup(0);
  ASSERT_GE(lowest, 0);
  ::close(lowest);
  std::vector<std::unique_ptr<TestDevice>> devices;
  {
    // Room for a few descriptors beyond those open now: the devices' own ends take them,
    // so the service's accept finds none.
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(lowest + 4);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    for (int i = 0; i < 8; ++i) devices.push_back(std::make_unique<TestDevice>(server->Port()));
    const bool told = WaitFor([&] { return lines.Text().find("open-file limit") != std::string::npos; });
    EXPECT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    ASSERT_TRUE(told) << lines.Text();
  }
  const std::string text = lines.Text();
  EXPECT_NE(text.find("devices cannot connect: accepting a connection failed: Too many open files"), std::string::npos) << text;
  EXPECT_EQ(text.find("open-file limit"), text.rfind("open-file limit")) << "told more than once:\n" << text;
  // With descriptors again, the waiting devices are accepted.
  devices.clear();
  auto device = Online(1);
  SendChunk(*device, Text("ok"));
  EXPECT_EQ(local->Read(2), Text("ok"));
}

}  // namespace
