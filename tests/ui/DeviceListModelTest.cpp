#include <QColor>
#include <QHeaderView>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "FreePort.h"
#include "MessageBoxAnswerer.h"
#include "ProcessSingletons.h"
#include "SerialFixture.h"
#include "QtWaitFor.h"
#include "TestAppDirectory.h"
#include "TestDevice.h"
#include "TestItems.h"
#include "core/CTunnelTable.h"
#include "model/SettingInfo.h"
#include "model/WindowMessages.h"
#include "platform/CNullModemPair.h"
#include "resources/CResourceStrings.h"
#include "resources/ResourceIds.h"
#include "serial/CSerialInterface.h"
#include "service/CDeviceList.h"
#include "ui/CDeviceListCtrl.h"
#include "ui/CVantrelDlg.h"

namespace {

QString Resource(unsigned id) { return QString::fromStdString(CResourceStrings::Instance().LoadString(id)); }

QString Cell(const QAbstractItemModel& model, int row, int column) {
  return model.data(model.index(row, column), Qt::DisplayRole).toString();
}
QColor Colour(const QAbstractItemModel& model, int row, int column) {
  return model.data(model.index(row, column), Qt::ForegroundRole).value<QColor>();
}

const QColor kGreen(0, 255, 0);
const QColor kRed(255, 0, 0);

std::string DeviceId(int number) {
  char id[9];
  std::snprintf(id, sizeof id, "%08X", static_cast<unsigned>(number));
  return id;
}

// English texts while it lives (the module beside the test program), the built-in ones after.
class EnglishTexts {
 public:
  EnglishTexts() {
    TestAppDirectory().Write("LanguageCfg.ini", "[CONFIG]\nLANGUAGE=2\n");
    CResourceStrings::Instance().SelectLanguage();
  }
  ~EnglishTexts() {
    std::filesystem::remove(TestAppDirectory().File("LanguageCfg.ini"));
    CResourceStrings::Instance().SelectLanguage(CResourceStrings::kChinese);
  }
  EnglishTexts(const EnglishTexts&) = delete;
  EnglishTexts& operator=(const EnglishTexts&) = delete;
};

class DeviceListModelTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetProcessSingletons(); }
  void TearDown() override { ResetProcessSingletons(); }
};

