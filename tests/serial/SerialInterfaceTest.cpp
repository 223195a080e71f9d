#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ProcessSingletons.h"
#include "RecordingTarget.h"
#include "SerialFixture.h"
#include "TestItems.h"
#include "WaitFor.h"
#include "core/CDataCenter.h"
#include "core/CTunnelTable.h"
#include "model/SettingInfo.h"
#include "model/ReportedItem.h"
#include "model/WindowMessages.h"
#include "platform/CNullModemPair.h"
#include "serial/CSerialInterface.h"

namespace {

// What a WM_SERIAL_STATUS told, copied during the call.
struct Status {
  WPARAM code = 0;
  std::string name;  // opened / open failed
  std::string id;    // written / write failed
  Bytes data;
  bool openWhenTold = false;  // what IsPortOpen answered from inside the handler
};

TunnelInfo Tunnel(const std::string& id, const std::string& port, const std::string& baud = "9600") {
  return TunnelInfo{id, port, baud, "8", "1", "None", ""};
}

class SerialInterfaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetProcessSingletons();
    ASSERT_TRUE(pair.Create()) << pair.LastError();
    ASSERT_TRUE(pair.Link(dir.Path(), "COM3", ""));
    local.emplace(pair.PathB());
    manager = std::make_unique<CSerialInterface>(50);
    managerForOwner = manager.get();
    manager->SetOwner(owner.Handle());
  }

  void TearDown() override {
    manager.reset();
    ResetProcessSingletons();
  }

  std::vector<Status> Reports() {
    std::vector<Status> reports;
    for (const auto& message : owner.Messages())
      if (message.message == WM_SERIAL_STATUS) reports.push_back(message.copy);
    return reports;
  }

  // Waits for the n-th report (counting from 1) and returns it.
  Status WaitReport(std::size_t n) {
    EXPECT_TRUE(WaitFor([&] { return Reports().size() >= n; })) << "report " << n << " never came";
    std::vector<Status> reports = Reports();
    return reports.size() >= n ? reports[n - 1] : Status{};
  }

  // The next record read from a port, as the data center passes it on to the devices.
  DataItem NextFromPort() {
    DataItem out{};
    EXPECT_TRUE(WaitFor([&] { return center.TcpSendQueue.Pop(out); }));
    return out;
  }

  void Send(const DataItem& item) { center.ComSendQueue.Push(item); }

  // The line the Vantrel end of the pair is set to.
  termios VantrelLine() {
    termios line{};
    const int fd = ::open(pair.PathA().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_EQ(tcgetattr(fd, &line), 0);
    ::close(fd);
    return line;
  }

  CDataCenter& center = CDataCenter::Instance();
  TempPortDir dir;
  CNullModemPair pair;
  std::optional<LocalEnd> local;
  std::atomic<CSerialInterface*> managerForOwner{nullptr};
  RecordingTarget<Status> owner{[this](unsigned message, WPARAM code, LPARAM lParam) {
    Status status;
    // Line events (WM_SERIAL_CTS and the others) carry a line state, not a pointer.
    if (message != WM_SERIAL_STATUS) return status;
    status.code = code;
    if (code == SERIAL_OPENED || code == SERIAL_OPEN_FAILED) {
      status.name = reinterpret_cast<const char*>(lParam);
      // A host asks for the state while it handles the report: this must not deadlock.
      status.openWhenTold = managerForOwner.load()->IsPortOpen(status.name);
    } else {
      const auto* item = reinterpret_cast<const ReportedItem*>(lParam);
      status.id = DeviceIdOf(*item);
      status.data.assign(item->Data.begin(), item->Data.end());
    }
    return status;
  }};
  std::unique_ptr<CSerialInterface> manager;
};

TEST_F(SerialInterfaceTest, TwoTunnelsOnOnePortOpenItOnceWithTheLastSettings) {
  CTunnelTable::Instance().Add(Tunnel("00000002", "COM3", "19200"));
  CTunnelTable::Instance().Add(Tunnel("00000001", "COM3", "9600"));
  manager->OpenAllPorts();

  const std::vector<Status> reports = Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].code, SERIAL_OPENED);
  EXPECT_EQ(reports[0].name, "COM3");
  EXPECT_TRUE(reports[0].openWhenTold);
  const termios line = VantrelLine();
  EXPECT_EQ(cfgetospeed(&line), B19200);
}

