#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <functional>

#include "../storage/SqliteFile.h"
#include "MessageBoxAnswerer.h"
#include "StatusPaneRecorder.h"
#include "TempDir.h"
#include "TestAppDirectory.h"
#include "model/SettingInfo.h"
#include "platform/AppPaths.h"
#include "platform/FirstIPv4Address.h"
#include "storage/CAccessInterface.h"
#include "ui/CLimitEdit.h"
#include "ui/CdlgSetting.h"

namespace {

const std::string kSaved = "设置参数成功!";
const std::string kFailed = "设置参数失败！";
const std::string kProgram = "/opt/Vantrel 2/bin/vantrel";

SettingInfo StoredSettings() {
  CAccessInterface store;
  store.OpenDatabase(DATABASE_FILE_NAME);
  SettingInfo settings;
  store.LoadSettings(settings);
  return settings;
}

// A fresh Info.db, the log-on entry in a temporary configuration directory, and the
// process-wide settings as they were.
class SettingDialogTest : public ::testing::Test {
 protected:
  SettingDialogTest() { std::filesystem::remove(TestAppDirectory().File(DATABASE_FILE_NAME)); }
  ~SettingDialogTest() override { ReplaceSettings(m_processSettings); }

  std::string EntryPath() const { return m_config.File("autostart/Vantrel.desktop"); }

  // Shows the dialog and puts the focus in `field`, as a user who types there would.
  static void Focus(CdlgSetting& dialog, QWidget* field) {
    dialog.show();
    dialog.activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(&dialog));
    field->setFocus();
    QApplication::processEvents();
  }

  static void Type(QLineEdit* field, const QString& text) {
    field->clear();
    QTest::keyClicks(field, text);
  }

  TempDir m_config{"XDG_CONFIG_HOME"};
  StatusPaneRecorder m_status;
  MessageBoxAnswerer m_boxes;
  SettingInfo m_processSettings = CurrentSettings();
};

TEST_F(SettingDialogTest, AFreshStoreShowsThisComputersAddressAndPort5001WithTheFieldRanges) {
  CdlgSetting dialog(nullptr, m_status.Handle(), kProgram);
  EXPECT_EQ(FirstIPv4Address(), dialog.LocalIpEdit()->text().toStdString());
  EXPECT_EQ("5001", dialog.PortEdit()->text().toStdString());
  EXPECT_EQ("50", dialog.DelayEdit()->text().toStdString());
  EXPECT_FALSE(dialog.BootStartBox()->isChecked());
  EXPECT_EQ(1u, dialog.PortEdit()->Minimum());
  EXPECT_EQ(65535u, dialog.PortEdit()->Maximum());
  EXPECT_EQ(0u, dialog.DelayEdit()->Minimum());
  EXPECT_EQ(10000u, dialog.DelayEdit()->Maximum());

  Focus(dialog, dialog.DelayEdit());
  Type(dialog.DelayEdit(), "10001");
  dialog.PortEdit()->setFocus();
  QApplication::processEvents();
  ASSERT_EQ(1u, m_boxes.Boxes().size());
  EXPECT_EQ("输入整数范围：[0 - 10000]!", m_boxes.Boxes()[0].Text);
  EXPECT_EQ("0", dialog.DelayEdit()->text().toStdString());
  EXPECT_TRUE(m_status.Texts().empty());
}

TEST_F(SettingDialogTest, SavedSettingsAreStoredTakenByTheProcessAndShownNextTime) {
  SettingInfo expected;
  {
    CdlgSetting dialog(nullptr, m_status.Handle(), kProgram);
    expected = dialog.Settings();
    dialog.LocalIpEdit()->setText("10.1.2.3");
    dialog.PortEdit()->setText("6001");
    dialog.DelayEdit()->setText("120");
    dialog.AutoStartBox()->setChecked(true);
    dialog.FilterHeartbeatBox()->setChecked(true);
    dialog.EscapeBox()->setChecked(true);
    dialog.SetButton()->click();
  }
  expected.LocalIp = "10.1.2.3";
  expected.LocalPort = 6001;
  expected.DelayComRead = 120;
  expected.AutoStartSimulation = expected.FilterHearbeat = expected.Escape = true;
  EXPECT_EQ(std::vector<std::string>{kSaved}, m_status.Texts());
  EXPECT_TRUE(m_boxes.Boxes().empty());
  EXPECT_EQ(expected, StoredSettings());
  EXPECT_EQ(expected, CurrentSettings());

  CdlgSetting again(nullptr, m_status.Handle(), kProgram);
  EXPECT_EQ("10.1.2.3", again.LocalIpEdit()->text().toStdString());
  EXPECT_EQ("6001", again.PortEdit()->text().toStdString());
  EXPECT_EQ("120", again.DelayEdit()->text().toStdString());
  EXPECT_TRUE(again.AutoStartBox()->isChecked());
  EXPECT_TRUE(again.FilterHeartbeatBox()->isChecked());
  EXPECT_TRUE(again.EscapeBox()->isChecked());
  EXPECT_FALSE(again.BootStartBox()->isChecked());
}

