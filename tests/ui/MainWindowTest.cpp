#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QStatusBar>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QApplication>
#include <QSystemTrayIcon>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "FreePort.h"
#include "MessageBoxAnswerer.h"
#include "ProcessSingletons.h"
#include "QtWaitFor.h"
#include "SerialFixture.h"
#include "TempDir.h"
#include "TestDevice.h"
#include "core/CTunnelTable.h"
#include "model/SettingInfo.h"
#include "model/WindowMessages.h"
#include "platform/CMessageTarget.h"
#include "platform/CNullModemPair.h"
#include "platform/CProfileFile.h"
#include "resources/CResourceStrings.h"
#include "resources/ResourceIds.h"
#include "service/CDeviceList.h"
#include "storage/CAccessInterface.h"
#include "ui/CAboutDlg.h"
#include "ui/CDeviceListCtrl.h"
#include "ui/CDlgAddModifyDevice.h"
#include "ui/CDlgMgtData.h"
#include "ui/CDlgMgtDevice.h"
#include "ui/CDlgMgtVirtualCom.h"
#include "ui/CDlgMonitor.h"
#include "ui/CLimitEdit.h"
#include "ui/CNoticeBoxes.h"
#include "ui/CdlgSetting.h"
#include "ui/CToolBarEx.h"
#include "ui/CVantrelDlg.h"
#include "ui/ResourceText.h"
#include "ui/WindowPlace.h"

namespace {

QString Text(unsigned id) { return QString::fromStdString(CResourceStrings::Instance().LoadString(id)); }

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetProcessSingletons();
    // Stored too: managing while the service runs applies what Info.db holds.
    CAccessInterface store;
    ASSERT_EQ(1, store.OpenDatabase(DATABASE_FILE_NAME));
    std::vector<TunnelInfo> stored;
    ASSERT_EQ(1, store.LoadTunnels(stored));
    for (const TunnelInfo& tunnel : stored) ASSERT_EQ(1, store.DeleteTunnel(tunnel.DeviceID));
    for (const TunnelInfo& tunnel : {TunnelInfo{"00000001", "COM41", "9600", "8", "1", "None", ""},
                                     TunnelInfo{"00000002", "COM42", "9600", "8", "1", "None", ""}}) {
      ASSERT_EQ(1, store.AddTunnel(tunnel));
      CTunnelTable::Instance().Add(tunnel);
    }
    UseSettings(FreePort(), false);
  }
  void TearDown() override {
    m_window.reset();
    ResetProcessSingletons();
  }

  void UseSettings(std::uint16_t port, bool autoStart) {
    SettingInfo settings;
    settings.LocalIp = "127.0.0.1";
    settings.LocalPort = port;
    settings.AutoStartSimulation = autoStart;
    ReplaceSettings(settings);
    CAccessInterface store;
    store.OpenDatabase(DATABASE_FILE_NAME);
    store.SaveSettings(settings);
  }

  CVantrelDlg& Window(bool trayAvailable = false, int statusResetMs = 3000) {
    CVantrelDlg::Options options;
    options.trayAvailable = trayAvailable;
    options.statusResetMs = statusResetMs;
    options.languageFile = m_dir.File("LanguageCfg.ini");
    options.restart = [this] {
      ++m_restarts;
      return true;
    };
    options.placeFile = m_placeFile;
    m_window = std::make_unique<CVantrelDlg>(options);
    m_ended = std::make_unique<QSignalSpy>(m_window.get(), &CVantrelDlg::Ended);
    m_window->show();
    return *m_window;
  }

  bool Enabled(unsigned id) { return m_window->Action(id)->isEnabled(); }
  QWidget* Button(unsigned id) { return m_window->ToolBar().widgetForAction(m_window->Action(id)); }

  // Menu and toolbar: Start and Stop follow the service; managing stays available.
  void ExpectState(bool running) {
    for (unsigned id : {ID_SETTINGS, ID_MGT_VIRTUAL_COM, ID_MGT_DEVICE, ID_MGT_DATA}) EXPECT_TRUE(Enabled(id)) << id;
    EXPECT_EQ(!running, Enabled(ID_SIM_START));
    EXPECT_EQ(running, Enabled(ID_SIM_STOP));
    EXPECT_TRUE(Enabled(ID_SIM_MONITOR));
    EXPECT_EQ(!running, Button(ID_SIM_START)->isEnabled());
    EXPECT_EQ(running, Button(ID_SIM_STOP)->isEnabled());
    EXPECT_TRUE(Button(ID_MGT_DEVICE)->isEnabled());
    EXPECT_TRUE(Button(ID_SIM_MONITOR)->isEnabled());
    EXPECT_EQ(running, m_window->ServiceRunning());
  }

  TempDir m_dir;
  CNoticeBoxes m_notices;
  std::unique_ptr<CVantrelDlg> m_window;
  std::unique_ptr<QSignalSpy> m_ended;
  int m_restarts = 0;
  std::string m_placeFile;
};

