#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "ProcessSingletons.h"
#include "RecordingTarget.h"
#include "TestItems.h"
#include "WaitFor.h"
#include "core/CDataCenter.h"
#include "core/CTunnelTable.h"
#include "model/ReportedItem.h"
#include "model/SettingInfo.h"
#include "model/WindowMessages.h"
#include "platform/DebugSink.h"
#include "storage/CAccessInterface.h"

namespace {

struct SeenItem {
  std::string id;
  int kind;
  Bytes data;
};

SeenItem Seen(const DataItem& item) {
  return SeenItem{DeviceIdOf(item), item.Kind, Bytes(item.Data, item.Data + item.Length)};
}

const std::string kConfigured = "00000001";
const std::string kStranger = "0000BEEF";

class DataCenterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetProcessSingletons();
    center.NotTransQueue.Clear();
    CTunnelTable::Instance().Add(TunnelInfo{kConfigured, "COM3", "9600", "8", "1", "None", ""});
    center.SetNotifyWindow(list.Handle());
  }

  void TearDown() override {
    center.SetNotifyWindow(0);
    ResetProcessSingletons();
    center.NotTransQueue.Clear();
  }

  void WithSettings(bool filterHeartbeat, bool escape) {
    SettingInfo settings;
    settings.FilterHearbeat = filterHeartbeat;
    settings.Escape = escape;
    ReplaceSettings(settings);
  }

  // The next record that DispatchThread forwards to the COM side.
  SeenItem NextComSend() {
    DataItem out{};
    EXPECT_TRUE(WaitFor([&] { return center.ComSendQueue.Pop(out); }));
    return Seen(out);
  }

  SeenItem NextTcpSend() {
    DataItem out{};
    EXPECT_TRUE(WaitFor([&] { return center.TcpSendQueue.Pop(out); }));
    return Seen(out);
  }

  std::vector<SeenItem> DeviceEvents() {
    std::vector<SeenItem> events;
    for (const auto& message : list.Messages()) {
      EXPECT_EQ(message.message, WM_DEVICE_EVENT);
      events.push_back(message.copy);
    }
    return events;
  }

  // The device events of every record pushed so far: a configured device's record is
  // pushed behind them, and its event, the last one, marks that all before it came.
  std::vector<SeenItem> DeviceEventsBeforeMarker() {
    const Bytes marker{0x4D};
    center.TcpRecvQueue.Push(MakeItem(kConfigured, DATA_USER, marker));
    EXPECT_EQ(NextComSend().data, marker);
    EXPECT_TRUE(WaitFor([&] {
      const auto messages = list.Messages();
      return !messages.empty() && messages.back().copy.data == marker;
    }));
    std::vector<SeenItem> events = DeviceEvents();
    events.pop_back();
    return events;
  }

  CDataCenter& center = CDataCenter::Instance();
  RecordingTarget<SeenItem> list{[](unsigned, WPARAM, LPARAM lParam) {
    const auto& report = *reinterpret_cast<const ReportedItem*>(lParam);
    return SeenItem{DeviceIdOf(report), report.Kind,
                    report.Data};
  }};
};

}  // namespace

TEST_F(DataCenterTest, EscapingIsRemovedTowardsThePortAndAddedTowardsTheDevice) {
  WithSettings(false, true);
  center.TcpRecvQueue.Push(MakeItem(kConfigured, DATA_USER, {0xFD, 0xED, 0x41, 0xFD, 0xEE}));
  center.TcpRecvQueue.Push(MakeItem(kConfigured, DATA_USER, {0xFD, 0x42}));
  center.TcpRecvQueue.Push(MakeItem(kConfigured, DATA_USER, {0x41, 0xFD}));
  EXPECT_EQ(NextComSend().data, (Bytes{0xFD, 0x41, 0xFE}));
  EXPECT_EQ(NextComSend().data, (Bytes{0xFD, 0x42}));
  EXPECT_EQ(NextComSend().data, (Bytes{0x41, 0xFD}));

  center.ComRecvQueue.Push(MakeItem(kConfigured, DATA_SERIAL, {0x10, 0xFE, 0xFD, 0x20}));
  const SeenItem toDevice = NextTcpSend();
  EXPECT_EQ(toDevice.id, kConfigured);
  EXPECT_EQ(toDevice.kind, DATA_SERIAL);
  EXPECT_EQ(toDevice.data, (Bytes{0x10, 0xFD, 0xEE, 0xFD, 0xED, 0x20}));

  // Bytes in are counted as received, before unescaping; the list sees the received form.
  EXPECT_EQ(center.GetDeviceTraffic(kConfigured).BytesIn, 9u);
  ASSERT_TRUE(WaitFor([&] { return list.Messages().size() == 3; }));
  EXPECT_EQ(DeviceEvents()[0].data, (Bytes{0xFD, 0xED, 0x41, 0xFD, 0xEE}));
}