TEST_F(SettingDialogTest, TheLogOnEntryStartsTheProgramWhileTickedAndGoesWhenCleared) {
  CdlgSetting dialog(nullptr, m_status.Handle(), kProgram);
  dialog.BootStartBox()->setChecked(true);
  ASSERT_TRUE(dialog.Save());
  EXPECT_TRUE(StoredSettings().BootAutoStart);
  const std::string entry = m_config.Read("autostart/Vantrel.desktop");
  EXPECT_NE(entry.find("[Desktop Entry]\n"), std::string::npos) << entry;
  EXPECT_NE(entry.find("\nType=Application\n"), std::string::npos) << entry;
  // At log-on the program opens this Info.db and these ports, and reads the language
  // file where this one does.
  const std::string exec = "\nExec=\"env\" \"VANTREL_APP_DIR=" + ApplicationDirectory() + "\" \"VANTREL_PORT_DIR=" +
                           PortDirectory() + "\" \"/opt/Vantrel 2/bin/vantrel\"\n";
  EXPECT_NE(entry.find(exec), std::string::npos) << entry;
  EXPECT_NE(entry.find("\nPath=" + std::filesystem::current_path().string() + "\n"), std::string::npos) << entry;

  dialog.BootStartBox()->setChecked(false);
  ASSERT_TRUE(dialog.Save());
  EXPECT_FALSE(std::filesystem::exists(EntryPath()));
  EXPECT_FALSE(StoredSettings().BootAutoStart);
  // Clearing it again with no entry there is no failure.
  ASSERT_TRUE(dialog.Save());
  EXPECT_TRUE(m_boxes.Boxes().empty());
}

TEST_F(SettingDialogTest, AnEntryThatCannotBeWrittenIsToldAndTheSettingsAreStillSaved) {
  // A file where the autostart directory should be.
  m_config.Write("autostart", "");
  CdlgSetting dialog(nullptr, m_status.Handle(), kProgram);
  dialog.BootStartBox()->setChecked(true);
  EXPECT_TRUE(dialog.Save());
  ASSERT_EQ(1u, m_boxes.Boxes().size());
  EXPECT_EQ("系统参数错误,不能随系统启动", m_boxes.Boxes()[0].Text);
  EXPECT_TRUE(StoredSettings().BootAutoStart);
  EXPECT_EQ(std::vector<std::string>{kSaved}, m_status.Texts());
}

// Enter on the default button saves while the focus is still in a field, so the field's
// own check has not run.
TEST_F(SettingDialogTest, OutOfRangeValuesAndBadAddressesAreRefusedWhenEnterSaves) {
  CdlgSetting dialog(nullptr, m_status.Handle(), kProgram);
  const SettingInfo before = StoredSettings();
  Focus(dialog, dialog.PortEdit());
  Type(dialog.PortEdit(), "0");
  QTest::keyClick(dialog.PortEdit(), Qt::Key_Return);
  ASSERT_EQ(1u, m_boxes.Boxes().size());
  EXPECT_EQ("输入整数范围：[1 - 65535]!", m_boxes.Boxes()[0].Text);
  EXPECT_EQ("1", dialog.PortEdit()->text().toStdString());
  EXPECT_EQ(before, StoredSettings());

  m_boxes.Forget();
  Focus(dialog, dialog.LocalIpEdit());
  for (const char* address : {"10.0.0", "256.1.1.1", "1..2.3"}) {
    Type(dialog.LocalIpEdit(), address);
    QTest::keyClick(dialog.LocalIpEdit(), Qt::Key_Return);
  }
  ASSERT_EQ(3u, m_boxes.Boxes().size());
  EXPECT_EQ("请输入正确的IPv4地址(如192.168.1.10)，或留空使用本机第一个IPv4地址", m_boxes.Boxes()[0].Text);
  EXPECT_EQ(before, StoredSettings());
  EXPECT_TRUE(m_status.Texts().empty());

  // Empty means this computer's first address at the next start.
  dialog.LocalIpEdit()->clear();
  EXPECT_TRUE(dialog.Save());
  EXPECT_EQ("", StoredSettings().LocalIp);
}