TEST_F(MainWindowTest, MenusAndToolbarFollowStartStopAndAFailedStart) {
  MessageBoxAnswerer answerer;
  CVantrelDlg& window = Window();
  EXPECT_EQ(QStringLiteral("Vantrel V 3.2.1"), window.windowTitle());
  EXPECT_EQ(Text(IDS_READY), window.StatusText(0));
  EXPECT_EQ(Text(IDS_CHANNEL_TOTAL) + ": 0", window.StatusText(1));
  EXPECT_EQ(QString::fromUtf8("启动"), window.Action(ID_SIM_START)->toolTip());
  ExpectState(false);

  QTest::mouseClick(Button(ID_SIM_START), Qt::LeftButton);
  ExpectState(true);
  EXPECT_TRUE(QtWaitFor([&] { return window.StatusText(0) == Text(IDS_SERVICE_STARTED); }));
  EXPECT_EQ(Text(IDS_CHANNEL_TOTAL) + ":2", window.StatusText(1));
  EXPECT_EQ(2, window.DeviceList().model()->rowCount());

  window.Action(ID_SIM_STOP)->trigger();
  ExpectState(false);
  EXPECT_EQ(Text(IDS_SERVICE_STOPPED), window.StatusText(0));
  EXPECT_EQ(Text(IDS_CONNECTED_TOTAL) + ": 0", window.StatusText(2));
  EXPECT_EQ(Text(IDS_MATCHED_ONLINE_TOTAL) + ": 0", window.StatusText(3));
  // Stopped, the configured devices stay listed.
  EXPECT_EQ(2, window.DeviceList().model()->rowCount());
  EXPECT_TRUE(answerer.Boxes().empty());

  // The service host's failure notice and its Stop command bring the stopped state back.
  TakenPort taken;
  ASSERT_NE(0, taken.Port());
  UseSettings(taken.Port(), false);
  window.Action(ID_SIM_START)->trigger();
  ExpectState(true);
  ASSERT_TRUE(QtWaitFor([&] { return !window.ServiceRunning(); }));
  ExpectState(false);
  // The box and the status pane name the address, the port and the reason.
  const std::string failure = "服务启动失败：127.0.0.1:" + std::to_string(taken.Port()) + " 已被其他程序占用";
  ASSERT_EQ(1u, answerer.Boxes().size());
  EXPECT_EQ(failure, answerer.Boxes()[0].Text);
  EXPECT_EQ(failure, window.StatusText(0).toStdString());
  EXPECT_EQ(2, window.DeviceList().model()->rowCount());
}

TEST_F(MainWindowTest, TheReasonOfAFailedStartStaysUntilTheNextStart) {
  MessageBoxAnswerer answerer;
  TakenPort taken;
  UseSettings(taken.Port(), false);
  CVantrelDlg& window = Window(false, 50);
  window.OnCommand(ID_SIM_START);
  ASSERT_TRUE(QtWaitFor([&] { return !window.ServiceRunning(); }));
  const QString failure = window.StatusText(0);
  EXPECT_TRUE(failure.contains(QString::number(taken.Port()))) << failure.toStdString();
  // Longer than the pane is wide: its tooltip shows it whole.
  EXPECT_EQ(failure, window.statusBar()->findChildren<QLabel*>().at(0)->toolTip());
  // Another message comes and goes; the reason, not "Ready", comes back.
  window.SetStatusText(0, QStringLiteral("other"));
  QTest::qWait(200);
  EXPECT_EQ(failure, window.StatusText(0));

  UseSettings(FreePort(), false);
  window.OnCommand(ID_SIM_START);
  ASSERT_TRUE(QtWaitFor([&] { return window.StatusText(0) == Text(IDS_SERVICE_STARTED); }));
  EXPECT_TRUE(QtWaitFor([&] { return window.StatusText(0) == Text(IDS_READY); }));
}