TEST_F(SerialInterfaceTest, StopBitAndParityNamesSetTheLine) {
  struct Row {
    const char* stopBit;
    const char* parity;
    const char* dataBits;
    tcflag_t expected;
  };
  // A pty keeps stop bits and the parity kind, but forces 8 data bits and no parity
  // enable: those two are not visible here.
  const Row rows[] = {
      {"1", "None", "8", 0},
      {"1.5", "Odd", "5", CSTOPB | PARODD},
      {"2", "Even", "7", CSTOPB},
      {"1", "Mark", "8", PARODD | CMSPAR},
      {"1", "Space", "6", CMSPAR},
      {"1", "none", "8", 0},     // names are case-sensitive: unknown means none
      {"3", "Bogus", "8", 0},    // unknown stop bits mean one
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.stopBit) + " " + row.parity);
    owner.Clear();
    manager->ReopenPort(PortSettings{"COM3", "9600", row.dataBits, row.stopBit, row.parity});
    ASSERT_EQ(WaitReport(1).code, SERIAL_OPENED);
    const termios line = VantrelLine();
    EXPECT_EQ(line.c_cflag & (CSTOPB | PARODD | CMSPAR), row.expected);
  }
}

TEST_F(SerialInterfaceTest, PortNamesGiveTheirNumberOrFail) {
  CNullModemPair twelve;
  ASSERT_TRUE(twelve.Create());
  ASSERT_TRUE(twelve.Link(dir.Path(), "COM12", ""));
  CTunnelTable::Instance().Add(Tunnel("00000001", "COM12"));
  CTunnelTable::Instance().Add(Tunnel("00000002", "COM"));
  CTunnelTable::Instance().Add(Tunnel("00000003", "COM9"));   // no such device
  CTunnelTable::Instance().Add(Tunnel("00000004", "COM3", "0"));  // a rate of 0 is refused
  manager->OpenAllPorts();

  std::vector<std::pair<std::string, WPARAM>> told;
  for (const Status& status : Reports()) told.emplace_back(status.name, status.code);
  EXPECT_EQ(told, (std::vector<std::pair<std::string, WPARAM>>{{"COM", SERIAL_OPEN_FAILED},
                                                               {"COM12", SERIAL_OPENED},
                                                               {"COM3", SERIAL_OPEN_FAILED},
                                                               {"COM9", SERIAL_OPEN_FAILED}}));
  EXPECT_TRUE(manager->IsPortOpen("COM12"));
  EXPECT_EQ(manager->PortState("COM9"), PORT_CLOSED);
}

TEST_F(SerialInterfaceTest, EveryDeviceOfAPortGetsTheChunkInDeviceIdOrder) {
  // com3 names the same device under another name: that object cannot hold it, but its
  // tunnel still gets what the COM3 object reads.
  CTunnelTable::Instance().Add(Tunnel("00000002", "com3"));
  CTunnelTable::Instance().Add(Tunnel("00000001", "COM3"));
  manager->OpenAllPorts();
  ASSERT_EQ(WaitReport(1).code, SERIAL_OPENED);
  EXPECT_EQ(WaitReport(2).code, SERIAL_OPEN_FAILED);

  const Bytes burst = Pattern(100, 5);
  ASSERT_TRUE(local->Write(burst));
  for (const char* id : {"00000001", "00000002"}) {
    const DataItem item = NextFromPort();
    EXPECT_EQ(DeviceIdOf(item), id);
    EXPECT_EQ(item.Kind, DATA_SERIAL);
    EXPECT_EQ(Bytes(item.Data, item.Data + item.Length), burst);
  }

  // A stream of many full chunks, read a few at a time: still each chunk to both devices
  // in device-ID order, and each device's chunks join up to the stream.
  const Bytes stream = Pattern(60000, 6);
  ASSERT_TRUE(local->Write(stream));
  Bytes first, second;
  for (int i = 0; i < 1000 && second.size() < stream.size(); ++i) {
    const DataItem one = NextFromPort();
    const DataItem two = NextFromPort();
    ASSERT_EQ(DeviceIdOf(one), "00000001");
    ASSERT_EQ(DeviceIdOf(two), "00000002");
    first.insert(first.end(), one.Data, one.Data + one.Length);
    second.insert(second.end(), two.Data, two.Data + two.Length);
  }
  EXPECT_EQ(first, stream);
  EXPECT_EQ(second, stream);
}

