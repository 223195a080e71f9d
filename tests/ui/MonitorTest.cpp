#include <QCheckBox>
#include <QColor>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTableView>

#include "DevicesFixture.h"
#include "SerialFixture.h"
#include "ServiceSetup.h"
#include "TempDir.h"
#include "TestDevice.h"
#include "core/CTcpServer.h"
#include "platform/CNullModemPair.h"
#include "resources/ResourceIds.h"
#include "serial/CSerialInterface.h"
#include "ui/CDlgMonitor.h"
#include "ui/CMonitorRowModel.h"
#include "ui/ResourceText.h"

namespace {

class MonitorTest : public DevicesFixture {
 protected:
  static DataItem Item(const std::string& id, DataKind kind, const Bytes& data) {
    DataItem item{};
    SetDeviceId(item, id);
    item.Kind = kind;
    item.Length = static_cast<std::int32_t>(data.size());
    std::copy(data.begin(), data.end(), item.Data);
    return item;
  }

  static std::string Cell(const CMonitorRowModel& model, int row, int column) {
    return model.data(model.index(row, column)).toString().toStdString();
  }

  // Rows appended so far, shown.
  void Settle(CDlgMonitor& monitor) {
    QCoreApplication::processEvents();
    monitor.TcpToCom().Flush();
    monitor.ComToTcp().Flush();
  }
};

TEST_F(MonitorTest, PausedUntilStartedThenShowsTextHexTypeAndStatus) {
  Configure({"00000001", "COM3", "9600", "8", "1", "None", ""});
  CDlgMonitor monitor(nullptr, m_simulation);
  const DataItem data = Item("00000001", DATA_USER, {0x41, 0x42, 0x00, 0x43});
  monitor.AddTcpToCom(static_cast<int>(SERIAL_WRITTEN), data, false);
  monitor.AddComToTcp(static_cast<int>(TCP_SENT), data, false);
  Settle(monitor);
  EXPECT_TRUE(monitor.Paused());
  EXPECT_EQ(monitor.StartStopButton()->text().toStdString(), Str(IDS_MONITOR_START));
  EXPECT_EQ(monitor.TcpToCom().rowCount() + monitor.ComToTcp().rowCount(), 0);

  monitor.StartStopButton()->click();
  EXPECT_EQ(monitor.StartStopButton()->text().toStdString(), Str(IDS_MONITOR_STOP));
  monitor.AddTcpToCom(static_cast<int>(SERIAL_WRITTEN), data, false);
  monitor.AddTcpToCom(static_cast<int>(SERIAL_WRITE_FAILED), Item("00000001", DATA_HEARTBEAT, {0xFE}), false);
  monitor.AddComToTcp(static_cast<int>(TCP_SEND_FAILED), Item("00000009", DATA_SERIAL, {0x31}), false);
  Settle(monitor);
  const CMonitorRowModel& toCom = monitor.TcpToCom();
  const CMonitorRowModel& toTcp = monitor.ComToTcp();
  ASSERT_EQ(toCom.rowCount(), 2);
  ASSERT_EQ(toTcp.rowCount(), 1);
  // With milliseconds: "2026/01/02 10:00:00.123".
  EXPECT_EQ(Cell(toCom, 0, CMonitorRowModel::Time).size(), 23u);
  EXPECT_EQ(Cell(toCom, 0, CMonitorRowModel::Time)[19], '.');
  EXPECT_EQ(Cell(toCom, 0, CMonitorRowModel::Channel), "[00000001] <-> [COM3]");
  EXPECT_EQ(Cell(toCom, 0, CMonitorRowModel::Type), "用户数据");
  EXPECT_EQ(Cell(toCom, 0, CMonitorRowModel::Data), "AB");
  EXPECT_EQ(Cell(toCom, 0, CMonitorRowModel::Status), "成功");
  EXPECT_EQ(Cell(toCom, 1, CMonitorRowModel::Type), "心跳包");
  // A failed row says what failed and stands out.
  EXPECT_EQ(Cell(toCom, 1, CMonitorRowModel::Status), Str(IDS_FAILED_TO_PORT));
  EXPECT_EQ(Cell(toTcp, 0, CMonitorRowModel::Status), Str(IDS_FAILED_TO_DEVICE));
  const auto background = [](const CMonitorRowModel& model, int row) {
    return model.data(model.index(row, CMonitorRowModel::Data), Qt::BackgroundRole).value<QColor>();
  };
  EXPECT_NE(background(toCom, 0), background(toCom, 1));
  EXPECT_EQ(background(toTcp, 0), background(toCom, 1));
  // Bytes that are not UTF-8 text are shown as escapes, not as replacement marks.
  EXPECT_EQ(Cell(toCom, 1, CMonitorRowModel::Data), "\\xFE");
  // An unconfigured device's channel is its ID; every COM-to-device row is user data.
  EXPECT_EQ(Cell(toTcp, 0, CMonitorRowModel::Channel), "00000009");
  EXPECT_EQ(Cell(toTcp, 0, CMonitorRowModel::Type), "用户数据");

  monitor.HexBox()->click();
  EXPECT_EQ(Cell(toCom, 0, CMonitorRowModel::Data), "41 42 00 43");
  EXPECT_EQ(Cell(toCom, 1, CMonitorRowModel::Data), "FE");
  monitor.ClearButton()->click();
  EXPECT_EQ(toCom.rowCount() + toTcp.rowCount(), 0);
}

TEST_F(MonitorTest, AClickedChannelFiltersBothDirections) {
  Configure({"00000001", "COM3", "9600", "8", "1", "None", ""});
  Configure({"00000002", "COM4", "9600", "8", "1", "None", ""});
  CDlgMonitor monitor(nullptr, m_simulation);
  monitor.show();
  monitor.StartStopButton()->click();
  ASSERT_EQ(monitor.Channels().rowCount(), 2);
  EXPECT_EQ(monitor.StatusLine()->text().toStdString(), Str(IDS_MONITORED_CHANNEL) + "：" + Str(IDS_ALL_CHANNELS));

  monitor.OnChannelClick(monitor.Channels().index(0, 0));
  EXPECT_FALSE(monitor.ShowAllBox()->isChecked());
  EXPECT_EQ(monitor.StatusLine()->text().toStdString(), Str(IDS_MONITORED_CHANNEL) + "：[00000001] <-> [COM3]");
  for (const char* id : {"00000001", "00000002"}) {
    monitor.AddTcpToCom(static_cast<int>(SERIAL_WRITTEN), Item(id, DATA_USER, {'x'}), false);
    monitor.AddComToTcp(static_cast<int>(TCP_SENT), Item(id, DATA_SERIAL, {'y'}), false);
  }
  Settle(monitor);
  ASSERT_EQ(monitor.TcpToCom().rowCount(), 1);
  ASSERT_EQ(monitor.ComToTcp().rowCount(), 1);
  EXPECT_EQ(Cell(monitor.TcpToCom(), 0, CMonitorRowModel::Channel), "[00000001] <-> [COM3]");
  EXPECT_EQ(Cell(monitor.ComToTcp(), 0, CMonitorRowModel::Channel), "[00000001] <-> [COM3]");
  // A TLS link's rows say so in both directions, and its channel still selects them.
  monitor.AddTcpToCom(static_cast<int>(SERIAL_WRITTEN), Item("00000001", DATA_USER, {'s'}), true);
  monitor.AddComToTcp(static_cast<int>(TCP_SENT), Item("00000001", DATA_SERIAL, {'t'}), true);
  monitor.AddTcpToCom(static_cast<int>(SERIAL_WRITTEN), Item("00000002", DATA_USER, {'s'}), true);
  Settle(monitor);
  ASSERT_EQ(monitor.TcpToCom().rowCount(), 2);
  ASSERT_EQ(monitor.ComToTcp().rowCount(), 2);
  EXPECT_EQ(Cell(monitor.TcpToCom(), 1, CMonitorRowModel::Channel), "[00000001] <-> [COM3] (TLS加密)");
  EXPECT_EQ(Cell(monitor.ComToTcp(), 1, CMonitorRowModel::Channel), "[00000001] <-> [COM3] (TLS加密)");

  // A new tunnel rebuilds the channel list; the chosen channel stays.
  CTunnelTable::Instance().Add({"00000000", "COM7", "9600", "8", "1", "None", ""});
  monitor.RefreshChannels();
  ASSERT_EQ(monitor.Channels().rowCount(), 3);
  EXPECT_EQ(monitor.Channels().item(0)->text(), "[00000000] <-> [COM7]");
  monitor.AddTcpToCom(static_cast<int>(SERIAL_WRITTEN), Item("00000001", DATA_USER, {'z'}), false);
  Settle(monitor);
  EXPECT_EQ(monitor.TcpToCom().rowCount(), 3);

  // Show all unticked and no channel chosen: nothing is shown.
  CDlgMonitor fresh(nullptr, m_simulation);
  fresh.StartStopButton()->click();
  fresh.ShowAllBox()->click();
  fresh.AddTcpToCom(static_cast<int>(SERIAL_WRITTEN), Item("00000001", DATA_USER, {'x'}), false);
  Settle(fresh);
  EXPECT_EQ(fresh.TcpToCom().rowCount(), 0);
}

TEST_F(MonitorTest, ABurstIsOneInsertionAndOnlyTheNewestRowsStay) {
  CDlgMonitor monitor(nullptr, m_simulation);
  monitor.StartStopButton()->click();
  QSignalSpy inserted(&monitor.TcpToCom(), &QAbstractItemModel::rowsInserted);
  const int total = CMonitorRowModel::kCapacity + 50;
  for (int i = 0; i < 100; ++i) {
    const std::string text = "row " + std::to_string(i);
    monitor.AddTcpToCom(static_cast<int>(SERIAL_WRITTEN), Item("00000001", DATA_USER, Bytes(text.begin(), text.end())),
                        false);
  }
  ASSERT_TRUE(PumpUntil([&] { return monitor.TcpToCom().rowCount() == 100; }));
  EXPECT_EQ(inserted.count(), 1);
  for (int i = 100; i < total; ++i) {
    const std::string text = "row " + std::to_string(i);
    monitor.AddTcpToCom(static_cast<int>(SERIAL_WRITTEN), Item("00000001", DATA_USER, Bytes(text.begin(), text.end())),
                        false);
    if (i % 1000 == 0) QCoreApplication::processEvents();
  }
  Settle(monitor);
  ASSERT_EQ(monitor.TcpToCom().rowCount(), CMonitorRowModel::kCapacity);
  EXPECT_EQ(Cell(monitor.TcpToCom(), 0, CMonitorRowModel::Data), "row 50");
  EXPECT_EQ(Cell(monitor.TcpToCom(), CMonitorRowModel::kCapacity - 1, CMonitorRowModel::Data),
            "row " + std::to_string(total - 1));
}

TEST_F(MonitorTest, ServiceTrafficBothWaysAndAFailedWriteStoredAsNotForwarded) {
  CNullModemPair pair;
  ASSERT_TRUE(pair.Create());
  ASSERT_TRUE(pair.Link(m_portDir.Path(), "COM5", "COM5_FF"));
  Configure({"00000001", "COM5", "9600", "8", "1", "None", ""});
  Configure({"0000000A", "COM9", "9600", "8", "1", "None", ""});  // no such port: every write fails
  CDlgMonitor monitor(nullptr, m_simulation);
  monitor.show();
  monitor.StartStopButton()->click();
  m_simulation.StartService();
  ASSERT_TRUE(PumpUntil([&] { return m_simulation.Accepting(); })) << m_simulation.LastStartFailure();
  LocalEnd local(m_portDir.Path() + "/COM5_FF");
  TestDevice device(m_port);
  TestDevice failing(m_port);
  ASSERT_TRUE(device.Send(Registration(1)));
  ASSERT_TRUE(failing.Send(Registration(10)));
  CDeviceList& list = m_simulation.DeviceList();
  ASSERT_TRUE(PumpUntil([&] {
    return list.Row(0).LinkState == DeviceRow::Link::Connected && list.Row(1).LinkState == DeviceRow::Link::Connected;
  }));

  ASSERT_TRUE(device.Send(Text("ping")));
  EXPECT_EQ(local.Read(4), Text("ping"));
  ASSERT_TRUE(local.Write(Text("pong")));
  EXPECT_EQ(device.Read(4), Text("pong"));
  ASSERT_TRUE(failing.Send(Bytes{0x31, 0x32, 0x00, 0x33}));

  const CMonitorRowModel& toCom = monitor.TcpToCom();
  const CMonitorRowModel& toTcp = monitor.ComToTcp();
  auto rowOf = [&](const std::string& channel) {
    for (int row = 0; row < toCom.rowCount(); ++row)
      if (Cell(toCom, row, CMonitorRowModel::Channel) == channel) return row;
    return -1;
  };
  ASSERT_TRUE(PumpUntil([&] {
    return rowOf("[00000001] <-> [COM5]") >= 0 && rowOf("[0000000A] <-> [COM9]") >= 0 && toTcp.rowCount() == 1;
  }));
  EXPECT_EQ(Cell(toCom, rowOf("[00000001] <-> [COM5]"), CMonitorRowModel::Data), "ping");
  EXPECT_EQ(Cell(toCom, rowOf("[00000001] <-> [COM5]"), CMonitorRowModel::Status), Str(IDS_SUCCESS));
  EXPECT_EQ(Cell(toTcp, 0, CMonitorRowModel::Data), "pong");
  EXPECT_EQ(Cell(toTcp, 0, CMonitorRowModel::Status), Str(IDS_SUCCESS));
  EXPECT_EQ(Cell(toCom, rowOf("[0000000A] <-> [COM9]"), CMonitorRowModel::Data), "12");
  EXPECT_EQ(Cell(toCom, rowOf("[0000000A] <-> [COM9]"), CMonitorRowModel::Status), Str(IDS_FAILED_TO_PORT));
  EXPECT_EQ(list.Row(1).PortState, DeviceRow::Port::Closed);

  std::vector<NotTransRecord> records;
  ASSERT_TRUE(PumpUntil([&] { return StoredRecordsOf("0000000A", records); }));
  EXPECT_EQ(Bytes(records[0].Item.Data, records[0].Item.Data + records[0].Item.Length), (Bytes{0x31, 0x32, 0x00, 0x33}));
}

// Hidden, the monitor is fed nothing (the forwarding threads copy no data for it) unless
// the user chose to keep it collecting.
TEST_F(MonitorTest, NothingIsCollectedWhileHiddenUnlessKeptRunning) {
  Configure({"00000001", "COM3", "9600", "8", "1", "None", ""});
  CDlgMonitor monitor(nullptr, m_simulation);
  CDeviceList& list = m_simulation.DeviceList();
  list.RebuildDeviceList();
  monitor.StartStopButton()->click();
  const DataItem item = Item("00000001", DATA_USER, {'x'});
  auto feed = [&] {
    list.OnTcpStatus(TCP_SENT, item);
    Settle(monitor);
    return monitor.ComToTcp().rowCount();
  };
  EXPECT_FALSE(monitor.Collecting());
  EXPECT_EQ(feed(), 0);
  monitor.show();
  EXPECT_TRUE(monitor.Collecting());
  EXPECT_EQ(feed(), 1);
  monitor.hide();
  EXPECT_FALSE(monitor.Collecting());
  EXPECT_EQ(feed(), 1);
  monitor.KeepRunningBox()->click();
  EXPECT_TRUE(monitor.Collecting());
  EXPECT_EQ(feed(), 2);
  monitor.KeepRunningBox()->click();
  EXPECT_EQ(feed(), 2);
}

TEST_F(MonitorTest, TheDetailShowsTheWholeBlockAndSaveWritesCsv) {
  CDlgMonitor monitor(nullptr, m_simulation);
  monitor.show();
  monitor.StartStopButton()->click();
  Bytes block(3000, 'a');
  block.back() = 0xFE;
  monitor.AddTcpToCom(static_cast<int>(SERIAL_WRITTEN), Item("00000001", DATA_USER, block), false);
  monitor.AddComToTcp(static_cast<int>(TCP_SEND_FAILED), Item("00000001", DATA_SERIAL, {'o', ',', 'k'}), false);
  Settle(monitor);

  monitor.TcpToComList()->selectRow(0);
  const std::string detail = monitor.Detail()->toPlainText().toStdString();
  EXPECT_NE(detail.find("3000 字节"), std::string::npos) << detail;
  EXPECT_NE(detail.find(std::string(2999, 'a') + "\\xFE"), std::string::npos);
  EXPECT_NE(detail.find("61 61 FE"), std::string::npos);

  TempDir dir;
  ASSERT_TRUE(monitor.SaveTo(QString::fromStdString(dir.File("monitor.csv"))));
  const std::string csv = dir.Read("monitor.csv");
  EXPECT_EQ(csv.rfind("\xEF\xBB\xBF传输方向,时间,通道,数据类型,十六进制,文本,转发状态\r\nTcp->Com,", 0), 0u) << csv.substr(0, 80);
  EXPECT_NE(csv.find(",用户数据,6F 2C 6B,\"o,k\"," + Str(IDS_FAILED_TO_DEVICE) + "\r\n"), std::string::npos) << csv;
  EXPECT_EQ(monitor.StatusLine()->text().toStdString(), Filled(Str(IDS_MONITOR_SAVED), {"2", dir.File("monitor.csv")}));
}

}  // namespace
