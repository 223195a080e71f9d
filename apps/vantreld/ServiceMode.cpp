#include "ServiceMode.h"

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "CConsoleEvents.h"
#include "CConsoleMonitor.h"
#include "CServiceConsole.h"
#include "ServiceLanguage.h"
#include "core/CDataCenter.h"
#include "core/StartupConfiguration.h"
#include "model/WindowMessages.h"
#include "platform/AppPaths.h"
#include "platform/CMessageQueue.h"
#include "platform/CNamedEventHost.h"
#include "resources/CResourceStrings.h"
#include "resources/ResourceIds.h"
#include "service/CDlgSimulation.h"

namespace {

constexpr unsigned kReopenPeriodMs = 10000;
// Thousands of devices need as many descriptors; the unit asks for this many.
constexpr rlim_t kWantedOpenFiles = 65536;
// To the main window, from the signal thread: reload the configuration.
constexpr unsigned WM_RELOAD = WM_USER + 400;

// Turns SIGTERM and SIGINT into a quit of the main thread's message loop and SIGHUP into a
// reload message to `reloadTarget`. The signals are blocked in every thread (they inherit
// the mask) and taken here with sigwait, so no handler runs at an arbitrary point.
class SignalWatcher {
 public:
  explicit SignalWatcher(std::shared_ptr<CMessageQueue> queue) : m_queue(std::move(queue)) {
    sigemptyset(&m_signals);
    sigaddset(&m_signals, SIGTERM);
    sigaddset(&m_signals, SIGINT);
    sigaddset(&m_signals, SIGHUP);
    sigaddset(&m_signals, SIGUSR1);  // our own wake-up at the end
    pthread_sigmask(SIG_BLOCK, &m_signals, nullptr);
    m_thread = std::thread([this] {
      for (;;) {
        int received = 0;
        if (sigwait(&m_signals, &received) != 0 || received == SIGUSR1) return;
        if (received == SIGHUP) {
          CMessageTarget::Post(m_reloadTarget, WM_RELOAD, 0, 0);
          continue;
        }
        m_queue->Quit(0);
        return;
      }
    });
  }

  ~SignalWatcher() {
    pthread_kill(m_thread.native_handle(), SIGUSR1);
    m_thread.join();
  }

  // Where SIGHUP goes; 0 ignores it. Any thread.
  void SetReloadTarget(TargetHandle target) { m_reloadTarget = target; }

 private:
  std::shared_ptr<CMessageQueue> m_queue;
  sigset_t m_signals;
  std::atomic<TargetHandle> m_reloadTarget{0};
  std::thread m_thread;
};

// Raises the soft limit of open files to the hard one; says so when even that is low.
void RaiseOpenFileLimit(const CServiceConsole& console) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    console.Problem(std::string("Cannot read the open-file limit: ") + std::strerror(errno));
    return;
  }
  if (limit.rlim_cur < limit.rlim_max) {
    const rlim_t soft = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
      console.Problem("Cannot raise the open-file limit from " + std::to_string(soft) + ": " + std::strerror(errno));
      return;
    }
  }
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < kWantedOpenFiles) {
    console.Status("Note: at most " + std::to_string(limit.rlim_max) +
                   " open files (one per device connection, port and database); for thousands of devices raise "
                   "the hard limit (LimitNOFILE=" + std::to_string(kWantedOpenFiles) + " in the systemd unit)");
  }
}

// The tunnels and settings of Info.db, read again for a restart. False, with the reason on
// stderr, when the database cannot be read: the service then keeps what it has.
bool ReloadConfiguration(const CServiceConsole& console) {
  std::string failure;
  if (LoadStartupConfiguration(failure)) return true;
  console.Problem(failure);
  return false;
}

// Runs the service until a signal or its own end; returns the exit code.
int RunUntilStopped(const ServiceOptions& options, const CServiceConsole& console, SignalWatcher& signals,
                    CNamedEventHost& namedEvents) {
  CConsoleMonitor monitor(options.hex);
  CConsoleEvents events(console, kReopenPeriodMs);
  CDlgSimulation simulation(kReopenPeriodMs);
  std::shared_ptr<CMessageQueue> queue = CMessageQueue::ForThisThread();
  CMessageTarget mainWindow([&](unsigned message, WPARAM wParam, LPARAM lParam) -> LRESULT {
    if (message == WM_STATUS_TEXT) {
      console.Status(reinterpret_cast<const char*>(lParam));
    } else if (message == WM_RELOAD) {
      console.Status("Reloading the tunnels and settings (SIGHUP)");
      if (!ReloadConfiguration(console)) {
        console.Problem("Reload failed: the service keeps running with the tunnels and settings it has");
        return 0;
      }
      // As the desktop program's Stop and Start do; devices reconnect to the new server.
      simulation.StopService();
      simulation.StartService();
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
  signals.SetReloadTarget(mainWindow.Handle());

  simulation.StartService();
  const int code = queue->Run();
  signals.SetReloadTarget(0);
  simulation.StopService();
  if (code != 0) std::fprintf(stderr, "vantreld: the service could not start: %s\n", simulation.LastStartFailure().c_str());
  return code;
}

}  // namespace

int RunService(const ServiceOptions& options) {
  std::shared_ptr<CMessageQueue> queue = CMessageQueue::ForThisThread();
  SignalWatcher signals(queue);
  const CServiceConsole console(options.quiet);
  RaiseOpenFileLimit(console);

  CResourceStrings& strings = CResourceStrings::Instance();
  if (strings.SelectLanguage(LocaleLanguage()) == CResourceStrings::kEnglish && !strings.ModuleLoaded()) {
    console.Problem("The English texts could not be loaded from " + CResourceStrings::EnglishModulePath() +
                    " (see the line above); the status lines stay Chinese. English.so belongs in the application "
                    "directory or beside vantreld.");
  }
  std::string failure;
  if (!LoadStartupConfiguration(failure)) {
    std::fprintf(stderr, "vantreld: the service could not start: %s\n", failure.c_str());
    return 1;
  }

  CNamedEventHost namedEvents(ApplicationDirectory());
  std::string error;
  if (!namedEvents.Listen(error)) {
    std::fprintf(stderr, "vantreld: %s\n", error.c_str());
    return 1;
  }

  const int code = RunUntilStopped(options, console, signals, namedEvents);
  // Here, not in a static destructor at exit: the data center's threads use other statics.
  CDataCenter::Instance().Shutdown();
  return code;
}
