#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "FreePort.h"
#include "ProcessSingletons.h"
#include "ServiceSetup.h"
#include "TestAppDirectory.h"
#include "TestDevice.h"
#include "WaitFor.h"
#include "core/CDataCenter.h"
#include "service/CDlgSimulation.h"
#include "core/CTunnelTable.h"
#include "model/SettingInfo.h"
#include "model/WindowMessages.h"
#include "platform/CMessageQueue.h"
#include "platform/CNamedEventHost.h"
#include "platform/AppPaths.h"
#include "platform/Notice.h"
#include "platform/CNullModemPair.h"
#include "SerialFixture.h"
#include "storage/CAccessInterface.h"
#include "resources/CResourceStrings.h"
#include "resources/ResourceIds.h"

namespace {

std::string Text(unsigned id) { return CResourceStrings::Instance().LoadString(id); }

class ServiceHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetProcessSingletons();
    UseLoopbackSettings(m_port);
    SetNoticeHook([this](const std::string& text, const std::string&, int) {
      std::lock_guard lock(m_mutex);
      m_notices.push_back(text);
      return IDNO;
    });
    m_simulation.SetMainWindow(m_mainWindow.Handle());
  }

  void TearDown() override {
    m_simulation.StopService();
    SetNoticeHook(nullptr);
    ResetProcessSingletons();
  }

  void AddTunnel(const std::string& id, const std::string& port) {
    CTunnelTable::Instance().Add(TunnelInfo{id, port, "9600", "8", "1", "None", ""});
  }

  // Handles this thread's messages (it is the user-interface thread) until `condition`.
  template <typename Condition>
  bool PumpUntil(Condition condition) {
    return WaitFor([&] {
      CMessageQueue::ForThisThread()->ProcessAll();
      return condition();
    });
  }

  int StatusCount(const std::string& text) {
    std::lock_guard lock(m_mutex);
    return static_cast<int>(std::count(m_status.begin(), m_status.end(), text));
  }
  std::vector<std::string> Notices() {
    std::lock_guard lock(m_mutex);
    return m_notices;
  }

  TempPortDir m_portDir;
  const std::uint16_t m_port = FreePort();
  std::mutex m_mutex;
  std::vector<std::string> m_status;
  std::vector<std::string> m_notices;
  int m_stopCommands = 0;
  CMessageTarget m_mainWindow{[this](unsigned message, WPARAM wParam, LPARAM lParam) -> LRESULT {
    if (message == WM_STATUS_TEXT) {
      std::lock_guard lock(m_mutex);
      m_status.emplace_back(reinterpret_cast<const char*>(lParam));
    } else if (message == WM_COMMAND && wParam == ID_SIM_STOP) {
      ++m_stopCommands;
      m_simulation.StopService();
    }
    return 0;
  }};
  CDlgSimulation m_simulation{200};
};

}  // namespace

TEST_F(ServiceHostTest, StartStopCyclesWithDataFlowingBothWays) {
  CNullModemPair pair;
  ASSERT_TRUE(pair.Create());
  ASSERT_TRUE(pair.Link(m_portDir.Path(), "COM5", "COM5_FF"));
  AddTunnel("00000001", "COM5");
  LocalEnd local(m_portDir.Path() + "/COM5_FF");
  for (int cycle = 0; cycle < 3; ++cycle) {
    m_simulation.StartService();
    ASSERT_TRUE(PumpUntil([&] { return m_simulation.Accepting(); })) << m_simulation.LastStartFailure();
    EXPECT_EQ(m_simulation.DeviceList().Row(0).PortState, DeviceRow::Port::Open);
    TestDevice device(m_port);
    ASSERT_TRUE(device.IsOpen());
    ASSERT_TRUE(device.Send(Registration(1)));
    ASSERT_TRUE(PumpUntil([&] {
      return m_simulation.DeviceList().Row(0).LinkState == DeviceRow::Link::Connected;
    }));
    EXPECT_EQ(m_simulation.DeviceList().Row(0).Phone, "13912345678");
    EXPECT_EQ(m_simulation.DeviceList().Row(0).SourceIp, "10.1.2.3");
    ASSERT_TRUE(device.Send(Text("ping")));
    EXPECT_EQ(local.Read(4), Text("ping"));
    ASSERT_TRUE(local.Write(Text("pong")));
    EXPECT_EQ(device.Read(4), Text("pong"));
    // Stop while the device is still connected: the server's last reports are handled
    // while StopService waits.
    m_simulation.StopService();
    EXPECT_FALSE(m_simulation.ServiceRunning());
    EXPECT_EQ(m_simulation.DeviceList().RowCount(), 0);
  }
  EXPECT_EQ(StatusCount(Text(IDS_SERVICE_STARTED)), 3);
  EXPECT_EQ(StatusCount(Text(IDS_SERVICE_STOPPED)), 3);
  EXPECT_EQ(StatusCount(Text(IDS_CHANNEL_TOTAL) + ":1"), 3);
}