TEST_F(MainWindowTest, AutoStartRunsTheServiceWhenTheSettingIsSet) {
  UseSettings(FreePort(), true);
  CVantrelDlg& window = Window();
  ASSERT_TRUE(QtWaitFor([&] { return window.StatusText(0) == Text(IDS_SERVICE_STARTED); }));
  ExpectState(true);
}

TEST_F(MainWindowTest, StatusTextsFromAnyThreadAndTheReturnToReady) {
  CVantrelDlg& window = Window(false, 2000);
  QCoreApplication::processEvents();
  // Sent from another thread: handled through Qt's event loop while the sender waits.
  std::thread sender([handle = window.Handle()] {
    CMessageTarget::Send(handle, WM_STATUS_TEXT, 1, reinterpret_cast<LPARAM>("pane one"));
    CMessageTarget::Send(handle, WM_STATUS_TEXT, 0, reinterpret_cast<LPARAM>("first"));
  });
  EXPECT_TRUE(QtWaitFor([&] { return window.StatusText(0) == QStringLiteral("first"); }));
  sender.join();
  EXPECT_EQ(QStringLiteral("pane one"), window.StatusText(1));
  window.SetStatusText(0, QStringLiteral("second"));
  EXPECT_EQ(QStringLiteral("second"), window.StatusText(0));
  EXPECT_TRUE(QtWaitFor([&] { return window.StatusText(0) == Text(IDS_READY); }));
  EXPECT_EQ(QStringLiteral("pane one"), window.StatusText(1)) << "only pane 0 returns";
}

TEST_F(MainWindowTest, CloseHidesToTheTrayWhileRunningAndExitEndsWithoutAQuestion) {
  MessageBoxAnswerer answerer;
  CVantrelDlg& window = Window(true);
  window.OnCommand(ID_SIM_START);
  ASSERT_TRUE(QtWaitFor([&] { return window.StatusText(0) == Text(IDS_SERVICE_STARTED); }));

  for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) QTest::keyClick(&window, key);
  EXPECT_TRUE(window.isVisible());

  window.close();
  EXPECT_FALSE(window.isVisible());
  EXPECT_TRUE(window.InTray());
  EXPECT_TRUE(window.ServiceRunning());
  QStringList tray;
  for (const QAction* action : window.TrayMenu()->actions()) tray << action->text();
  EXPECT_EQ((QStringList{QStringLiteral("Show"), QString::fromUtf8("启动"), QString::fromUtf8("停止"),
                         QStringLiteral("Exit")}),
            tray);
  EXPECT_FALSE(window.TrayMenu()->actions()[1]->isEnabled());
  EXPECT_TRUE(window.TrayToolTip().contains(Text(IDS_SERVICE_STATE_RUNNING))) << window.TrayToolTip().toStdString();

  window.TrayMenu()->actions()[0]->trigger();
  EXPECT_TRUE(window.isVisible());
  EXPECT_TRUE(window.InTray()) << "the icon stays until the window ends";
  window.close();
  // A single click on the icon shows the window too.
  emit window.Tray()->activated(QSystemTrayIcon::Trigger);
  EXPECT_TRUE(window.isVisible());
  window.close();
  // No device connected: Exit asks nothing.
  window.TrayMenu()->actions()[3]->trigger();
  ASSERT_EQ(1, m_ended->count());
  EXPECT_EQ(0, m_ended->at(0).at(0).toInt());
  EXPECT_FALSE(window.InTray());
  EXPECT_TRUE(answerer.Boxes().empty());
  m_window.reset();  // the service stops with the window
}

