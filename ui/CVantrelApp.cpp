#include "ui/CVantrelApp.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QSystemTrayIcon>

#include <signal.h>

#include <cstdio>
#include <memory>

#include "VantrelVersion.h"
#include "core/CDataCenter.h"
#include "core/StartupConfiguration.h"
#include "platform/AppPaths.h"
#include "platform/CMessageTarget.h"
#include "platform/CNamedEventHost.h"
#include "platform/CSignalWatcher.h"
#include "platform/DirectoryAccess.h"
#include "platform/DebugSink.h"
#include "platform/Notice.h"
#include "resources/CResourceStrings.h"
#include "resources/ResourceIds.h"
#include "service/CDlgSimulation.h"
#include "ui/AppIcons.h"
#include "ui/CMessageBoxCustom.h"
#include "ui/CNoticeBoxes.h"
#include "ui/CVantrelDlg.h"

namespace {

// To the program's own target, from the signal thread: end as the tray's Exit does, without
// its question.
constexpr unsigned WM_STOP_PROGRAM = WM_USER + 400;

void Problem(const std::string& text) { std::fprintf(stderr, "vantrel: %s\n", text.c_str()); }

// Where a language switch writes: the file the language was read from, else the working
// directory's, where the next start looks first.
std::string LanguageFileToWrite() {
  const std::string read = CResourceStrings::LanguageConfigPath();
  return read.empty() ? QDir::current().absoluteFilePath(CResourceStrings::kLanguageConfigFile).toStdString() : read;
}

}  // namespace

CVantrelApp::CVantrelApp(int& argc, char** argv) : m_argc(argc), m_argv(argv) {}

CVantrelApp::DialogCloser::DialogCloser(CVantrelApp& app, QObject& application) : m_app(app) {
  std::lock_guard lock(m_app.m_dialogsMutex);
  m_app.m_dialogsContext = &application;
}

CVantrelApp::DialogCloser::~DialogCloser() {
  std::lock_guard lock(m_app.m_dialogsMutex);
  m_app.m_dialogsContext = nullptr;
}

void CVantrelApp::CloseBoxes() {
  std::lock_guard lock(m_dialogsMutex);
  if (m_dialogsContext == nullptr) return;
  QMetaObject::invokeMethod(
      m_dialogsContext,
      [] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
          auto* dialog = qobject_cast<QDialog*>(widget);
          if (dialog != nullptr && dialog->isVisible()) dialog->reject();
        }
      },
      Qt::QueuedConnection);
}

int CVantrelApp::Run() {
  // Before Qt starts threads of its own, which would otherwise take the signals.
  const CSignalWatcher signalWatcher({SIGTERM, SIGINT}, [this](int) {
    m_stopRequested = true;
    CMessageTarget::Post(m_stopTarget, WM_STOP_PROGRAM, 0, 0);
    CloseBoxes();
    return true;
  });
  const int code = HandleCommandLine();
  return code >= 0 ? code : RunWindow();
}