TEST_F(SettingDialogTest, AStoreThatCannotBeWrittenIsToldAndTheProcessKeepsItsSettings) {
  CdlgSetting dialog(nullptr, m_status.Handle(), kProgram);
  const SettingInfo process = CurrentSettings();
  SqliteFile holder(TestAppDirectory().File(DATABASE_FILE_NAME));
  holder.Exec("BEGIN EXCLUSIVE");
  dialog.PortEdit()->setText("7001");
  EXPECT_FALSE(dialog.Save());
  holder.Exec("ROLLBACK");
  ASSERT_EQ(1u, m_boxes.Boxes().size());
  EXPECT_EQ(kFailed, m_boxes.Boxes()[0].Text);
  EXPECT_EQ(std::vector<std::string>{kFailed}, m_status.Texts());
  EXPECT_EQ(process, CurrentSettings());
  EXPECT_NE(7001, StoredSettings().LocalPort);
}

TEST_F(SettingDialogTest, WhoMayBeADeviceIsCheckedAsTheCommandLineChecksItAndStored) {
  CdlgSetting dialog(nullptr, m_status.Handle(), kProgram);
  EXPECT_EQ("", dialog.AllowedNetworksEdit()->text().toStdString());
  EXPECT_FALSE(dialog.RefuseUnconfiguredBox()->isChecked());
  EXPECT_EQ("0", dialog.MaxPerAddressEdit()->text().toStdString());
  EXPECT_EQ(0u, dialog.MaxPerAddressEdit()->Minimum());
  EXPECT_EQ(65535u, dialog.MaxPerAddressEdit()->Maximum());

  const SettingInfo before = StoredSettings();
  for (const auto& [typed, named] : std::vector<std::pair<std::string, std::string>>{
           {"10.0.0.0/8,10.0.0.256", "10.0.0.256"}, {"10.0.0.1/8", "10.0.0.1/8"}, {"10.0.0.0/8,", ""}}) {
    m_boxes.Forget();
    dialog.AllowedNetworksEdit()->setText(QString::fromStdString(typed));
    EXPECT_FALSE(dialog.Save()) << typed;
    ASSERT_EQ(1u, m_boxes.Boxes().size()) << typed;
    EXPECT_EQ("“" + named + "”不是IPv4网络。请输入网络(如10.0.0.0/8)或单个地址(如203.0.113.7)，以逗号分隔；留空则允许所有地址",
              m_boxes.Boxes()[0].Text);
    EXPECT_EQ(before, StoredSettings()) << typed;
  }
  EXPECT_TRUE(m_status.Texts().empty());

  dialog.AllowedNetworksEdit()->setText(" 10.0.0.0/8 , 203.0.113.7");
  dialog.RefuseUnconfiguredBox()->setChecked(true);
  dialog.MaxPerAddressEdit()->setText("20");
  ASSERT_TRUE(dialog.Save());
  EXPECT_EQ("10.0.0.0/8,203.0.113.7/32", dialog.AllowedNetworksEdit()->text().toStdString()) << "shown as stored";
  const SettingInfo stored = StoredSettings();
  EXPECT_EQ("10.0.0.0/8,203.0.113.7/32", stored.AllowedNetworks);
  EXPECT_TRUE(stored.RefuseUnconfigured);
  EXPECT_EQ(20, stored.MaxConnectionsPerAddress);
  EXPECT_EQ(stored.AllowedNetworks, CurrentSettings().AllowedNetworks);

  CdlgSetting again(nullptr, m_status.Handle(), kProgram);
  EXPECT_EQ("10.0.0.0/8,203.0.113.7/32", again.AllowedNetworksEdit()->text().toStdString());
  EXPECT_TRUE(again.RefuseUnconfiguredBox()->isChecked());
  EXPECT_EQ("20", again.MaxPerAddressEdit()->text().toStdString());
  again.AllowedNetworksEdit()->clear();
  ASSERT_TRUE(again.Save());
  EXPECT_EQ("", StoredSettings().AllowedNetworks) << "empty admits every address";
}