TEST_F(MainWindowTest, ExitAndALanguageSwitchAskFirstWhileDevicesAreConnected) {
  MessageBoxAnswerer answerer;
  const std::uint16_t port = FreePort();
  UseSettings(port, false);
  CVantrelDlg& window = Window(true);
  window.OnCommand(ID_SIM_START);
  ASSERT_TRUE(QtWaitFor([&] { return window.Simulation().Accepting(); }));
  TestDevice first(port), second(port);
  ASSERT_TRUE(first.Send(Registration(1)) && second.Send(Registration(7)));
  ASSERT_TRUE(QtWaitFor([&] { return window.StatusText(2) == Text(IDS_CONNECTED_TOTAL) + ":2"; }));
  window.close();
  EXPECT_TRUE(window.TrayToolTip().contains(Text(IDS_CONNECTED_TOTAL) + ":2")) << window.TrayToolTip().toStdString();
  window.TrayMenu()->actions()[0]->trigger();

  window.OnCommand(IDCANCEL);
  ASSERT_EQ(1u, answerer.Boxes().size());
  EXPECT_EQ("2 台设备在线，退出将断开它们的连接。确定退出？", answerer.Boxes()[0].Text);
  EXPECT_EQ(0, m_ended->count());
  window.OnCommand(ID_LANG_ENGLISH);
  ASSERT_EQ(2u, answerer.Boxes().size());
  EXPECT_EQ("2 台设备在线，重启程序将断开它们的连接。确定重启？", answerer.Boxes()[1].Text);
  EXPECT_EQ(0, m_restarts);
  EXPECT_EQ(-1, CProfileFile(m_dir.File("LanguageCfg.ini")).GetInt("CONFIG", "LANGUAGE", -1));

  answerer.Then(IDYES);
  window.OnCommand(IDCANCEL);
  EXPECT_EQ(1, m_ended->count());
  // A stop signal ends the program without a question.
  CVantrelDlg& again = Window(true);
  again.Quit();
  EXPECT_EQ(1, m_ended->count());
  EXPECT_EQ(3u, answerer.Boxes().size());
}

TEST_F(MainWindowTest, WithoutATrayClosingAsksWhileTheServiceRuns) {
  MessageBoxAnswerer answerer;
  CVantrelDlg& window = Window(false);
  window.OnCommand(ID_SIM_START);
  ASSERT_TRUE(QtWaitFor([&] { return window.StatusText(0) == Text(IDS_SERVICE_STARTED); }));

  answerer.Then(IDNO);
  window.close();
  ASSERT_EQ(1u, answerer.Boxes().size());
  EXPECT_EQ(Text(IDS_EXIT_WHILE_RUNNING).toStdString(), answerer.Boxes()[0].Text);
  EXPECT_EQ("Vantrel", answerer.Boxes()[0].Caption);
  EXPECT_EQ(4, answerer.Boxes()[0].Type);
  EXPECT_TRUE(window.isVisible());
  EXPECT_EQ(0, m_ended->count());
  EXPECT_TRUE(window.Simulation().ServiceRunning());

  answerer.Then(IDYES);
  window.close();
  EXPECT_EQ(1, m_ended->count());
  EXPECT_FALSE(window.Simulation().ServiceRunning());
  EXPECT_FALSE(window.isVisible());

  // Stopped: closes at once.
  Window(false).close();
  EXPECT_EQ(1, m_ended->count());
  EXPECT_EQ(2u, answerer.Boxes().size());
}

TEST_F(MainWindowTest, LanguageSwitch) {
  // The built-in texts: language code 1.
  ASSERT_EQ(CResourceStrings::kChinese, CResourceStrings::Instance().Language());
  struct Case {
    unsigned command;
    int answer;
    bool asked, written;
  };
  const std::string file = m_dir.File("LanguageCfg.ini");
  for (const Case& c : {Case{ID_LANG_CHINESE, IDYES, false, false}, Case{ID_LANG_ENGLISH, IDNO, true, false},
                        Case{ID_LANG_ENGLISH, IDYES, true, true}}) {
    SCOPED_TRACE(c.command * 10 + c.answer);
    MessageBoxAnswerer answerer(c.answer);
    CVantrelDlg& window = Window();
    m_restarts = 0;
    window.Action(c.command)->trigger();
    ASSERT_EQ(c.asked ? 1u : 0u, answerer.Boxes().size());
    if (c.asked) {
      EXPECT_EQ(Text(IDS_RESTART_FOR_LANGUAGE).toStdString(), answerer.Boxes()[0].Text);
      EXPECT_EQ(4, answerer.Boxes()[0].Type);
    }
    EXPECT_EQ(c.written ? 2 : -1, CProfileFile(file).GetInt("CONFIG", "LANGUAGE", -1));
    EXPECT_EQ(c.written ? 1 : 0, m_restarts);
    EXPECT_EQ(c.written ? 1 : 0, m_ended->count());
    EXPECT_TRUE(window.Action(ID_LANG_CHINESE)->isChecked());
    EXPECT_FALSE(window.Action(ID_LANG_ENGLISH)->isChecked());
  }
}