TEST_F(SerialInterfaceTest, DeviceDataIsWrittenAndReportedAndStrangersAreDropped) {
  CTunnelTable::Instance().Add(Tunnel("00000001", "COM3"));
  manager->OpenAllPorts();
  ASSERT_EQ(WaitReport(1).code, SERIAL_OPENED);

  Send(MakeItem("0000BEEF", DATA_USER, Text("stranger")));
  Send(MakeItem("00000001", DATA_USER, Text("hello")));
  Send(MakeItem("00000001", DATA_HEARTBEAT, Bytes{0xFE}));
  const Status written = WaitReport(2);
  EXPECT_EQ(written.code, SERIAL_WRITTEN);
  EXPECT_EQ(written.id, "00000001");
  EXPECT_EQ(written.data, Text("hello"));
  EXPECT_EQ(WaitReport(3).code, SERIAL_WRITTEN);
  EXPECT_EQ(local->Read(6), (Bytes{'h', 'e', 'l', 'l', 'o', 0xFE}));
  EXPECT_EQ(Reports().size(), 3u);
}

TEST_F(SerialInterfaceTest, APortThatFailedToOpenFailsItsDataUntilTheRetryOpensIt) {
  CTunnelTable::Instance().Add(Tunnel("00000001", "COM4"));
  manager->OpenAllPorts();
  ASSERT_EQ(WaitReport(1).code, SERIAL_OPEN_FAILED);
  Send(MakeItem("00000001", DATA_USER, Text("early")));
  EXPECT_EQ(WaitReport(2).code, SERIAL_WRITE_FAILED);

  CNullModemPair four;
  ASSERT_TRUE(four.Create());
  LocalEnd fourLocal(four.PathB());
  ASSERT_TRUE(four.Link(dir.Path(), "COM4", ""));
  const Status reopened = WaitReport(3);
  EXPECT_EQ(reopened.code, SERIAL_OPENED);
  EXPECT_EQ(reopened.name, "COM4");
  EXPECT_TRUE(reopened.openWhenTold);

  Send(MakeItem("00000001", DATA_USER, Text("late")));
  EXPECT_EQ(WaitReport(4).code, SERIAL_WRITTEN);
  EXPECT_EQ(fourLocal.Read(4), Text("late"));
}

TEST_F(SerialInterfaceTest, AVanishedPortFailsOnceThenComesBackByItself) {
  CTunnelTable::Instance().Add(Tunnel("00000001", "COM3"));
  manager->OpenAllPorts();
  ASSERT_EQ(WaitReport(1).code, SERIAL_OPENED);

  pair.TearDown();
  local.reset();
  Send(MakeItem("00000001", DATA_USER, Text("lost?")));
  EXPECT_EQ(WaitReport(2).code, SERIAL_WRITE_FAILED);
  EXPECT_EQ(manager->PortState("COM3"), PORT_FAILED);
  Send(MakeItem("00000001", DATA_USER, Text("again")));
  EXPECT_EQ(WaitReport(3).code, SERIAL_WRITE_FAILED);

  CNullModemPair again;
  ASSERT_TRUE(again.Create());
  LocalEnd againLocal(again.PathB());
  ASSERT_TRUE(again.Link(dir.Path(), "COM3", ""));
  EXPECT_EQ(WaitReport(4).code, SERIAL_OPENED);
  Send(MakeItem("00000001", DATA_USER, Text("back")));
  EXPECT_EQ(WaitReport(5).code, SERIAL_WRITTEN);
  EXPECT_EQ(againLocal.Read(4), Text("back"));
}

TEST_F(SerialInterfaceTest, AWriteThatTimesOutFailsAndClosesThePort) {
  CTunnelTable::Instance().Add(Tunnel("00000001", "COM3"));
  manager->OpenAllPorts();
  ASSERT_EQ(WaitReport(1).code, SERIAL_OPENED);
  local.reset();  // nobody reads: the pair fills up and a write runs into its bound

  const Bytes block = Pattern(10000, 4);
  std::size_t sent = 0;
  for (; sent < 100; ++sent) {
    Send(MakeItem("00000001", DATA_USER, block));
    // At least: the reopen after a failure may already have been reported too.
    ASSERT_TRUE(WaitFor([&] { return Reports().size() >= sent + 2; }));
    if (Reports()[sent + 1].code == SERIAL_WRITE_FAILED) break;
  }
  ASSERT_LT(sent, 100u);
  // Marked failed and closed: the retry (which looks only at ports that are not open)
  // opens it again at once, the device being still there.
  EXPECT_EQ(WaitReport(sent + 3).code, SERIAL_OPENED);
  EXPECT_TRUE(manager->IsPortOpen("COM3"));
}