TEST_F(SettingDialogTest, ListenerHistoryAndAlarmSettingsAreCheckedTogetherAndStored) {
  CdlgSetting dialog(nullptr, m_status.Handle(), kProgram);
  EXPECT_EQ("0", dialog.TlsPortEdit()->text().toStdString());
  EXPECT_EQ("90", dialog.EventsKeepDaysEdit()->text().toStdString());
  EXPECT_EQ("300", dialog.OfflineAlarmEdit()->text().toStdString());
  const SettingInfo before = StoredSettings();
  // Each refused with its own message, and nothing stored.
  const auto refused = [&](const std::function<void()>& type, const std::string& message) {
    m_boxes.Forget();
    type();
    EXPECT_FALSE(dialog.Save()) << message;
    ASSERT_EQ(1u, m_boxes.Boxes().size()) << message;
    EXPECT_EQ(message, m_boxes.Boxes()[0].Text);
    EXPECT_EQ(before, StoredSettings()) << message;
    dialog.MetricsAddressEdit()->clear();
    dialog.TlsCertificateEdit()->clear();
    dialog.TlsPortEdit()->setText("0");
  };
  refused([&] { dialog.MetricsAddressEdit()->setText("localhost:9464"); },
          "指标地址应为IPv4地址和端口，如 127.0.0.1:9464，或留空。");
  refused([&] { dialog.TlsCertificateEdit()->setText("server\tpem"); }, "文件名不能含控制字符，长度不超过4096字节。");
  refused([&] { dialog.TlsPortEdit()->setText("5002"); },
          "设置了TLS端口时必须给出服务器证书和私钥，且TLS端口不能与本地端口相同。");

  dialog.TlsPortEdit()->setText("5002");
  dialog.TlsCertificateEdit()->setText(" tls/server.pem ");
  dialog.TlsKeyEdit()->setText("tls/server.key");
  dialog.TlsOnlyBox()->setChecked(true);
  dialog.MetricsAddressEdit()->setText("127.0.0.1:9464");
  dialog.EventsKeepDaysEdit()->setText("30");
  dialog.EventCommandEdit()->setText("/usr/local/bin/page-operator");
  dialog.OfflineAlarmEdit()->setText("120");
  dialog.ResendStoredBox()->setChecked(true);
  ASSERT_TRUE(dialog.Save());
  const SettingInfo stored = StoredSettings();
  EXPECT_EQ(5002, stored.TlsPort);
  EXPECT_EQ("tls/server.pem", stored.TlsCertificate);
  EXPECT_EQ("tls/server.key", stored.TlsKey);
  EXPECT_TRUE(stored.TlsOnly);
  EXPECT_EQ("127.0.0.1:9464", stored.MetricsAddress);
  EXPECT_EQ(30, stored.EventsKeepDays);
  EXPECT_EQ("/usr/local/bin/page-operator", stored.EventCommand);
  EXPECT_EQ(120, stored.OfflineAlarmSeconds);
  EXPECT_TRUE(stored.ResendStored);
  EXPECT_EQ(stored, CurrentSettings());
}

TEST_F(SettingDialogTest, CancelAndEscapeRunNoFieldCheck) {
  for (const bool escape : {false, true}) {
    SCOPED_TRACE(escape);
    CdlgSetting dialog(nullptr, m_status.Handle(), kProgram);
    Focus(dialog, dialog.PortEdit());
    Type(dialog.PortEdit(), QStringLiteral("0"));
    if (escape) {
      QTest::keyClick(dialog.PortEdit(), Qt::Key_Escape);
    } else {
      QPushButton* cancel = nullptr;
      for (QPushButton* button : dialog.findChildren<QPushButton*>())
        if (button->text() == QString::fromUtf8("取消")) cancel = button;
      ASSERT_NE(nullptr, cancel);
      QTest::mouseClick(cancel, Qt::LeftButton);
    }
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    EXPECT_TRUE(m_boxes.Boxes().empty()) << m_boxes.Boxes()[0].Text;
    EXPECT_TRUE(m_status.Texts().empty());
  }
}

}  // namespace