TEST_F(MainWindowTest, ALanguageFileThatCannotBeWrittenIsToldAndNoRestartHappens) {
  MessageBoxAnswerer answerer(IDYES);
  CVantrelDlg::Options options;
  options.languageFile = m_dir.File("missing-folder/LanguageCfg.ini");
  options.restart = [this] {
    ++m_restarts;
    return true;
  };
  CVantrelDlg window(options);
  QSignalSpy ended(&window, &CVantrelDlg::Ended);
  window.OnCommand(ID_LANG_ENGLISH);
  ASSERT_EQ(2u, answerer.Boxes().size());
  EXPECT_NE(std::string::npos, answerer.Boxes()[1].Text.find(options.languageFile));
  EXPECT_EQ(0, m_restarts);
  EXPECT_EQ(0, ended.count());
}

TEST_F(MainWindowTest, TheWindowComesBackWithTheSizeAndPlaceItHadForThisApplicationDirectory) {
  m_placeFile = m_dir.File("config/window.ini");
  const QSize initial = Window().size();
  m_window->resize(700, 420);
  m_window->move(40, 30);
  const QRect was = m_window->geometry();
  m_window->Quit();
  EXPECT_EQ(was, Window().geometry());
  // Hidden to the tray, then ended from there.
  Window(true).resize(640, 400);
  m_window->close();
  m_window->Quit();
  EXPECT_EQ(QSize(640, 400), Window().size());

  QWidget other;
  EXPECT_FALSE(WindowPlace(QString::fromStdString(m_placeFile), QStringLiteral("/another/directory")).Restore(other));
  m_placeFile.clear();
  EXPECT_EQ(initial, Window().size());
}

TEST_F(MainWindowTest, AboutShowsTheVersion) {
  CVantrelDlg& window = Window();
  ASSERT_NE(nullptr, window.Action(IDM_ABOUTBOX));
  EXPECT_EQ(QString::fromUtf8("Vantrel，3.2.1 Version"), CAboutDlg(&window).VersionLine());
}

TEST_F(MainWindowTest, CommandsOpenTheirDialogsAndADoubleClickEditsTheListedDevice) {
  MessageBoxAnswerer answerer;
  CVantrelDlg& window = Window();
  // Which dialog each command runs modally; closed again from its own modal loop.
  auto opened = [&window](unsigned id) {
    QString name;
    QTimer::singleShot(0, [&name] {
      QWidget* modal = QApplication::activeModalWidget();
      if (modal == nullptr) return;
      name = QString::fromUtf8(modal->metaObject()->className());
      modal->close();
    });
    window.OnCommand(id);
    return name.toStdString();
  };
  EXPECT_EQ("CdlgSetting", opened(ID_SETTINGS));
  EXPECT_EQ("CDlgMgtVirtualCom", opened(ID_MGT_VIRTUAL_COM));
  EXPECT_EQ("CDlgMgtDevice", opened(ID_MGT_DEVICE));
  EXPECT_EQ("CDlgMgtData", opened(ID_MGT_DATA));

  window.OnCommand(ID_SIM_MONITOR);
  auto* monitor = window.findChild<CDlgMonitor*>();
  ASSERT_NE(nullptr, monitor);
  EXPECT_TRUE(monitor->isVisible());
  monitor->close();

  window.OnCommand(ID_SIM_START);
  ASSERT_TRUE(window.ServiceRunning());
  // Managing stays open while the service runs.
  EXPECT_EQ("CDlgMgtDevice", opened(ID_MGT_DEVICE));
  EXPECT_EQ("CDlgMgtData", opened(ID_MGT_DATA));
  emit window.DeviceList().EditRequested(1);
  auto* editor = window.findChild<CDlgAddModifyDevice*>();
  ASSERT_NE(nullptr, editor);
  EXPECT_TRUE(editor->isVisible());
  EXPECT_EQ(CDlgAddModifyDevice::ModifyMode, editor->EditorMode());
  EXPECT_EQ("00000002", editor->IdField()->text().toStdString());
  editor->close();
  window.OnCommand(ID_SIM_STOP);
}