TEST_F(DataCenterTest, EscapingOffPassesBytesUnchanged) {
  center.TcpRecvQueue.Push(MakeItem(kConfigured, DATA_USER, {0xFD, 0xED}));
  center.ComRecvQueue.Push(MakeItem(kConfigured, DATA_SERIAL, {0xFE}));
  EXPECT_EQ(NextComSend().data, (Bytes{0xFD, 0xED}));
  EXPECT_EQ(NextTcpSend().data, (Bytes{0xFE}));
}

TEST_F(DataCenterTest, HeartbeatFilter) {
  // Filter on: nothing counted, nothing told, nothing forwarded. The stranger's record
  // behind it shows that the heartbeat has been handled.
  WithSettings(true, false);
  center.TcpRecvQueue.Push(MakeItem(kConfigured, DATA_HEARTBEAT, {0xFE}));
  center.TcpRecvQueue.Push(MakeItem(kStranger, DATA_USER, {0x01}));
  EXPECT_EQ(NextComSend().id, kStranger);
  EXPECT_EQ(center.GetDeviceTraffic(kConfigured).BytesIn, 0u);
  EXPECT_TRUE(list.Messages().empty());

  // Filter off: the byte goes to the port and counts.
  WithSettings(false, false);
  center.TcpRecvQueue.Push(MakeItem(kConfigured, DATA_HEARTBEAT, {0xFE}));
  const SeenItem forwarded = NextComSend();
  EXPECT_EQ(forwarded.kind, DATA_HEARTBEAT);
  EXPECT_EQ(forwarded.data, (Bytes{0xFE}));
  EXPECT_EQ(center.GetDeviceTraffic(kConfigured).BytesIn, 1u);
  ASSERT_TRUE(WaitFor([&] { return list.Messages().size() == 1; }));
}

TEST_F(DataCenterTest, OnlineCountersFollowRegistrationsAndOfflines) {
  center.TcpRecvQueue.Push(MakeItem(kConfigured, DATA_REGISTER, Bytes(20, 0x11)));
  center.TcpRecvQueue.Push(MakeItem(kStranger, DATA_REGISTER, Bytes(20, 0x22)));
  ASSERT_TRUE(WaitFor([&] { return list.Messages().size() == 2; }));
  EXPECT_EQ(center.OnlineCount(), 2);
  EXPECT_EQ(center.MatchedOnlineCount(), 1);
  EXPECT_EQ(DeviceEvents()[1].id, kStranger) << "every registration is told to the list";

  center.TcpRecvQueue.Push(MakeItem(kStranger, DATA_USER, {1}));
  center.TcpRecvQueue.Push(MakeItem(kConfigured, DATA_USER, {1}));
  center.TcpRecvQueue.Push(MakeItem(kStranger, DATA_OFFLINE));
  ASSERT_TRUE(WaitFor([&] { return list.Messages().size() == 4; }));
  EXPECT_EQ(center.OnlineCount(), 1);
  EXPECT_EQ(center.MatchedOnlineCount(), 1);
  // A gone unconfigured device's counts go with it (a scan of IDs must not grow memory);
  // a configured device's stay for its row.
  EXPECT_EQ(center.GetDeviceTraffic(kStranger).BytesIn, 0u);
  EXPECT_EQ(center.GetDeviceTraffic(kConfigured).BytesIn, 1u);
  center.TcpRecvQueue.Push(MakeItem(kConfigured, DATA_OFFLINE));
  ASSERT_TRUE(WaitFor([&] { return list.Messages().size() == 5; }));
  EXPECT_EQ(center.OnlineCount(), 0);
  EXPECT_EQ(center.MatchedOnlineCount(), 0);
  EXPECT_EQ(center.ComSendQueue.Count(), 2u) << "registrations and offlines never reach the COM side";
}