TEST_F(ServiceHostTest, StartTwiceStartsOnceStopTwiceReportsOnce) {
  m_simulation.StartService();
  m_simulation.StartService();
  ASSERT_TRUE(PumpUntil([&] { return StatusCount(Text(IDS_SERVICE_STARTED)) == 1; }));
  m_simulation.StopService();
  m_simulation.StopService();
  CMessageQueue::ForThisThread()->ProcessAll();
  EXPECT_EQ(StatusCount(Text(IDS_SERVICE_STARTED)), 1);
  EXPECT_EQ(StatusCount(Text(IDS_SERVICE_STOPPED)), 1);
}

TEST_F(ServiceHostTest, AStopGivenWhileTheServerIsStillBeingBuiltIsNotLost) {
  for (int cycle = 0; cycle < 20; ++cycle) {
    m_simulation.StartService();
    // At once: the service thread is usually still building the server.
    m_simulation.StopService();
    EXPECT_FALSE(m_simulation.ServiceRunning());
  }
  EXPECT_EQ(StatusCount(Text(IDS_SERVICE_STOPPED)), 20);
}

TEST_F(ServiceHostTest, APortInUseFailsTheStartAndLeavesTheServiceStopped) {
  const int other = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(m_port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(other, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(other, 1), 0);
  AddTunnel("00000001", "COM5");

  m_simulation.StartService();
  ASSERT_TRUE(PumpUntil([&] { return m_stopCommands == 1; }));
  // The box names the address, the port and why.
  ASSERT_EQ(Notices().size(), 1u);
  EXPECT_NE(Notices()[0].find("127.0.0.1:" + std::to_string(m_port)), std::string::npos) << Notices()[0];
  EXPECT_EQ(Notices()[0], m_simulation.StartFailureText());
  EXPECT_FALSE(m_simulation.ServiceRunning());
  EXPECT_EQ(m_simulation.DeviceList().RowCount(), 0);
  EXPECT_FALSE(m_simulation.LastStartFailure().empty());
  EXPECT_EQ(StatusCount(Text(IDS_SERVICE_STOPPED)), 0);
  close(other);

  // The next start works.
  m_simulation.StartService();
  EXPECT_TRUE(PumpUntil([&] { return m_simulation.Accepting(); }));
}

TEST_F(ServiceHostTest, PauseResumeFromOutsideKeepsConnectedDevicesForwarding) {
  CNamedEventHost host(ApplicationDirectory());
  std::string error;
  ASSERT_TRUE(host.Listen(error)) << error;
  m_simulation.RegisterNamedEvents(host);
  CNullModemPair pair;
  ASSERT_TRUE(pair.Create());
  ASSERT_TRUE(pair.Link(m_portDir.Path(), "COM5", "COM5_FF"));
  AddTunnel("00000001", "COM5");
  LocalEnd local(m_portDir.Path() + "/COM5_FF");
  m_simulation.StartService();
  ASSERT_TRUE(PumpUntil([&] { return m_simulation.Accepting(); }));
  TestDevice device(m_port);
  ASSERT_TRUE(device.Send(Registration(1)));
  // Accepted, not just waiting in the listen queue, which the pause would reset.
  ASSERT_TRUE(PumpUntil([&] { return CDataCenter::Instance().OnlineCount() == 1; }));

  ASSERT_EQ(CNamedEventHost::Signal(ApplicationDirectory(), CDlgSimulation::kPauseResumeEventName, error), 0) << error;
  ASSERT_TRUE(PumpUntil([&] { return !m_simulation.Accepting(); }));
  EXPECT_FALSE(TestDevice(m_port).IsOpen()) << "no new connections while paused";
  ASSERT_TRUE(device.Send(Text("still here")));
  EXPECT_EQ(local.Read(10), Text("still here"));

  ASSERT_EQ(CNamedEventHost::Signal(ApplicationDirectory(), CDlgSimulation::kPauseResumeEventName, error), 0) << error;
  ASSERT_TRUE(PumpUntil([&] { return m_simulation.Accepting(); }));
  EXPECT_TRUE(TestDevice(m_port).IsOpen());
  EXPECT_TRUE(m_simulation.ServiceRunning());

  // A shutdown from outside stops the service; the main window is told to show it.
  ASSERT_EQ(CNamedEventHost::Signal(ApplicationDirectory(), CDlgSimulation::kShutdownEventName, error), 0) << error;
  ASSERT_TRUE(PumpUntil([&] { return m_stopCommands == 1; }));
  EXPECT_FALSE(m_simulation.ServiceRunning());
  EXPECT_EQ(StatusCount(Text(IDS_SERVICE_STOPPED)), 1);
}

TEST_F(ServiceHostTest, AFailedWriteOfAListedDeviceIsStoredAsNotForwarded) {
  AddTunnel("0000000A", "COM9");  // no such port: every write fails
  m_simulation.StartService();
  ASSERT_TRUE(PumpUntil([&] { return m_simulation.Accepting(); }));
  TestDevice device(m_port);
  ASSERT_TRUE(device.Send(Registration(10)));
  ASSERT_TRUE(PumpUntil([&] { return CDataCenter::Instance().OnlineCount() == 1; }));
  ASSERT_TRUE(device.Send(Bytes{0x31, 0x32, 0x00, 0x33}));

  std::vector<NotTransRecord> records;
  ASSERT_TRUE(PumpUntil([&] { return StoredRecordsOf("0000000A", records); }));
  EXPECT_EQ(Bytes(records[0].Item.Data, records[0].Item.Data + records[0].Item.Length), (Bytes{0x31, 0x32, 0x00, 0x33}));
  EXPECT_EQ(m_simulation.DeviceList().Row(0).PortState, DeviceRow::Port::Closed);
  CAccessInterface store;
  ASSERT_EQ(store.OpenDatabase(DATABASE_FILE_NAME), 1);
  store.DeleteAllNotTransData();
}

TEST_F(ServiceHostTest, AnUnconfiguredDeviceRaisesOnlyTheConnectedCount) {
  AddTunnel("00000001", "COM5");
  m_simulation.StartService();
  ASSERT_TRUE(PumpUntil([&] { return m_simulation.Accepting(); }));
  TestDevice stranger(m_port);
  ASSERT_TRUE(stranger.Send(Registration(0xBEEF)));
  ASSERT_TRUE(PumpUntil([&] { return StatusCount(Text(IDS_CONNECTED_TOTAL) + ":1") == 1; }));
  ASSERT_TRUE(stranger.Send(Text("data")));
  ASSERT_TRUE(PumpUntil([&] { return CDataCenter::Instance().GetDeviceTraffic("0000BEEF").BytesIn == 4; }));
  CMessageQueue::ForThisThread()->ProcessAll();
  std::lock_guard lock(m_mutex);
  for (const std::string& status : m_status)
    EXPECT_EQ(status.rfind(Text(IDS_MATCHED_ONLINE_TOTAL), 0), std::string::npos) << status;
  EXPECT_EQ(m_simulation.DeviceList().Row(0).LinkState, DeviceRow::Link::Disconnected);
}
