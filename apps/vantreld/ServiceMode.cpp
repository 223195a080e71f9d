#include "ServiceMode.h"

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <thread>

#include "CConsoleMonitor.h"
#include "core/CDataCenter.h"
#include "model/LocalTimeText.h"
#include "service/CDlgSimulation.h"
#include "core/StartupConfiguration.h"
#include "model/WindowMessages.h"
#include "platform/AppPaths.h"
#include "platform/CMessageQueue.h"
#include "platform/CNamedEventHost.h"
#include "resources/CResourceStrings.h"
#include "resources/ResourceIds.h"

namespace {

// Turns SIGTERM and SIGINT into a quit of the main thread's message loop. The signals are
// blocked in every thread (they inherit the mask) and taken here with sigwait, so no
// handler runs at an arbitrary point.
class SignalWatcher {
 public:
  explicit SignalWatcher(std::shared_ptr<CMessageQueue> queue) : m_queue(std::move(queue)) {
    sigemptyset(&m_signals);
    sigaddset(&m_signals, SIGTERM);
    sigaddset(&m_signals, SIGINT);
    sigaddset(&m_signals, SIGUSR1);  // our own wake-up at the end
    pthread_sigmask(SIG_BLOCK, &m_signals, nullptr);
    m_thread = std::thread([this] {
      int received = 0;
      sigwait(&m_signals, &received);
      if (received != SIGUSR1) m_queue->Quit(0);
    });
  }

  ~SignalWatcher() {
    pthread_kill(m_thread.native_handle(), SIGUSR1);
    m_thread.join();
  }

 private:
  std::shared_ptr<CMessageQueue> m_queue;
  sigset_t m_signals;
  std::thread m_thread;
};

void PrintStatus(const char* text) {
  std::printf("%s  %s\n", LocalTimeText().c_str(), text);
  std::fflush(stdout);
}

// Runs the service until a signal or its own end; returns the exit code.
int RunUntilStopped(const ServiceOptions& options, CNamedEventHost& namedEvents) {
  CConsoleMonitor monitor(options.hex);
  CDlgSimulation simulation;
  std::shared_ptr<CMessageQueue> queue = CMessageQueue::ForThisThread();
  CMessageTarget mainWindow([&](unsigned message, WPARAM wParam, LPARAM lParam) -> LRESULT {
    if (message == WM_STATUS_TEXT) {
      PrintStatus(reinterpret_cast<const char*>(lParam));
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

  simulation.StartService();
  const int code = queue->Run();
  simulation.StopService();
  if (code != 0) std::fprintf(stderr, "vantreld: the service could not start: %s\n", simulation.LastStartFailure().c_str());
  return code;
}

}  // namespace

int RunService(const ServiceOptions& options) {
  std::shared_ptr<CMessageQueue> queue = CMessageQueue::ForThisThread();
  SignalWatcher signals(queue);

  CResourceStrings::Instance().SelectLanguage();
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

  const int code = RunUntilStopped(options, namedEvents);
  // Here, not in a static destructor at exit: the data center's threads use other statics.
  CDataCenter::Instance().Shutdown();
  return code;
}
