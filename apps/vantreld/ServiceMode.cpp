#include "ServiceMode.h"

#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "CConsoleEvents.h"
#include "CConsoleMonitor.h"
#include "CServiceManagerLink.h"
#include "CServiceConsole.h"
#include "ListenerLine.h"
#include "ServiceLanguage.h"
#include "core/CDataCenter.h"
#include "core/CTunnelTable.h"
#include "core/StartupConfiguration.h"
#include "model/WindowMessages.h"
#include "platform/AppPaths.h"
#include "platform/CMessageQueue.h"
#include "platform/CNamedEventHost.h"
#include "platform/CSignalWatcher.h"
#include "platform/FirstIPv4Address.h"
#include "platform/JournalStream.h"
#include "resources/CResourceStrings.h"
#include "resources/ResourceIds.h"
#include "service/CDlgSimulation.h"

namespace {

constexpr unsigned kReopenPeriodMs = 10000;
// What the unit asks for; suggested when the configured tunnels need more than there is.
constexpr rlim_t kWantedOpenFiles = 65536;
// A tunnel's device connection and the four descriptors of its port when no other tunnel
// shares it; and the service's own (database, logs, listener, event queues, devices that
// have not registered yet), with room to spare.
constexpr rlim_t kFilesPerTunnel = 5;
constexpr rlim_t kServiceFiles = 256;
// To the main window, from the signal thread: reload the configuration.
constexpr unsigned WM_RELOAD = WM_USER + 400;

// Raises the soft limit of open files to the hard one; returns the limit then in effect
// (RLIM_INFINITY when it cannot be read, after saying so).
rlim_t RaiseOpenFileLimit(const CServiceConsole& console) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    console.Warning(std::string("Cannot read the open-file limit: ") + std::strerror(errno));
    return RLIM_INFINITY;
  }
  if (limit.rlim_cur < limit.rlim_max) {
    const rlim_t soft = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
      console.Warning("Cannot raise the open-file limit from " + std::to_string(soft) + ": " + std::strerror(errno));
      return soft;
    }
  }
  return limit.rlim_cur;
}

// A note when the limit is below what the loaded tunnels may need.
void NoteOpenFileLimit(const CServiceConsole& console, rlim_t openFiles) {
  const rlim_t tunnels = CTunnelTable::Instance().Count();
  const rlim_t needed = kFilesPerTunnel * tunnels + kServiceFiles;
  if (openFiles == RLIM_INFINITY || openFiles >= needed) return;
  console.Warning("Note: at most " + std::to_string(openFiles) + " open files, fewer than the " +
                  std::to_string(needed) + " that " + std::to_string(tunnels) +
                  " tunnels may need (a device connection and its port's descriptors each, and " +
                  std::to_string(kServiceFiles) + " for the service); raise the hard limit (LimitNOFILE=" +
                  std::to_string(std::max(needed, kWantedOpenFiles)) + " in the systemd unit)");
}

void StartFailed(const std::string& reason) {
  std::fputs(ForJournal(stderr, LinePriority::Error, "vantreld: the service could not start: " + reason + "\n").c_str(),
             stderr);
}

// Runs the service until a signal or its own end; returns the exit code.
// SIGHUP goes to `reloadTarget` (0 ignores it).
int RunUntilStopped(const ServiceOptions& options, const CServiceConsole& console, rlim_t openFiles,
                    std::atomic<TargetHandle>& reloadTarget, CNamedEventHost& namedEvents) {
  CConsoleMonitor monitor(options.hex);
  CConsoleEvents events(console, kReopenPeriodMs);
  CDlgSimulation simulation(kReopenPeriodMs);
  CServiceManagerLink serviceManager(simulation.Status());
  std::shared_ptr<CMessageQueue> queue = CMessageQueue::ForThisThread();
  CMessageTarget mainWindow([&](unsigned message, WPARAM wParam, LPARAM lParam) -> LRESULT {
    if (message == WM_STATUS_TEXT) {
      console.Status(reinterpret_cast<const char*>(lParam));
    } else if (message == WM_LISTENER_STATE) {
      const ListenerState& state = *reinterpret_cast<const ListenerState*>(lParam);
      console.Status(ListenerLine(state, FirstIPv4Address()));
      if (state.What == ListenerState::Change::Started) serviceManager.Ready();
    } else if (message == WM_RELOAD) {
      simulation.ReloadConfiguration();
    } else if (message == WM_CONFIGURATION_RELOADED) {
      // After SIGHUP, `vantreld reload` or a reload the desktop program asked for.
      const char* outcome = reinterpret_cast<const char*>(lParam);
      if (wParam == 0) {
        console.Problem(std::string("Reload refused, the service keeps its configuration: ") + outcome);
        return 0;
      }
      console.Status(std::string("Reloaded the tunnels and settings: ") + outcome);
      NoteOpenFileLimit(console, openFiles);
    } else if (message == WM_COMMAND && wParam == ID_SIM_STOP) {
      // The service ended by itself: a failed start or a shutdown from another process.
      simulation.StopService();
      queue->Quit(simulation.LastStartFailure().empty() ? 0 : 1);
    }
    return 0;
  });
  simulation.SetMainWindow(mainWindow.Handle());
  simulation.RegisterNamedEvents(namedEvents);
  if (options.monitor) simulation.DeviceList().SetMonitor(&monitor);
  simulation.DeviceList().SetEventObserver(&events);
  reloadTarget = mainWindow.Handle();

  simulation.StartService();
  const int code = queue->Run();
  reloadTarget = 0;
  simulation.StopService();
  if (code != 0) StartFailed(simulation.LastStartFailure());
  return code;
}

}  // namespace

int RunService(const ServiceOptions& options) {
  std::shared_ptr<CMessageQueue> queue = CMessageQueue::ForThisThread();
  std::atomic<TargetHandle> reloadTarget{0};
  // SIGTERM and SIGINT quit the main thread's message loop; SIGHUP asks for a reload.
  const CSignalWatcher signals({SIGTERM, SIGINT, SIGHUP}, [&queue, &reloadTarget](int signal) {
    if (signal == SIGHUP) {
      CMessageTarget::Post(reloadTarget, WM_RELOAD, 0, 0);
      return true;
    }
    queue->Quit(0);
    return false;
  });
  const CServiceConsole console(options.quiet);
  const rlim_t openFiles = RaiseOpenFileLimit(console);

  CResourceStrings& strings = CResourceStrings::Instance();
  if (strings.SelectLanguage(LocaleLanguage()) == CResourceStrings::kEnglish && !strings.ModuleLoaded()) {
    console.Warning("The English texts could not be loaded from " + CResourceStrings::EnglishModulePath() +
                    " (see the line above); the status lines stay Chinese. English.so belongs in the application "
                    "directory or beside vantreld.");
  }
  std::string failure;
  if (!LoadStartupConfiguration(failure)) {
    StartFailed(failure);
    return 1;
  }
  NoteOpenFileLimit(console, openFiles);

  CNamedEventHost namedEvents(ApplicationDirectory());
  std::string error;
  if (!namedEvents.Listen(error)) {
    std::fputs(ForJournal(stderr, LinePriority::Error, "vantreld: " + error + "\n").c_str(), stderr);
    return 1;
  }

  const int code = RunUntilStopped(options, console, openFiles, reloadTarget, namedEvents);
  // Here, not in a static destructor at exit: the data center's threads use other statics.
  CDataCenter::Instance().Shutdown();
  return code;
}