// Two devices forwarding through real virtual-port pairs while the service runs: what the
// desktop changes through its dialogs applies to the running service, and a device whose
// tunnel did not change keeps its link and its data path.
class ManagingWhileRunningTest : public MainWindowTest {
 protected:
  void SetUp() override {
    MainWindowTest::SetUp();
    for (int index : {0, 1}) {
      const std::string name = "COM4" + std::to_string(index + 1);
      ASSERT_TRUE(m_pairs[index].Create());
      ASSERT_TRUE(m_pairs[index].Link(m_portDir.Path(), name, name + "_FF"));
      m_local[index].emplace(m_portDir.File(name + "_FF"));
      ASSERT_TRUE(m_local[index]->IsOpen());
    }
  }

  // Starts the service and connects devices 1 (COM41) and 2 (COM42).
  void StartWithDevices(CVantrelDlg& window) {
    window.OnCommand(ID_SIM_START);
    ASSERT_TRUE(QtWaitFor([&] { return window.Simulation().Accepting(); })) << window.Simulation().LastStartFailure();
    m_port = CurrentSettings().LocalPort;
    for (int index : {0, 1}) {
      m_devices[index].emplace(m_port);
      ASSERT_TRUE(m_devices[index]->Send(Registration(index + 1)));
    }
    ASSERT_TRUE(QtWaitFor([&] { return Linked(window, "00000001") && Linked(window, "00000002"); }));
    ExpectForwarding(0, "before");
    ExpectForwarding(1, "before");
  }

  static int RowOf(CVantrelDlg& window, const std::string& id) {
    CDeviceList& list = window.Simulation().DeviceList();
    for (int row = 0; row < list.RowCount(); ++row)
      if (list.Row(row).DeviceId == id) return row;
    return -1;
  }
  static bool Linked(CVantrelDlg& window, const std::string& id) {
    const int row = RowOf(window, id);
    return row >= 0 && window.Simulation().DeviceList().Row(row).LinkState == DeviceRow::Link::Connected &&
           window.Simulation().DeviceList().Row(row).PortState == DeviceRow::Port::Open;
  }

  // Device `index` reaches its port and the port reaches the device, on the same connection.
  void ExpectForwarding(int index, const std::string& tag) {
    SCOPED_TRACE(tag + " device " + std::to_string(index + 1));
    const Bytes out = ::Text(tag + " to port " + std::to_string(index));
    ASSERT_TRUE(m_devices[index]->Send(out));
    EXPECT_EQ(out, m_local[index]->Read(out.size()));
    const Bytes back = ::Text(tag + " to device " + std::to_string(index));
    ASSERT_TRUE(m_local[index]->Write(back));
    EXPECT_EQ(back, m_devices[index]->Read(back.size()));
  }

  // A new device registers on `port` beside the two started ones, which keep their links
  // and forward both ways.
  void ExpectANewDeviceAndTheOthersGoOn(CVantrelDlg& window, std::uint16_t port) {
    TestDevice late(port);
    ASSERT_TRUE(late.Send(Registration(9)));
    EXPECT_TRUE(QtWaitFor([&] { return window.StatusText(2) == Text(IDS_CONNECTED_TOTAL) + ":3"; }));
    EXPECT_TRUE(window.ServiceRunning());
    EXPECT_TRUE(Linked(window, "00000001") && Linked(window, "00000002"));
    ExpectForwarding(0, "after");
    ExpectForwarding(1, "after");
  }