// A scraper takes rates from these: an unconfigured device's offline and a service reset,
// which drop the per-device counts, leave them as they were.
TEST_F(DataCenterTest, ProcessWideCountsOutliveOfflinesAndServiceResets) {
  const ForwardingCounters before = center.Counters();
  center.TcpRecvQueue.Push(MakeItem(kConfigured, DATA_REGISTER, Bytes(20, 0x11)));
  center.TcpRecvQueue.Push(MakeItem(kStranger, DATA_REGISTER, Bytes(20, 0x22)));
  center.TcpRecvQueue.Push(MakeItem(kStranger, DATA_USER, {1, 2, 3}));
  EXPECT_EQ(NextComSend().data, (Bytes{1, 2, 3}));
  center.TcpRecvQueue.Push(MakeItem(kStranger, DATA_OFFLINE));
  ASSERT_TRUE(WaitFor([&] { return list.Messages().size() == 3; }));
  center.AddDeviceTraffic(kConfigured, 0, 7);
  center.ResetServiceState();

  const ForwardingCounters after = center.Counters();
  EXPECT_EQ(after.RegisteredConfigured - before.RegisteredConfigured, 1u);
  EXPECT_EQ(after.RegisteredUnconfigured - before.RegisteredUnconfigured, 1u);
  EXPECT_EQ(after.BytesToPort - before.BytesToPort, 3u);
  EXPECT_EQ(after.RecordsToPort - before.RecordsToPort, 1u);
  EXPECT_EQ(after.BytesToDevice - before.BytesToDevice, 7u);
  EXPECT_EQ(after.RecordsToDevice - before.RecordsToDevice, 1u);
}

TEST_F(DataCenterTest, UserDataOfAnUnconfiguredDeviceIsCountedAndForwardedSilently) {
  center.TcpRecvQueue.Push(MakeItem(kStranger, DATA_USER, {1, 2, 3}));
  EXPECT_EQ(NextComSend().data, (Bytes{1, 2, 3}));
  EXPECT_EQ(center.GetDeviceTraffic(kStranger).BytesIn, 3u);
  EXPECT_TRUE(DeviceEventsBeforeMarker().empty());
}

// The trim is a last guard: device data it takes from ComSendQueue goes to the store as a
// failed write's would (a stranger's is dropped, as its write would be), and a trim of
// any other queue says how many records went.
TEST_F(DataCenterTest, StatisticsPassTrimsQueuesStoresComSendRecordsAndWritesTheLines) {
  std::mutex mutex;
  std::vector<std::string> lines;
  SetDebugCapture([&](std::string_view text) {
    std::lock_guard lock(mutex);
    lines.emplace_back(text);
  });
  auto allLines = [&] {
    std::lock_guard lock(mutex);
    return lines;
  };

  center.RunStatisticsPass();
  EXPECT_EQ(allLines(), std::vector<std::string>{"[MSG]Tcp Recv:0, Tcp Send:0, Com Send:0 , Com Recv0\n"});

  const DataItem stranger = MakeItem(kStranger, DATA_USER, {0x66});
  for (int i = 0; i < 10; ++i) center.ComSendQueue.Push(stranger);
  const DataItem item = MakeItem(kConfigured, DATA_USER, {0x55});
  for (int i = 0; i < 6000; ++i) center.ComSendQueue.Push(item);
  for (int i = 0; i < 5003; ++i) center.TcpSendQueue.Push(stranger);
  center.RunStatisticsPass();
  // The statistics thread's own pass may have trimmed part of it, and may still be
  // writing its lines: they add up once it is done.
  std::size_t tcpSendDropped = 0, comSendTrimmed = 0, comSendStored = 0;
  EXPECT_TRUE(WaitFor([&] {
    tcpSendDropped = comSendTrimmed = comSendStored = 0;
    for (const std::string& line : allLines()) {
      std::size_t count = 0, stored = 0;
      if (std::sscanf(line.c_str(), "[ERROR]Tcp Send: %zu records dropped", &count) == 1) tcpSendDropped += count;
      if (std::sscanf(line.c_str(), "[ERROR]Com Send queue full: %zu records not written to their port, %zu of them",
                      &count, &stored) == 2) {
        comSendTrimmed += count;
        comSendStored += stored;
      }
    }
    return tcpSendDropped == 3 && comSendTrimmed == 1010 && comSendStored == 1000;
  })) << tcpSendDropped << " " << comSendTrimmed << " " << comSendStored;
  const std::vector<std::string> written = allLines();
  SetDebugCapture(nullptr);
  EXPECT_NE(std::find(written.begin(), written.end(), "[MSG]Tcp Recv:0, Tcp Send:5000, Com Send:5000 , Com Recv0\n"),
            written.end());
  EXPECT_EQ(center.ComSendQueue.Count(), 5000u);

  CAccessInterface store;
  ASSERT_EQ(store.OpenDatabase(DATABASE_FILE_NAME), 1);
  std::vector<NotTransRecord> records;
  EXPECT_TRUE(WaitFor([&] {
    records.clear();
    return store.QueryNotTransData({kConfigured, "", ""}, records, 2000, nullptr) == 1000;
  })) << records.size();
  EXPECT_EQ(store.QueryNotTransData({kStranger, "", ""}, records, 10, nullptr), 0);
  store.DeleteAllNotTransData();
}

