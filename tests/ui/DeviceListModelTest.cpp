#include <QCheckBox>
#include <QColor>
#include <QHeaderView>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <cmath>
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
#include "ui/CDlgAddModifyDevice.h"
#include "ui/CLimitEdit.h"
#include "ui/CVantrelDlg.h"
#include "ui/ResourceText.h"

namespace {

QString Resource(unsigned id) { return QString::fromStdString(CResourceStrings::Instance().LoadString(id)); }

QString Cell(const QAbstractItemModel& model, int row, int column) {
  return model.data(model.index(row, column), Qt::DisplayRole).toString();
}
QColor Colour(const QAbstractItemModel& model, int row, int column) {
  return model.data(model.index(row, column), Qt::ForegroundRole).value<QColor>();
}

const QColor kGreen = CDeviceListModel::kGood;
const QColor kRed = CDeviceListModel::kBad;

// The contrast ratio of two colours as the web content guidelines define it.
double Contrast(const QColor& a, const QColor& b) {
  const auto luminance = [](const QColor& colour) {
    const auto channel = [](double value) {
      return value <= 0.03928 ? value / 12.92 : std::pow((value + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(colour.redF()) + 0.7152 * channel(colour.greenF()) + 0.0722 * channel(colour.blueF());
  };
  const double first = luminance(a), second = luminance(b);
  return (std::max(first, second) + 0.05) / (std::min(first, second) + 0.05);
}

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
  model.SetServiceRunning(true);
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
  model.SetServiceRunning(true);
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
  QTest::mouseDClick(view.viewport(), Qt::LeftButton, {}, view.visualRect(view.model()->index(1, 4)).center());
  ASSERT_EQ(1, edits.count());
  EXPECT_EQ(1, edits.at(0).at(0).toInt());
  EXPECT_EQ(1, list.SelectedRow());
  EXPECT_EQ(1u, answerer.Boxes().size());
}

TEST_F(DeviceListModelTest, ColoursAreReadableOnTheListsBackground) {
  for (const QColor& colour : {CDeviceListModel::kGood, CDeviceListModel::kBad, CDeviceListModel::kListText,
                               CDeviceListModel::kUnknown, QColor(Qt::black)})
    EXPECT_GE(Contrast(colour, CDeviceListModel::kBackground), 4.5) << colour.name().toStdString();
}

// Stopped, the tunnels are listed without link and port; running, a device without a tunnel
// gets a row of its own that offers "Add tunnel..."; the list sorts, searches and shows only
// the problems.
TEST_F(DeviceListModelTest, UnknownDevicesSearchSortAndTheProblemsFilter) {
  MessageBoxAnswerer answerer;
  CTunnelTable::Instance().Add(TunnelInfo{"00000001", "COM41", "9600", "8", "1", "None", "boiler house"});
  CTunnelTable::Instance().Add(TunnelInfo{"00000002", "COM42", "115200", "8", "1", "None", "pump"});
  const std::uint16_t port = FreePort();
  SettingInfo settings;
  settings.LocalIp = "127.0.0.1";
  settings.LocalPort = port;
  ReplaceSettings(settings);
  CVantrelDlg window(CVantrelDlg::Options{});
  window.show();
  CDeviceListCtrl& view = window.DeviceList();
  const QAbstractItemModel& shown = *view.model();
  ASSERT_EQ(2, shown.rowCount());
  EXPECT_EQ(QStringLiteral("COM42"), Cell(shown, 1, CDeviceList::Port));
  EXPECT_EQ(QString(), Cell(shown, 1, CDeviceList::LinkState));
  EXPECT_EQ(QString(), Cell(shown, 1, CDeviceList::PortState));

  window.OnCommand(ID_SIM_START);
  ASSERT_TRUE(QtWaitFor([&] { return window.Simulation().Accepting(); }));
  TestDevice known(port), unknown(port);
  ASSERT_TRUE(known.Send(Registration(2)));
  ASSERT_TRUE(unknown.Send(Registration(0xABC, "555")));
  ASSERT_TRUE(QtWaitFor([&] { return shown.rowCount() == 3; }));
  ASSERT_TRUE(QtWaitFor([&] { return Cell(shown, 1, CDeviceList::LinkState) == Resource(IDS_LINK_CONNECTED); }));
  EXPECT_EQ(QStringLiteral("00000ABC"), Cell(shown, 2, CDeviceList::DeviceId));
  EXPECT_EQ(QStringLiteral("555"), Cell(shown, 2, CDeviceList::Phone));
  EXPECT_EQ(Resource(IDS_NO_TUNNEL), Cell(shown, 2, CDeviceList::Port));
  EXPECT_TRUE(Cell(shown, 2, CDeviceList::RemoteAddress).startsWith(QStringLiteral("127.0.0.1:")));
  EXPECT_TRUE(Cell(shown, 1, CDeviceList::RemoteAddress).startsWith(QStringLiteral("127.0.0.1:")));

  // Sorted by baud rate as numbers, highest first; then by ID again.
  view.sortByColumn(CDeviceList::BaudRate, Qt::DescendingOrder);
  EXPECT_EQ(QStringLiteral("00000002"), Cell(shown, 0, CDeviceList::DeviceId));
  view.sortByColumn(CDeviceList::DeviceId, Qt::AscendingOrder);

  // Problems: the device that is offline and the one without a tunnel (the ports are missing).
  window.ProblemsBox()->setChecked(true);
  EXPECT_EQ(3, shown.rowCount());
  EXPECT_EQ(Filled(Resource(IDS_ROWS_SHOWN).toStdString(), {"3", "3"}), window.ShownCount().toStdString());
  window.SearchEdit()->setText(QStringLiteral("BOILER"));
  ASSERT_EQ(1, shown.rowCount());
  EXPECT_EQ(QStringLiteral("00000001"), Cell(shown, 0, CDeviceList::DeviceId));
  window.SearchEdit()->setText(QStringLiteral("555"));
  ASSERT_EQ(1, shown.rowCount());
  EXPECT_EQ(Filled(Resource(IDS_ROWS_SHOWN).toStdString(), {"1", "3"}), window.ShownCount().toStdString());

  // The unknown device's row adds a tunnel with its ID filled in.
  QTest::mouseDClick(view.viewport(), Qt::LeftButton, {}, view.visualRect(shown.index(0, 3)).center());
  auto* editor = window.findChild<CDlgAddModifyDevice*>();
  ASSERT_NE(nullptr, editor);
  EXPECT_TRUE(editor->isVisible());
  EXPECT_EQ(CDlgAddModifyDevice::AddMode, editor->EditorMode());
  EXPECT_EQ(QStringLiteral("00000ABC"), editor->IdField()->text());
  EXPECT_TRUE(editor->IdField()->isEnabled());
  editor->close();

  // Gone offline, its row goes.
  window.SearchEdit()->clear();
  window.ProblemsBox()->setChecked(false);
  unknown.Reset();
  ASSERT_TRUE(QtWaitFor([&] { return shown.rowCount() == 2; }));
  window.OnCommand(ID_SIM_STOP);
}

}  // namespace
