// Screenshots of the device management dialog, the tunnel editor (add and modify) and the
// traffic monitor with live traffic both ways, in Chinese and in English. Run with the
// output folder as argument; it runs itself once per language (the language is chosen
// once per process), each time in a fresh application directory with the real service,
// devices simulated by vantrel-devsim and a local program on the far ends of the pairs.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QProcess>
#include <QPushButton>
#include <QCheckBox>
#include <QTableView>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "FreePort.h"
#include "QtWaitFor.h"
#include "TempDir.h"
#include "core/CTunnelTable.h"
#include "core/StartupConfiguration.h"
#include "model/SettingInfo.h"
#include "platform/CNullModemPair.h"
#include "resources/CResourceStrings.h"
#include "service/CDlgSimulation.h"
#include "storage/CAccessInterface.h"
#include "ui/CDlgAddModifyDevice.h"
#include "ui/CDlgMgtDevice.h"
#include "ui/CDlgMonitor.h"
#include "ui/CQtMessagePump.h"
#include "ui/CLimitEdit.h"
#include "ui/CMonitorRowModel.h"

namespace {

using Clock = std::chrono::steady_clock;

// Lets layout, painting and the window manager settle.
void Settle() {
  const Clock::time_point until = Clock::now() + std::chrono::milliseconds(300);
  QtWaitFor([&] { return Clock::now() >= until; });
}

bool Save(QWidget& window, const QString& folder, const QString& name, const char* language) {
  Settle();
  const QString path = folder + "/devices-" + name.arg(language) + ".png";
  if (!window.grab().save(path)) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return false;
  }
  std::printf("wrote %s\n", qPrintable(path));
  return true;
}

// The local serial software on the far end of a pair.
class LocalProgram {
 public:
  explicit LocalProgram(const std::string& path) : m_fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
    termios line{};
    if (m_fd >= 0 && ::tcgetattr(m_fd, &line) == 0) {
      ::cfmakeraw(&line);
      ::tcsetattr(m_fd, TCSANOW, &line);
    }
  }
  ~LocalProgram() {
    if (m_fd >= 0) ::close(m_fd);
  }
  LocalProgram(const LocalProgram&) = delete;
  LocalProgram& operator=(const LocalProgram&) = delete;

  bool Write(const std::string& text) { return ::write(m_fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()); }
  // Takes what the devices sent, as the program would.
  void Drain() {
    char buffer[4096];
    while (::read(m_fd, buffer, sizeof buffer) > 0) {
    }
  }
  bool IsOpen() const { return m_fd >= 0; }

 private:
  int m_fd;
};

