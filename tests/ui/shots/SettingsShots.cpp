// Renders the settings, not-forwarded data and virtual COM port dialogs in Chinese and
// English into the folder given as the first argument. Each language runs in a process of
// its own (the language is chosen once per process), in a temporary application directory
// with its own Info.db and port directory.
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QDateTimeEdit>
#include <QProcess>
#include <QTableWidget>
#include <QTest>
#include <QThread>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TempDir.h"
#include "model/NotTransRecord.h"
#include "platform/AppPaths.h"
#include "platform/CMessageTarget.h"
#include "platform/CPairRecord.h"
#include "resources/CResourceStrings.h"
#include "storage/CAccessInterface.h"
#include "ui/CDlgMgtData.h"
#include "ui/CDlgMgtVirtualCom.h"
#include "ui/CLimitEdit.h"
#include "ui/CdlgSetting.h"

extern char** environ;

namespace {

using Bytes = std::vector<unsigned char>;

NotTransRecord Record(const std::string& time, const std::string& deviceId, const Bytes& data) {
  NotTransRecord record{};
  std::snprintf(record.ReceiveTime, sizeof record.ReceiveTime, "%s", time.c_str());
  SetDeviceId(record.Item, deviceId);
  record.Item.Kind = DATA_USER;
  record.Item.Length = static_cast<std::int32_t>(data.size());
  std::copy(data.begin(), data.end(), record.Item.Data);
  return record;
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

// Runs this program again for one language; true when it succeeded.
bool RunLanguage(const char* self, const std::string& folder, const char* language) {
  std::vector<std::string> args{self, folder, language};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t child = 0;
  if (posix_spawn(&child, "/proc/self/exe", nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Shows the window, lets the event loop settle and writes what it shows.
bool Shoot(QWidget& window, const std::string& path) {
  window.show();
  if (!QTest::qWaitForWindowExposed(&window)) return false;
  QTest::qWait(200);
  const bool saved = window.grab().save(QString::fromStdString(path));
  std::printf("%s %s\n", saved ? "wrote" : "cannot write", path.c_str());
  return saved;
}

int Render(int argc, char** argv, const std::string& folder, const std::string& language) {
  // Everything the dialogs touch lives in a directory of this run's own.
  const TempDir appDir("VANTREL_APP_DIR");
  ::setenv("VANTREL_PORT_DIR", appDir.File("ports").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", appDir.File("config").c_str(), 1);
  if (::chdir(appDir.Path().c_str()) != 0) return 1;
  std::ofstream(appDir.File(CResourceStrings::kLanguageConfigFile))
      << "[" << CResourceStrings::kLanguageSection << "]\n"
      << CResourceStrings::kLanguageKey << "=" << (language == "en" ? CResourceStrings::kEnglish : CResourceStrings::kChinese)
      << "\n";

  QApplication app(argc, argv);
  CResourceStrings::Instance().SelectLanguage();
  CMessageTarget mainWindow([](unsigned, WPARAM, LPARAM) -> LRESULT { return 0; });
  bool ok = true;
  const std::string prefix = folder + "/settings-";

  {
    CdlgSetting dialog(nullptr, mainWindow.Handle(), CdlgSetting::DefaultProgram());
    dialog.FilterHeartbeatBox()->setChecked(true);
    ok = Shoot(dialog, prefix + "setting-" + language + ".png") && ok;
  }
  {
    CAccessInterface store;
    store.OpenDatabase(DATABASE_FILE_NAME);
    store.SaveNotTransData({
        Record("2026/03/14 08:00:02", "0000ABCD", {0x31, 0x32, 0x00, 0x33}),
        Record("2026/03/14 08:00:07", "0000ABCD", Text("T=21.5C;H=40%\r\n")),
        Record("2026/03/14 08:01:15", "0000ABCD", {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD}),
        Record("2026/03/14 08:02:40", "1A2B3C4D", Text("LEVEL 0.82m")),
        Record("2026/03/14 08:02:41", "1A2B3C4D", {'O', 'K', 0x00, 0x00, 0xFF}),
    });
    CDlgMgtData dialog(nullptr, mainWindow.Handle());
    dialog.DeviceIdBox()->setChecked(false);
    dialog.TimeBox()->setChecked(true);
    dialog.StartTimeEdit()->setDateTime(QDateTime(QDate(2026, 3, 14), QTime(0, 0, 0)));
    dialog.EndTimeEdit()->setDateTime(QDateTime(QDate(2026, 3, 14), QTime(23, 59, 59)));
    dialog.Query();
    ok = Shoot(dialog, prefix + "data-" + language + "-text.png") && ok;
    dialog.DeviceIdBox()->setChecked(true);
    dialog.DeviceIdEdit()->setText("0000ABCD");
    dialog.HexBox()->setChecked(true);
    dialog.Query();
    ok = Shoot(dialog, prefix + "data-" + language + "-hex.png") && ok;
  }
  {
    // One pair alive and one whose holder is gone, as after a restart.
    const QString setupc = QString::fromStdString(CDlgMgtVirtualCom::DefaultSetupcPath());
    for (const char* name : {"COM7", "COM9"})
      QProcess::execute(setupc, {"install", QString("PortName=%1").arg(name), QString("PortName=%1_FF").arg(name)});
    for (const CPairRecord& record : CPairRecord::Scan(PortDirectory()))
      if (record.nameA == "COM9") ::kill(record.pid, SIGKILL);
    QThread::msleep(200);
    CDlgMgtVirtualCom dialog(nullptr, mainWindow.Handle());
    dialog.PairList()->selectRow(0);
    ok = Shoot(dialog, prefix + "virtualcom-" + language + ".png") && ok;
    QProcess::execute(setupc, {"remove", "PortName=COM7"});
    QProcess::execute(setupc, {"remove", "PortName=COM9"});
  }
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  const std::string folder = std::filesystem::absolute(argv[1]).string();
  if (argc >= 3) return Render(1, argv, folder, argv[2]);
  std::filesystem::create_directories(folder);
  bool ok = true;
  for (const char* language : {"zh", "en"}) ok = RunLanguage(argv[0], folder, language) && ok;
  return ok ? 0 : 1;
}
