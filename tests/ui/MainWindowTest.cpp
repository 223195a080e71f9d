#include <QAction>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QApplication>
#include <gtest/gtest.h>

#include <thread>

#include "FreePort.h"
#include "MessageBoxAnswerer.h"
#include "ProcessSingletons.h"
#include "QtWaitFor.h"
#include "TempDir.h"
#include "TestDevice.h"
#include "core/CTunnelTable.h"
#include "model/SettingInfo.h"
#include "model/WindowMessages.h"
#include "platform/CMessageTarget.h"
#include "platform/CProfileFile.h"
#include "resources/CResourceStrings.h"
#include "resources/ResourceIds.h"
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

}  // namespace