int CVantrelApp::HandleCommandLine() {
  // A core application only: --help, --version and --signal need no display.
  QCoreApplication core(m_argc, m_argv);
  QCoreApplication::setApplicationName(QStringLiteral("vantrel"));
  QCoreApplication::setApplicationVersion(QString::fromLatin1(kVantrelVersion));
  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral(
      "Vantrel: bridges remote serial devices (TCP clients) to local serial ports, with a window.\n"
      "It runs the service with the tunnels and settings of Info.db in the application directory\n"
      "(--app-dir, VANTREL_APP_DIR, else when installed by the package a folder of the user,\n"
      "$XDG_DATA_HOME/vantrel or ~/.local/share/vantrel, else the program's directory);\n"
      "one instance per application directory.\n"
      "Language: LanguageCfg.ini ([CONFIG] LANGUAGE=1 Chinese, 2 English) in the working directory,\n"
      "the application directory or beside the program; Chinese without one."));
  const QCommandLineOption help = parser.addHelpOption();
  const QCommandLineOption version = parser.addVersionOption();
  const QCommandLineOption debug(QStringLiteral("debug"), QStringLiteral("Write diagnostic lines to stderr (as VANTREL_DEBUG=1 does)."));
  const QCommandLineOption signal(
      QStringLiteral("signal"),
      QStringLiteral("Signal the instance running with this application directory and exit: SockoraServerShutdown "
                     "stops its service, SockoraServerPauseResume stops or resumes accepting new devices."),
      QStringLiteral("NAME"));
  const QCommandLineOption appDir(
      QStringLiteral("app-dir"),
      QStringLiteral("Use DIR as the application directory (Info.db, Sockora.log, ports), ahead of VANTREL_APP_DIR."),
      QStringLiteral("DIR"));
  parser.addOption(debug);
  parser.addOption(signal);
  parser.addOption(appDir);
  if (!parser.parse(QCoreApplication::arguments())) {
    Problem(parser.errorText().toStdString() + "\nRun with --help for the options.");
    return 2;
  }
  if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
    std::fputs(parser.helpText().toLocal8Bit().constData(), stdout);
    return 0;
  }
  if (parser.isSet(version)) {
    std::printf("vantrel %s\n", kVantrelVersion);
    return 0;
  }
  if (!parser.positionalArguments().isEmpty()) {
    Problem("unexpected argument " + parser.positionalArguments().first().toStdString() +
            "\nRun with --help for the options.");
    return 2;
  }
  if (parser.isSet(debug)) EnableDebugSink(true);
  if (parser.isSet(appDir) && !QFileInfo(parser.value(appDir)).isDir()) {
    Problem("--app-dir: " + parser.value(appDir).toStdString() + " is no directory");
    return 2;
  }
  if (std::string problem; !SetUpApplicationDirectory(AppRole::Desktop, parser.value(appDir).toStdString(),
                                                      UsedFolder::Application, problem)) {
    Problem(problem);
    return 1;
  }
  if (parser.isSet(signal)) {
    const std::string name = parser.value(signal).toStdString();
    if (name != CDlgSimulation::kShutdownEventName && name != CDlgSimulation::kPauseResumeEventName) {
      Problem("--signal: " + name + " is none of " + CDlgSimulation::kShutdownEventName + ", " +
              CDlgSimulation::kPauseResumeEventName);
      return 2;
    }
    std::string error;
    if (CNamedEventHost::Signal(ApplicationDirectory(), name, error) != 0) {
      Problem(error);
      return 1;
    }
    return 0;
  }
  return -1;
}

int CVantrelApp::RunWindow() {
  QApplication application(m_argc, m_argv);
  QApplication::setApplicationName(QStringLiteral("vantrel"));
  QApplication::setWindowIcon(AppIcons::Application());
  // The window hides to the tray and message boxes come and go: the program ends when
  // the main window's run ends, not when its last window closes.
  QApplication::setQuitOnLastWindowClosed(false);
  const DialogCloser dialogCloser(*this, application);
  CNoticeBoxes notices;

  CResourceStrings::Instance().SelectLanguage(CResourceStrings::kChinese);
  auto namedEvents = std::make_unique<CNamedEventHost>(ApplicationDirectory());
  if (std::string error; !namedEvents->Listen(error)) {
    Problem(error);
    // On the offscreen platform nobody could see the box, let alone close it.
    if (QGuiApplication::platformName() != QStringLiteral("offscreen") && !m_stopRequested)
      CustomMessageBox(nullptr, error, "", 0);
    return 1;
  }
  if (std::string failure; !LoadStartupConfiguration(failure)) {
    Problem(failure);
    if (!m_stopRequested) ShowNotice(failure, "", 0);
    return 1;
  }

  bool restart = false;
  CVantrelDlg::Options options;
  options.trayAvailable = QSystemTrayIcon::isSystemTrayAvailable();
  options.languageFile = LanguageFileToWrite();
  options.placeFile =
      (QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/vantrel/window.ini"))
          .toStdString();
  // Only once this instance has ended: until then it holds the instance lock and the port.
  options.restart = [&restart] { return restart = true; };
  auto window = std::make_unique<CVantrelDlg>(options);
  window->Simulation().RegisterNamedEvents(*namedEvents);
  notices.SetOwner(window.get());
  QObject::connect(window.get(), &CVantrelDlg::Ended, &application, &QApplication::exit);
  const CMessageTarget stop([&window](unsigned message, WPARAM, LPARAM) -> LRESULT {
    if (message == WM_STOP_PROGRAM) window->Quit();
    return 0;
  });
  m_stopTarget = stop.Handle();
  int code = 0;
  if (!m_stopRequested) {
    window->show();
    code = QApplication::exec();
  }
  m_stopTarget = 0;

  // The events belong to the window's service host.
  namedEvents.reset();
  window.reset();
  // Here, not in a static destructor at exit: the data center's threads use other statics.
  CDataCenter::Instance().Shutdown();
  if (restart) {
    const QString program = QApplication::applicationFilePath();
    if (!QProcess::startDetached(program, QApplication::arguments().mid(1), QDir::currentPath())) {
      Problem("cannot start " + program.toStdString() + " again");
      return 1;
    }
  }
  return code;
}