// A record that meets a full port is taken in part at once and finished by the port's
// writer: every byte arrives once and in order, and every record is reported written whole.
TEST_F(SerialInterfaceTest, RecordsThatMeetAFullPortArriveWholeAndInOrder) {
  CTunnelTable::Instance().Add(Tunnel("00000001", "COM3"));
  manager->OpenAllPorts();
  ASSERT_EQ(WaitReport(1).code, SERIAL_OPENED);

  constexpr int kRecords = 40;
  Bytes expected;
  for (int i = 0; i < kRecords; ++i) {
    const Bytes block = Pattern(10000, static_cast<unsigned>(i));
    expected.insert(expected.end(), block.begin(), block.end());
    Send(MakeItem("00000001", DATA_USER, block));
  }
  EXPECT_EQ(local->Read(expected.size()), expected);
  ASSERT_TRUE(WaitFor([&] { return Reports().size() >= 1 + kRecords; }));
  const std::vector<Status> reports = Reports();
  ASSERT_EQ(reports.size(), 1u + kRecords);
  for (int i = 0; i < kRecords; ++i) {
    EXPECT_EQ(reports[1 + i].code, SERIAL_WRITTEN) << i;
    EXPECT_EQ(reports[1 + i].data, Pattern(10000, static_cast<unsigned>(i))) << i;
  }
}

// Only what did not reach the port is reported failed, and so stored: a replay of the
// stored data must not repeat bytes the local program already got.
TEST_F(SerialInterfaceTest, AWriteThatFailsPartwayReportsOnlyItsUnwrittenRest) {
  CTunnelTable::Instance().Add(Tunnel("00000001", "COM3"));
  manager->OpenAllPorts();
  ASSERT_EQ(WaitReport(1).code, SERIAL_OPENED);
  local.reset();  // nobody reads until the write has failed

  const Bytes block = Pattern(8000, 6);
  std::size_t sent = 0;
  Status failed;
  for (; sent < 100; ++sent) {
    Send(MakeItem("00000001", DATA_USER, block));
    ASSERT_TRUE(WaitFor([&] { return Reports().size() >= sent + 2; }));
    failed = Reports()[sent + 1];
    if (failed.code == SERIAL_WRITE_FAILED) break;
  }
  ASSERT_LT(sent, 100u);
  ++sent;
  ASSERT_FALSE(failed.data.empty());
  ASSERT_LT(failed.data.size(), block.size()) << "the pair takes part of a block before it is full";
  EXPECT_EQ(failed.data, Bytes(block.end() - static_cast<std::ptrdiff_t>(failed.data.size()), block.end()));

  // Every block before it and the head of this one are at the local end.
  local.emplace(pair.PathB());
  Bytes expected;
  for (std::size_t i = 0; i < sent; ++i) expected.insert(expected.end(), block.begin(), block.end());
  expected.resize(expected.size() - failed.data.size());
  EXPECT_EQ(local->Read(expected.size()), expected);
}

TEST_F(SerialInterfaceTest, StopAndStartReuseThePortAndStopEndsRetries) {
  CTunnelTable::Instance().Add(Tunnel("00000001", "COM3"));
  manager->OpenAllPorts();
  ASSERT_EQ(WaitReport(1).code, SERIAL_OPENED);

  manager->CloseAllPorts();
  EXPECT_EQ(manager->PortState("COM3"), PORT_CLOSED);
  Send(MakeItem("00000001", DATA_USER, Text("stopped")));
  EXPECT_EQ(WaitReport(2).code, SERIAL_WRITE_FAILED);

  manager->OpenAllPorts();
  EXPECT_EQ(WaitReport(3).code, SERIAL_OPENED);
  Send(MakeItem("00000001", DATA_USER, Text("started")));
  EXPECT_EQ(WaitReport(4).code, SERIAL_WRITTEN);
  EXPECT_EQ(local->Read(7), Text("started"));
  ASSERT_TRUE(local->Write(Text("up")));
  EXPECT_EQ(DeviceIdOf(NextFromPort()), "00000001");
}