// The real service: a device registers over TCP, its data reaches a pty pair and back.
TEST_F(DeviceListModelTest, ShowsRegistrationCountersAndLinkStateOfARealDevice) {
  TempPortDir ports;
  CNullModemPair pair;
  ASSERT_TRUE(pair.Create() && pair.Link(ports.Path(), "COM41", "COM41_FF"));
  CTunnelTable::Instance().Add(TunnelInfo{"00000001", "COM41", "9600", "8", "1", "None", "note"});
  CTunnelTable::Instance().Add(TunnelInfo{"00000002", "COM42", "9600", "8", "1", "None", ""});
  const std::uint16_t port = FreePort();
  SettingInfo settings;
  settings.LocalIp = "127.0.0.1";
  settings.LocalPort = port;
  settings.DelayComRead = 0;
  ReplaceSettings(settings);

  CVantrelDlg::Options options;
  CVantrelDlg window(options);
  window.OnCommand(ID_SIM_START);
  ASSERT_TRUE(QtWaitFor([&] { return window.StatusText(0) == Resource(IDS_SERVICE_STARTED); }));
  const QAbstractItemModel& model = *window.DeviceList().model();
  ASSERT_EQ(2, model.rowCount());
  EXPECT_EQ(Resource(IDS_COL_DEVICE_ID), model.headerData(0, Qt::Horizontal, Qt::DisplayRole).toString());
  EXPECT_EQ(150, window.DeviceList().columnWidth(1));
  EXPECT_EQ(QStringLiteral("note"), Cell(model, 0, CDeviceList::Note));
  EXPECT_EQ(int(Qt::AlignCenter), model.data(model.index(0, 3), Qt::TextAlignmentRole).toInt());
  ASSERT_TRUE(QtWaitFor([&] { return Cell(model, 0, CDeviceList::PortState) == Resource(IDS_PORT_OPEN); }));
  EXPECT_EQ(kGreen, Colour(model, 0, CDeviceList::PortState));
  EXPECT_EQ(Resource(IDS_PORT_CLOSED), Cell(model, 1, CDeviceList::PortState));
  EXPECT_EQ(kRed, Colour(model, 1, CDeviceList::PortState));
  EXPECT_EQ(kRed, Colour(model, 0, CDeviceList::LinkState));
  EXPECT_EQ(QColor(Qt::black), Colour(model, 0, CDeviceList::DeviceId));

  LocalEnd local(ports.Path() + "/COM41_FF");
  {
    TestDevice device(port);
    ASSERT_TRUE(device.Send(Registration(1)));
    ASSERT_TRUE(QtWaitFor([&] { return Cell(model, 0, CDeviceList::LinkState) == Resource(IDS_LINK_CONNECTED); }));
    EXPECT_EQ(QStringLiteral("13912345678"), Cell(model, 0, CDeviceList::Phone));
    EXPECT_EQ(QStringLiteral("10.1.2.3"), Cell(model, 0, CDeviceList::SourceIp));
    EXPECT_EQ(kGreen, Colour(model, 0, CDeviceList::LinkState));
    EXPECT_TRUE(window.StatusText(3).endsWith(QStringLiteral(":1")));

    ASSERT_TRUE(device.Send(Text("hello")));
    ASSERT_TRUE(QtWaitFor([&] { return Cell(model, 0, CDeviceList::BytesIn) == QStringLiteral("5"); }));
    EXPECT_EQ(Text("hello"), local.Read(5));
    ASSERT_TRUE(local.Write(Text("abc")));
    ASSERT_TRUE(QtWaitFor([&] { return Cell(model, 0, CDeviceList::BytesOut) == QStringLiteral("3"); }));
    EXPECT_EQ(Text("abc"), device.Read(3));
  }
  ASSERT_TRUE(QtWaitFor([&] { return Cell(model, 0, CDeviceList::LinkState) == Resource(IDS_LINK_DISCONNECTED); }));
  EXPECT_EQ(kRed, Colour(model, 0, CDeviceList::LinkState));
}

// Ten thousand rows; a port change touching every one of them is one dataChanged.
TEST_F(DeviceListModelTest, ABurstOfCellChangesIsOneUpdateOverTheChangedRange) {
  constexpr int kRows = 10000;
  for (int i = 0; i < kRows; ++i)
    CTunnelTable::Instance().Add(TunnelInfo{DeviceId(i), i % 2 == 0 ? "COM7" : "COM8", "9600", "8", "1", "None", ""});
  CSerialInterface serial(10000);
  CDeviceList list(serial);
  CDeviceListCtrl view(list);
  view.resize(1200, 500);
  view.show();
  CDeviceListModel& model = view.Model();
  QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
  QSignalSpy changes(&model, &QAbstractItemModel::dataChanged);

  list.RebuildDeviceList();
  EXPECT_EQ(1, resets.count());
  EXPECT_EQ(kRows, model.rowCount());
  QCoreApplication::processEvents();

  list.UpdatePortColumn("COM8", SERIAL_OPENED);
  list.UpdatePortColumn("COM7", SERIAL_OPEN_FAILED);
  EXPECT_EQ(0, changes.count()) << "told once the burst is over";
  ASSERT_TRUE(QtWaitFor([&] { return changes.count() > 0; }));
  QCoreApplication::processEvents();
  ASSERT_EQ(1, changes.count());
  const QModelIndex first = changes.at(0).at(0).value<QModelIndex>();
  const QModelIndex last = changes.at(0).at(1).value<QModelIndex>();
  EXPECT_EQ(0, first.row());
  EXPECT_EQ(kRows - 1, last.row());
  EXPECT_EQ(int(CDeviceList::PortState), first.column());
  EXPECT_EQ(int(CDeviceList::PortState), last.column());
  EXPECT_EQ(kGreen, Colour(model, kRows - 1, CDeviceList::PortState));
  EXPECT_EQ(kRed, Colour(model, kRows - 2, CDeviceList::PortState));

  view.scrollToBottom();
  QCoreApplication::processEvents();
  EXPECT_EQ(Resource(IDS_PORT_OPEN), Cell(model, kRows - 1, CDeviceList::PortState));

  list.RemoveAllRows();
  EXPECT_EQ(2, resets.count());
  EXPECT_EQ(0, model.rowCount());
}

