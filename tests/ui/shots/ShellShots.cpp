// Screenshots of the main window (stopped and running) and the About box, in Chinese and
// in English: ui_shots_shell OUTPUT-FOLDER. Each language runs in a process of its own
// (the texts are chosen once per process), with its own application directory, the real
// service, ptys for the ports and vantrel-devsim for the devices.
#include <QApplication>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QDir>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QThread>
#include <QTimer>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "TempDir.h"
#include "core/CTunnelTable.h"
#include "core/StartupConfiguration.h"
#include "platform/AppPaths.h"
#include "platform/CNullModemPair.h"
#include "resources/CResourceStrings.h"
#include "resources/ResourceIds.h"
#include "service/CDeviceList.h"
#include "storage/CAccessInterface.h"
#include "ui/CAboutDlg.h"
#include "ui/CDeviceListCtrl.h"
#include "ui/CNoticeBoxes.h"
#include "ui/CVantrelDlg.h"

namespace {

constexpr std::uint16_t kPort = 47531;
constexpr int kBulkDevices = 195;

struct Tunnel {
  const char* id;
  const char* port;
  const char* baud;
  const char* noteZh;
  const char* noteEn;
  bool paired;  // a pty pair stands behind the port
};

constexpr Tunnel kTunnels[] = {
    {"00000001", "COM1", "9600", "1号水泵", "Pump 1", true},
    {"00000002", "COM2", "9600", "2号水泵", "Pump 2", true},
    {"00000003", "COM3", "19200", "流量计", "Flow meter", true},
    {"00000004", "COM4", "115200", "温度传感器", "Temperature", false},
    {"0000000A", "COM5", "38400", "备用", "Spare", true},
};

std::string Here() { return std::filesystem::read_symlink("/proc/self/exe").parent_path().string(); }

// Runs a program to its end, its standard output dropped when `quiet`; its exit code, or -1.
int RunProgram(std::vector<std::string> words, bool quiet = true) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (quiet) dup2(open("/dev/null", O_WRONLY), 1);
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t StartProgram(std::vector<std::string> words) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// Runs the event loop until `condition` or 20 s; false on the bound.
template <typename Condition>
bool Settle(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(5);
  }
  // The repaint that follows the last change.
  for (int i = 0; i < 10; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  return true;
}

bool Save(QWidget& widget, const std::string& folder, const std::string& name) {
  const std::string path = folder + "/shell-" + name + ".png";
  if (!widget.grab().save(QString::fromStdString(path))) {
    std::fprintf(stderr, "ui_shots_shell: cannot write %s\n", path.c_str());
    return false;
  }
  std::printf("%s\n", path.c_str());
  return true;
}

// The context menu of the list's first row, drawn over the window where the screen shows it
// (a menu is a window of its own, which the window's picture lacks).
bool SaveWithRowMenu(QWidget& window, CDeviceListCtrl& list, const std::string& folder, const std::string& name) {
  const QPoint at = list.viewport()->mapToGlobal(list.visualRect(list.model()->index(0, 0)).center());
  bool saved = false;
  // Runs inside the menu's own loop.
  QTimer::singleShot(300, [&] {
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (menu == nullptr) {
      std::fprintf(stderr, "ui_shots_shell: the row's menu did not open\n");
      return;
    }
    QPixmap shot = window.grab();
    QPainter painter(&shot);
    painter.drawPixmap(window.mapFromGlobal(menu->pos()), menu->grab());
    painter.end();
    const std::string path = folder + "/shell-" + name + ".png";
    saved = shot.save(QString::fromStdString(path));
    std::printf("%s\n", path.c_str());
    menu->close();
  });
  QContextMenuEvent event(QContextMenuEvent::Mouse, list.viewport()->mapFromGlobal(at), at);
  QApplication::sendEvent(list.viewport(), &event);
  return saved;
}

// The local program's end of a pair, raw.
int OpenLocalEnd(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios raw{};
  if (fd >= 0 && tcgetattr(fd, &raw) == 0) {
    cfmakeraw(&raw);
    tcsetattr(fd, TCSANOW, &raw);
  }
  return fd;
}

int Scene(const std::string& folder, const std::string& language, int argc, char** argv) {
  const TempDir appDir("VANTREL_APP_DIR");
  const std::string& dir = appDir.Path();
  const std::string ports = dir + "/ports";
  std::filesystem::create_directories(ports);
  setenv("VANTREL_PORT_DIR", ports.c_str(), 1);
  if (chdir(dir.c_str()) != 0) return 1;
  const bool english = language == "en";
  std::ofstream(dir + "/LanguageCfg.ini") << "[CONFIG]\nLANGUAGE=" << (english ? 2 : 1) << "\n";

  const std::string vantreld = Here() + "/vantreld";
  if (RunProgram({vantreld, "settings", "set", "--ip", "127.0.0.1", "--port", std::to_string(kPort)}) != 0) return 1;
  std::vector<std::unique_ptr<CNullModemPair>> pairs;
  std::vector<int> localEnds;
  for (const Tunnel& tunnel : kTunnels) {
    if (RunProgram({vantreld, "tunnel", "add", tunnel.id, "--port", tunnel.port, "--baud", tunnel.baud, "--note",
                    english ? tunnel.noteEn : tunnel.noteZh}) != 0)
      return 1;
    if (!tunnel.paired) continue;
    auto pair = std::make_unique<CNullModemPair>();
    if (!pair->Create() || !pair->Link(ports, tunnel.port, std::string(tunnel.port) + "_FF")) return 1;
    pairs.push_back(std::move(pair));
    localEnds.push_back(OpenLocalEnd(ports + "/" + tunnel.port + "_FF"));
  }

  // An operator's day: 200 devices, most of them on ports this computer lacks.
  {
    CAccessInterface store;
    if (store.OpenDatabase(DATABASE_FILE_NAME) != 1) return 1;
    for (int i = 0; i < kBulkDevices; ++i) {
      char id[9];
      std::snprintf(id, sizeof id, "%08X", 0x100 + i);
      const std::string note = (english ? "Meter " : "表计 ") + std::to_string(i + 1);
      if (store.AddTunnel({id, "COM" + std::to_string(10 + i % 20), "9600", "8", "1", "None", note}) != 1) return 1;
    }
  }

  QApplication application(argc, argv);
  CNoticeBoxes notices;
  CResourceStrings::Instance().SelectLanguage(CResourceStrings::kChinese);
  if (std::string failure; !LoadStartupConfiguration(failure)) {
    std::fprintf(stderr, "ui_shots_shell: %s\n", failure.c_str());
    return 1;
  }
  CVantrelDlg::Options options;
  options.languageFile = dir + "/LanguageCfg.ini";
  auto window = std::make_unique<CVantrelDlg>(options);
  window->show();
  bool saved = Settle([&] { return window->isVisible(); }) && Save(*window, folder, "main-" + language + "-stopped");

  {
    CAboutDlg about(window.get());
    about.show();
    saved = Settle([&] { return about.isVisible(); }) && Save(about, folder, "about-" + language) && saved;
  }

  window->OnCommand(ID_SIM_START);
  const QString started = QString::fromStdString(CResourceStrings::Instance().LoadString(IDS_SERVICE_STARTED));
  const pid_t devsim = StartProgram({Here() + "/vantrel-devsim", "--port", std::to_string(kPort), "--devices", "3",
                                     "--first-id", "00000001", "--text", "reading 21.5", "--count", "4", "--rate",
                                     "10", "--heartbeat", "1", "--echo", "--show", "none", "--duration", "60"});
  // Most of the bulk devices online, and one that has no tunnel.
  const pid_t bulk = StartProgram({Here() + "/vantrel-devsim", "--port", std::to_string(kPort), "--devices", "150",
                                   "--first-id", "00000100", "--heartbeat", "5", "--show", "none", "--duration", "60"});
  const pid_t stranger = StartProgram({Here() + "/vantrel-devsim", "--port", std::to_string(kPort), "--first-id",
                                       "00000F00", "--phone", "13900000000", "--heartbeat", "5", "--show", "none",
                                       "--duration", "60"});
  const QAbstractItemModel& model = *window->DeviceList().model();
  auto cell = [&](int row, int column) { return model.data(model.index(row, column)).toString(); };
  const QString connected = QString::fromStdString(CResourceStrings::Instance().LoadString(IDS_LINK_CONNECTED));
  bool running = Settle([&] {
    return model.rowCount() == 5 + kBulkDevices + 1 && cell(0, CDeviceList::LinkState) == connected &&
           cell(2, CDeviceList::LinkState) == connected && cell(2, CDeviceList::BytesIn) == QStringLiteral("48");
  });
  const std::string request = "status?\r\n";
  for (int fd : localEnds)
    if (fd >= 0 && write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) running = false;
  running = running && Settle([&] { return !cell(0, CDeviceList::BytesOut).isEmpty() && !cell(2, CDeviceList::BytesOut).isEmpty(); });
  window->SetStatusText(0, started);
  if (!running) std::fprintf(stderr, "ui_shots_shell: the devices did not show up in time\n");
  saved = running && Settle([] { return true; }) && Save(*window, folder, "main-" + language + "-running") && saved;

  CDeviceListCtrl& list = window->DeviceList();
  list.sortByColumn(CDeviceList::BytesIn, Qt::DescendingOrder);
  saved = Settle([] { return true; }) && Save(*window, folder, "main-" + language + "-sorted") && saved;
  list.sortByColumn(CDeviceList::DeviceId, Qt::AscendingOrder);
  window->ProblemsBox()->setChecked(true);
  saved = Settle([] { return true; }) && Save(*window, folder, "main-" + language + "-problems") && saved;
  window->SearchEdit()->setText(QStringLiteral("0F0"));
  list.selectRow(0);
  saved = Settle([] { return true; }) && Save(*window, folder, "main-" + language + "-unknown") && saved;
  saved = SaveWithRowMenu(*window, list, folder, "main-" + language + "-add-tunnel") && saved;

  for (const pid_t pid : {devsim, bulk, stranger}) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
  window.reset();
  for (int fd : localEnds)
    if (fd >= 0) close(fd);
  return saved ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: ui_shots_shell OUTPUT-FOLDER\n");
    return 2;
  }
  const std::string folder = std::filesystem::absolute(argv[1]).string();
  std::filesystem::create_directories(folder);
  if (argc >= 3) return Scene(folder, argv[2], argc, argv);
  int code = 0;
  for (const char* language : {"zh", "en"})
    if (RunProgram({"/proc/self/exe", folder, language}, false) != 0) code = 1;
  return code;
}