int RunScene(const QString& folder, bool english) {
  TempDir appDir("VANTREL_APP_DIR");
  TempDir portDir("VANTREL_PORT_DIR");
  // A LanguageCfg.ini elsewhere must not decide the language.
  QDir::setCurrent(QString::fromStdString(appDir.Path()));
  appDir.Write(CResourceStrings::kLanguageConfigFile, std::string("[CONFIG]\nLANGUAGE=") + (english ? "2" : "1") + "\n");
  CResourceStrings::Instance().SelectLanguage();
  const char* language = english ? "en" : "zh";

  CNullModemPair pairs[2];
  const char* names[2][2] = {{"COM3", "COM3_FF"}, {"COM4", "COM4_FF"}};
  for (int i = 0; i < 2; ++i) {
    if (!pairs[i].Create() || !pairs[i].Link(portDir.Path(), names[i][0], names[i][1])) {
      std::fprintf(stderr, "cannot make a port pair\n");
      return 1;
    }
  }
  const std::uint16_t port = FreePort();
  {
    CAccessInterface store;
    if (store.OpenDatabase(DATABASE_FILE_NAME) != 1) return 1;
    store.SetSetting("LocalIp", "127.0.0.1");
    store.SetSetting("LocalPort", std::to_string(port));
    const TunnelInfo tunnels[] = {
        {"00000001", "COM3", "9600", "8", "1", "None", english ? "Water meter, pump house" : "水表 泵房"},
        {"00000002", "COM3", "9600", "8", "1", "None", english ? "Water meter, tank" : "水表 水箱"},
        {"0000000A", "COM4", "115200", "8", "1", "Even", english ? "Power meter" : "电表"},
        {"01ABCDEF", "COM4", "115200", "8", "1", "Even", ""},
        // No pair behind COM6: its device's blocks fail, in their own colour.
        {"0000000B", "COM6", "9600", "8", "1", "None", english ? "Gas meter" : "燃气表"},
    };
    for (const TunnelInfo& tunnel : tunnels) store.AddTunnel(tunnel);
    // The editor's modify shot shows a bound device; the simulator below satisfies it.
    store.SaveBinding({"00000002", "13800000000", "127.0.0.0/8,203.0.113.7/32"});
  }
  std::string failure;
  if (!LoadStartupConfiguration(failure)) {
    std::fprintf(stderr, "%s\n", failure.c_str());
    return 1;
  }
  SettingInfo settings = CurrentSettings();
  settings.DelayComRead = 0;
  ReplaceSettings(settings);

  {
    CDlgMgtDevice management(nullptr, 0);
    management.show();
    management.List()->selectRow(1);
    if (!Save(management, folder, "mgt-%1", language)) return 1;
    management.OnAdd();
    management.Editor().IdField()->setFocus();
    if (!Save(management.Editor(), folder, "editor-%1-add", language)) return 1;
    management.Editor().hide();
    management.OnModify();
    if (!Save(management.Editor(), folder, "editor-%1-modify", language)) return 1;
  }

  CQtMessagePump pump;
  CDlgSimulation simulation;
  CDlgMonitor monitor(nullptr, simulation);
  monitor.ShowOver(nullptr);
  monitor.StartStopButton()->click();
  simulation.StartService();
  if (!QtWaitFor([&] { return simulation.Accepting(); })) {
    std::fprintf(stderr, "the service did not start: %s\n", simulation.LastStartFailure().c_str());
    return 1;
  }
  LocalProgram water(portDir.File("COM3_FF"));
  LocalProgram power(portDir.File("COM4_FF"));
  const QString devsim = QCoreApplication::applicationDirPath() + "/vantrel-devsim";
  const QString portText = QString::number(port);
  QProcess meters, powerMeter, gasMeter;
  meters.start(devsim, {"--port", portText, "--first-id", "00000001", "--devices", "2", "--text", "T=21.5C;L=3.20m",
                        "--count", "6", "--rate", "4", "--heartbeat", "1", "--show", "none", "--duration", "20"});
  powerMeter.start(devsim, {"--port", portText, "--first-id", "0000000A", "--hex", "01 03 02 00 64 B9 AF", "--count",
                            "6", "--rate", "4", "--show", "none", "--duration", "20"});
  gasMeter.start(devsim, {"--port", portText, "--first-id", "0000000B", "--text", "G=1042.7", "--count", "2",
                          "--rate", "1", "--show", "none", "--duration", "20"});
  for (int i = 0; i < 6; ++i) {
    QtWaitFor([&] { return monitor.TcpToCom().rowCount() >= 2 * (i + 1); });
    water.Write("READ\r\n");
    power.Write(std::string("\x01\x03\x00\x00\x00\x01\x84\x0A", 8));
    water.Drain();
    power.Drain();
  }
  const bool traffic = QtWaitFor([&] {
    int failed = 0;
    for (int row = 0; row < monitor.TcpToCom().rowCount(); ++row)
      failed += monitor.TcpToCom().index(row, CMonitorRowModel::Channel).data().toString().contains(QStringLiteral("0000000B"));
    return failed >= 2 && monitor.TcpToCom().rowCount() >= 16 && monitor.ComToTcp().rowCount() >= 12;
  });
  if (!traffic) std::fprintf(stderr, "not all traffic arrived in time\n");
  const bool saved = Save(monitor, folder, "monitor-%1", language) &&
                     (monitor.HexBox()->click(), Save(monitor, folder, "monitor-%1-hex", language)) &&
                     (monitor.TcpToComList()->selectRow(1), Save(monitor, folder, "monitor-%1-detail", language));
  for (QProcess* program : {&meters, &powerMeter, &gasMeter}) {
    program->kill();
    program->waitForFinished();
  }
  simulation.StopService();
  return saved && traffic ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3) {
    QApplication app(argc, argv);
    return RunScene(QString::fromLocal8Bit(argv[1]), std::string(argv[2]) == "en");
  }
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT-FOLDER\n", argv[0]);
    return 2;
  }
  QDir().mkpath(QString::fromLocal8Bit(argv[1]));
  QCoreApplication app(argc, argv);
  int failures = 0;
  for (const char* language : {"zh", "en"}) {
    QProcess scene;
    scene.setProcessChannelMode(QProcess::ForwardedChannels);
    scene.start(QCoreApplication::applicationFilePath(), {QString::fromLocal8Bit(argv[1]), language});
    if (!scene.waitForFinished(120000) || scene.exitCode() != 0) ++failures;
  }
  return failures == 0 ? 0 : 1;
}