  // The line speed Vantrel's end of a pair is set to.
  static speed_t Speed(const CNullModemPair& pair) {
    const int fd = ::open(pair.PathA().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios line{};
    const bool read = fd >= 0 && tcgetattr(fd, &line) == 0;
    if (fd >= 0) ::close(fd);
    return read ? cfgetospeed(&line) : B0;
  }

  // Runs the settings dialog from the menu: the port field set to `port`, Save, Cancel.
  void ChangeListeningPort(CVantrelDlg& window, std::uint16_t port) {
    bool saved = false;
    QTimer::singleShot(0, [&] {
      auto* dialog = qobject_cast<CdlgSetting*>(QApplication::activeModalWidget());
      if (dialog == nullptr) return;
      dialog->PortEdit()->setText(QString::number(port));
      dialog->SetButton()->click();
      saved = dialog->Settings().LocalPort == port;
      dialog->reject();
    });
    window.OnCommand(ID_SETTINGS);
    EXPECT_TRUE(saved);
  }

  TempPortDir m_portDir;
  CNullModemPair m_pairs[2];
  std::optional<LocalEnd> m_local[2];
  std::optional<TestDevice> m_devices[2];
  std::uint16_t m_port = 0;
};

TEST_F(ManagingWhileRunningTest, ANewListeningPortAppliesLiveWithoutAQuestionAndNobodyIsDropped) {
  MessageBoxAnswerer answerer;
  CVantrelDlg& window = Window();
  StartWithDevices(window);
  const std::uint16_t next = FreePort();

  ChangeListeningPort(window, next);
  EXPECT_TRUE(answerer.Boxes().empty()) << answerer.Boxes()[0].Text;
  EXPECT_EQ(Text(IDS_APPLIED_LIVE), window.StatusText(0));
  EXPECT_EQ(next, CurrentSettings().LocalPort);
  EXPECT_FALSE(TestDevice(m_port).IsOpen()) << "the old port is closed";
  ExpectANewDeviceAndTheOthersGoOn(window, next);
}

TEST_F(ManagingWhileRunningTest, ANewListeningPortInUseIsToldAndTheServiceGoesOnWhereItListened) {
  MessageBoxAnswerer answerer;
  CVantrelDlg& window = Window();
  StartWithDevices(window);
  TakenPort taken;
  ASSERT_NE(0, taken.Port());

  ChangeListeningPort(window, taken.Port());
  ASSERT_EQ(1u, answerer.Boxes().size());
  const std::string told = answerer.Boxes()[0].Text;
  EXPECT_EQ(0u, told.find(Filled(Text(IDS_NOT_APPLIED_LIVE).toStdString(), {""}))) << told;
  EXPECT_NE(std::string::npos, told.find(std::strerror(EADDRINUSE))) << told;
  EXPECT_EQ(m_port, CurrentSettings().LocalPort) << "the settings in effect are the running ones";
  ExpectANewDeviceAndTheOthersGoOn(window, m_port);
}

TEST_F(ManagingWhileRunningTest, TunnelEditsFromTheListReopenThatPortAloneWithTheFastRatesAndTheOtherDeviceGoesOn) {
  MessageBoxAnswerer answerer;
  CVantrelDlg& window = Window();
  StartWithDevices(window);

  struct Rate {
    const char* text;
    speed_t speed;
  };
  for (const Rate rate : {Rate{"230400", B230400}, Rate{"460800", B460800}, Rate{"921600", B921600}}) {
    SCOPED_TRACE(rate.text);
    emit window.DeviceList().EditRequested(RowOf(window, "00000001"));
    auto* editor = window.findChild<CDlgAddModifyDevice*>();
    ASSERT_NE(nullptr, editor);
    ASSERT_EQ("00000001", editor->IdField()->text().toStdString());
    const int offered = editor->BaudRateList()->findText(QString::fromLatin1(rate.text));
    ASSERT_GE(offered, 0);
    editor->BaudRateList()->setCurrentIndex(offered);
    editor->OkButton()->click();
    editor->close();
    EXPECT_TRUE(answerer.Boxes().empty()) << answerer.Boxes()[0].Text;

    // COM41 reopened with the new rate; COM42 untouched; both devices linked throughout.
    EXPECT_TRUE(QtWaitFor([&] { return Speed(m_pairs[0]) == rate.speed; }));
    EXPECT_EQ(B9600, Speed(m_pairs[1]));
    ExpectForwarding(1, "during");
    ASSERT_TRUE(QtWaitFor([&] { return Linked(window, "00000001"); }));
    ExpectForwarding(0, "after");
    EXPECT_EQ(Text(IDS_CONNECTED_TOTAL) + ":2", window.StatusText(2));
  }
}

}  // namespace