// A device is held from the high-water mark on, and its drain is told once, at the low one.
TEST_F(DataCenterTest, ADeviceWithTooManyUnitsInFlightIsHeldUntilItDrains) {
  std::mutex mutex;
  std::vector<std::string> drained;
  center.SetDrainListener(this, [&](const std::string& id) {
    std::lock_guard lock(mutex);
    drained.push_back(id);
  });
  auto drains = [&] {
    std::lock_guard lock(mutex);
    return drained;
  };

  for (std::size_t i = 1; i < CDataCenter::kHighWater; ++i) center.CountInFlight(kConfigured);
  EXPECT_FALSE(center.HoldWhileBacklogged(kConfigured));
  center.CountInFlight(kConfigured);
  EXPECT_TRUE(center.HoldWhileBacklogged(kConfigured));
  EXPECT_FALSE(center.HoldWhileBacklogged(kStranger));
  for (std::size_t i = CDataCenter::kHighWater; i > CDataCenter::kLowWater + 1; --i) center.FinishInFlight(kConfigured);
  EXPECT_TRUE(drains().empty());
  center.FinishInFlight(kConfigured);
  EXPECT_EQ(drains(), std::vector<std::string>{kConfigured});
  for (std::size_t i = 0; i < CDataCenter::kLowWater + 5; ++i) center.FinishInFlight(kConfigured);
  EXPECT_EQ(center.InFlight(kConfigured), 0u) << "never below zero";
  EXPECT_EQ(drains().size(), 1u);

  // A record handed to the store stays in flight until the database has it.
  center.StoreNotTransData(MakeItem(kConfigured, DATA_USER, {7}));
  EXPECT_TRUE(WaitFor([&] { return center.InFlight(kConfigured) == 0; }));
  center.SetDrainListener(this, nullptr);
  CAccessInterface store;
  ASSERT_EQ(store.OpenDatabase(DATABASE_FILE_NAME), 1);
  store.DeleteAllNotTransData();
}

TEST_F(DataCenterTest, ResetServiceStateLeavesRecordsWaitingForTheDatabase) {
  center.TcpRecvQueue.Push(MakeItem(kConfigured, DATA_REGISTER, Bytes(20, 0)));
  ASSERT_TRUE(WaitFor([&] { return center.OnlineCount() == 1; }));
  center.AddDeviceTraffic(kConfigured, 5, 7);
  center.ComSendQueue.Push(MakeItem(kConfigured, DATA_USER, {1}));
  center.StoreNotTransData(MakeItem(kConfigured, DATA_USER, {9}));

  center.ResetServiceState();
  EXPECT_EQ(center.ComSendQueue.Count(), 0u);
  EXPECT_EQ(center.OnlineCount(), 0);
  EXPECT_EQ(center.MatchedOnlineCount(), 0);
  EXPECT_EQ(center.GetDeviceTraffic(kConfigured).BytesOut, 0u);
  // What was handed over for storage still reaches the database.
  CAccessInterface store;
  ASSERT_EQ(store.OpenDatabase(DATABASE_FILE_NAME), 1);
  EXPECT_TRUE(WaitFor([&] {
    std::vector<NotTransRecord> records;
    return store.QueryNotTransData({kConfigured, "", ""}, records, 10, nullptr) == 1 && records[0].Item.Length == 1 &&
           records[0].Item.Data[0] == 9;
  }));
}