// Rows shown before a language switch read in the new language; rows changed after it are
// coloured by their state, not by a text of the former language.
TEST_F(DeviceListModelTest, TextsAndColoursFollowALanguageSwitch) {
  CTunnelTable::Instance().Add(TunnelInfo{"00000001", "COM7", "9600", "8", "1", "None", ""});
  CTunnelTable::Instance().Add(TunnelInfo{"00000002", "COM8", "9600", "8", "1", "None", ""});
  CSerialInterface serial(10000);
  CDeviceList list(serial);
  CDeviceListModel model(list);
  list.RebuildDeviceList();
  list.UpdatePortColumn("COM7", SERIAL_OPENED);
  const QString chineseOpen = Resource(IDS_PORT_OPEN);
  ASSERT_EQ(chineseOpen, Cell(model, 0, CDeviceList::PortState));

  EnglishTexts english;
  ASSERT_TRUE(CResourceStrings::Instance().ModuleLoaded());
  ASSERT_NE(chineseOpen, Resource(IDS_PORT_OPEN));
  EXPECT_EQ(Resource(IDS_COL_DEVICE_ID), model.headerData(0, Qt::Horizontal, Qt::DisplayRole).toString());
  EXPECT_EQ(Resource(IDS_PORT_OPEN), Cell(model, 0, CDeviceList::PortState));
  EXPECT_EQ(kGreen, Colour(model, 0, CDeviceList::PortState));
  EXPECT_EQ(Resource(IDS_LINK_DISCONNECTED), Cell(model, 1, CDeviceList::LinkState));

  list.UpdatePortColumn("COM8", SERIAL_OPENED);
  list.OnDeviceEvent(0, MakeItem("00000002", DATA_REGISTER, Registration(2)));
  EXPECT_EQ(Resource(IDS_PORT_OPEN), Cell(model, 1, CDeviceList::PortState));
  EXPECT_EQ(kGreen, Colour(model, 1, CDeviceList::PortState));
  EXPECT_EQ(Resource(IDS_LINK_CONNECTED), Cell(model, 1, CDeviceList::LinkState));
  EXPECT_EQ(kGreen, Colour(model, 1, CDeviceList::LinkState));
  EXPECT_EQ(kRed, Colour(model, 0, CDeviceList::LinkState));
  EXPECT_EQ(QString(), Cell(model, 1, CDeviceList::BytesIn)) << "nothing counted yet";
}

TEST_F(DeviceListModelTest, ADoubleClickChoosesTheRowForEditingOrAsksForOne) {
  CSerialInterface serial(10000);
  CDeviceList list(serial);
  CDeviceListCtrl view(list);
  view.resize(1200, 300);
  view.show();
  QSignalSpy edits(&view, &CDeviceListCtrl::EditRequested);
  MessageBoxAnswerer answerer;

  QTest::mouseDClick(view.viewport(), Qt::LeftButton, {}, QPoint(50, 50));
  ASSERT_EQ(1u, answerer.Boxes().size());
  EXPECT_EQ(Resource(IDS_SELECT_TO_MODIFY).toStdString(), answerer.Boxes()[0].Text);
  EXPECT_EQ(0, edits.count());

  for (int i = 0; i < 3; ++i)
    CTunnelTable::Instance().Add(TunnelInfo{DeviceId(i), "COM7", "9600", "8", "1", "None", ""});
  list.RebuildDeviceList();
  QCoreApplication::processEvents();
  QTest::mouseDClick(view.viewport(), Qt::LeftButton, {}, view.visualRect(view.Model().index(1, 4)).center());
  ASSERT_EQ(1, edits.count());
  EXPECT_EQ(1, edits.at(0).at(0).toInt());
  EXPECT_EQ(1, list.SelectedRow());
  EXPECT_EQ(1u, answerer.Boxes().size());
}

}  // namespace