// A reload brings the ports in line with the tunnel table touching only what differs: an
// unchanged open port is left alone, new line settings reopen the port, a port no tunnel
// names any more is closed and forgotten, a new name is opened.
TEST_F(SerialInterfaceTest, ApplyPortsTouchesOnlyWhatDiffers) {
  using Names = std::vector<std::string>;
  CTunnelTable& table = CTunnelTable::Instance();
  table.Add(Tunnel("00000001", "COM3"));
  manager->OpenAllPorts();
  ASSERT_EQ(WaitReport(1).code, SERIAL_OPENED);

  CSerialInterface::PortChanges changes = manager->ApplyPorts();
  EXPECT_EQ(changes.Opened.size() + changes.Reopened.size() + changes.Retried.size() + changes.Closed.size(), 0u);
  EXPECT_EQ(Reports().size(), 1u) << "an unchanged port is not reopened";

  table.Modify(Tunnel("00000001", "COM3", "38400"));
  changes = manager->ApplyPorts();
  EXPECT_EQ(changes.Reopened, Names{"COM3"});
  EXPECT_EQ(WaitReport(2).code, SERIAL_OPENED);
  const termios line = VantrelLine();
  EXPECT_EQ(cfgetospeed(&line), B38400);

  table.Modify(Tunnel("00000001", "COM7"));
  changes = manager->ApplyPorts();
  EXPECT_EQ(changes.Opened, Names{"COM7"});
  EXPECT_EQ(changes.Closed, Names{"COM3"});
  EXPECT_EQ(WaitReport(3).code, SERIAL_OPEN_FAILED);
  EXPECT_EQ(manager->PortState("COM3"), -1);
  EXPECT_EQ(manager->ApplyPorts().Retried, Names{"COM7"}) << "a port that is not open is tried at once";
}

TEST_F(SerialInterfaceTest, ReopeningWhileDataFlowsLosesNothingAndLeavesNoThread) {
  CTunnelTable::Instance().Add(Tunnel("00000001", "COM3"));
  const std::size_t threadsBefore = ThreadCount();
  manager->OpenAllPorts();
  Bytes received;
  for (int cycle = 0; cycle < 20; ++cycle) {
    const Bytes data = Pattern(300, static_cast<unsigned>(cycle));
    ASSERT_TRUE(local->Write(data));
    manager->ReopenPort(PortSettings{"COM3", "9600", "8", "1", "None"});
    std::size_t got = 0;
    while (got < data.size()) {
      const DataItem item = NextFromPort();
      if (item.Length <= 0) break;
      received.insert(received.end(), item.Data, item.Data + item.Length);
      got += static_cast<std::size_t>(item.Length);
    }
    ASSERT_EQ(got, data.size()) << cycle;
  }
  Bytes expected;
  for (int cycle = 0; cycle < 20; ++cycle) {
    const Bytes data = Pattern(300, static_cast<unsigned>(cycle));
    expected.insert(expected.end(), data.begin(), data.end());
  }
  EXPECT_EQ(received, expected);
  manager->CloseAllPorts();
  EXPECT_TRUE(WaitFor([&] { return ThreadCount() <= threadsBefore; }));
}

// The reopen thread walks the states while the host stops and starts the service: with
// the two walks taking their locks in opposite orders this would hang.
TEST_F(SerialInterfaceTest, StopAndStartRaceTheReopenThreadWithoutDeadlock) {
  manager.reset();
  manager = std::make_unique<CSerialInterface>(1);
  managerForOwner = manager.get();
  manager->SetOwner(owner.Handle());
  CTunnelTable::Instance().Add(Tunnel("00000001", "COM3"));
  CTunnelTable::Instance().Add(Tunnel("00000002", "COM8"));  // never there: always retried
  for (int cycle = 0; cycle < 100; ++cycle) {
    manager->OpenAllPorts();
    manager->CloseAllPorts();
  }
  manager->OpenAllPorts();
  EXPECT_TRUE(manager->IsPortOpen("COM3"));
  EXPECT_FALSE(manager->IsPortOpen("COM8"));
}

}  // namespace
