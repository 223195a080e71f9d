#include "service/CDlgSimulation.h"

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "core/CDataCenter.h"
#include "core/CTunnelTable.h"
#include "core/StartupConfiguration.h"
#include "core/TlsListenerSettings.h"
#include "core/WriteWarning.h"
#include "model/ReportedItem.h"
#include "model/SettingInfo.h"
#include "model/WindowMessages.h"
#include "platform/CException.h"
#include "platform/CMessageQueue.h"
#include "platform/CNamedEventHost.h"
#include "platform/NameThisThread.h"
#include "platform/Notice.h"
#include "resources/CResourceStrings.h"
#include "resources/ResourceIds.h"
#include "service/ReloadSummary.h"
#include "service/MetricsPage.h"

// The outcome of a reload asked for from another thread. Kept alive by the report until
// handled, so a request that stopped waiting leaves nothing dangling.
struct ReloadRequest : std::enable_shared_from_this<ReloadRequest> {
  Sockora::Win32::CManualResetEvent Done;
  bool Applied = false;
  std::string Outcome;
};

using Sockora::Win32::CEvent;
using Sockora::Win32::CEventWaiter;
using Sockora::Win32::NameThisThread;
using Sockora::Win32::CException;
using Sockora::Win32::INFINITE;

namespace {

std::string Text(unsigned id) { return CResourceStrings::Instance().LoadString(id); }

// Where the devices' listener is: an empty LocalIp means no interface had an address, and
// the server listens on all.
std::string ListenIp(const SettingInfo& settings) { return settings.LocalIp.empty() ? "0.0.0.0" : settings.LocalIp; }

// A failure's text without the line end and blanks its source put after it.
void DropTrailingBlanks(std::string& text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
}

std::vector<ServiceSnapshot::Listener> Listeners(const ListenerState& state) {
  std::vector<ServiceSnapshot::Listener> listeners;
  if (state.Port != 0) listeners.push_back({state.Address, state.Port, false});
  if (state.TlsPort != 0) listeners.push_back({state.Address, state.TlsPort, true});
  return listeners;
}

// To the host's own window, from the control socket's thread: a reload asked for by
// another process. lParam: its ReloadRequest.
constexpr unsigned WM_RELOAD_REQUEST = WM_USER + 230;

// The service thread's waits: one waiter on several events, registered while it lives.
class WaitingOn {
 public:
  WaitingOn(CEventWaiter& waiter, std::initializer_list<CEvent*> events) : m_waiter(waiter), m_events(events) {
    for (CEvent* event : m_events) event->Register(m_waiter);
  }
  ~WaitingOn() {
    for (CEvent* event : m_events) event->Unregister(m_waiter);
  }
  WaitingOn(const WaitingOn&) = delete;
  WaitingOn& operator=(const WaitingOn&) = delete;

 private:
  CEventWaiter& m_waiter;
  std::vector<CEvent*> m_events;
};

}  // namespace

CDlgSimulation::CDlgSimulation(unsigned reopenPeriodMs)
    : m_window([this](unsigned message, WPARAM wParam, LPARAM lParam) { return HandleMessage(message, wParam, lParam); }),
      m_serial(std::make_unique<CSerialInterface>(reopenPeriodMs)),
      m_deviceList(*m_serial) {
  m_serial->SetOwner(m_window.Handle());
  m_history.SetListener([this](const DeviceEvent& event) { m_alarms.Observe(event); });
  CDataCenter::Instance().SetNotifyWindow(m_window.Handle());
}

CDlgSimulation::~CDlgSimulation() {
  StopService();
  CDataCenter::Instance().SetNotifyWindow(0);
  // While the device list still exists: the manager's threads report to it until they end.
  m_serial.reset();
}

void CDlgSimulation::SetMainWindow(TargetHandle window) {
  m_mainWindow = window;
  m_deviceList.SetMainWindow(window);
}

void CDlgSimulation::RegisterNamedEvents(CNamedEventHost& host) {
  host.Add(kShutdownEventName, m_shutdownEvent);
  host.Add(kPauseResumeEventName, m_pauseResumeEvent);
  // The handler outlives this object harmlessly: the report then goes nowhere.
  host.AddRequest(kReloadRequestName, [target = m_window.Handle()](const std::string&) {
    auto request = std::make_shared<ReloadRequest>();
    const LPARAM lParam = reinterpret_cast<LPARAM>(request.get());
    if (!CMessageTarget::PostReport(target, WM_RELOAD_REQUEST, 0, lParam, request))
      return CNamedEventHost::Reply{1, "the Vantrel instance's service host is gone"};
    if (!request->Done.Wait(kReloadWaitMs))
      return CNamedEventHost::Reply{1, "the reload did not finish within " + std::to_string(kReloadWaitMs / 1000) +
                                           " s; its outcome will be in the service's log"};
    return CNamedEventHost::Reply{request->Applied ? 0 : 1, request->Outcome};
  });
  m_status.RegisterRequest(host);
}

void CDlgSimulation::SendStatus(int pane, const std::string& text) {
  CMessageTarget::Send(m_mainWindow, WM_STATUS_TEXT, static_cast<WPARAM>(pane), reinterpret_cast<LPARAM>(text.c_str()));
}

void CDlgSimulation::SendListenerState(const ListenerState& state) {
  m_status.SetState(state.What == ListenerState::Change::Paused ? ServiceSnapshot::State::Paused
                                                                : ServiceSnapshot::State::Running,
                    Listeners(state));
  CMessageTarget::Send(m_mainWindow, WM_LISTENER_STATE, 0, reinterpret_cast<LPARAM>(&state));
}

bool CDlgSimulation::ServiceRunning() { return m_serviceThread && !m_serviceThread->Wait(0); }

std::string CDlgSimulation::StartFailureText() {
  const std::string failure = LastStartFailure();
  if (failure.empty()) return {};
  const SettingInfo settings = CurrentSettings();
  // The metrics page's failure is about its own address, not the devices' listener.
  const std::string where =
      failure.find(kMetricsFailureMark) != std::string::npos
          ? settings.MetricsAddress
          : ListenIp(settings) + ":" + std::to_string(settings.LocalPort);
  // A system call's failure ends with the system's text for its error.
  const auto says = [&failure](int error) { return failure.find(std::strerror(error)) != std::string::npos; };
  std::string reason;
  if (says(EADDRINUSE))
    reason = Text(IDS_ADDRESS_IN_USE);
  else if (says(EADDRNOTAVAIL))
    reason = Text(IDS_ADDRESS_NOT_LOCAL);
  else if (says(EACCES))
    reason = Text(IDS_PORT_NEEDS_RIGHTS);
  else
    reason = "%s: " + failure.substr(failure.find(" - ") == std::string::npos ? 0 : failure.find(" - ") + 3);
  reason.replace(reason.find("%s"), 2, where);
  DropTrailingBlanks(reason);
  std::string text = Text(IDS_SERVICE_START_FAILED_AT);
  if (const std::size_t at = text.find("%s"); at != std::string::npos) text.replace(at, 2, reason);
  return text;
}

std::string CDlgSimulation::LastStartFailure() {
  std::lock_guard lock(m_failureMutex);
  return m_failure;
}

void CDlgSimulation::WaitForServiceThread() {
  if (!m_serviceThread) return;
  CMessageQueue::WaitForEnd(*m_serviceThread);
  m_serviceThread.reset();
}

void CDlgSimulation::StartService() {
  if (ServiceRunning()) return;
  WaitForServiceThread();
  m_startFailed = false;
  m_stopRequested = false;
  {
    std::lock_guard lock(m_failureMutex);
    m_failure.clear();
  }
  m_deviceList.RebuildDeviceList();
  m_appliedTunnels = CTunnelTable::Instance().Snapshot();
  SendStatus(1, Text(IDS_CHANNEL_TOTAL) + ":" + std::to_string(CTunnelTable::Instance().Count()));
  m_serial->OpenAllPorts();
  CDataCenter::Instance().ResetServiceState();
  // Cleared here, before the thread exists, so that a stop given while the server is
  // still being built is not lost.
  m_shutdownEvent.Reset();
  m_pauseResumeEvent.Reset();
  m_serviceThread = Sockora::Win32::CStoppableThread::Launch([this](CEvent&) { ServiceThread(); });
}

void CDlgSimulation::ServiceThread() {
  NameThisThread("service");
  try {
    const SettingInfo settings = CurrentSettings();
    if (settings.LocalPort < 1 || settings.LocalPort > 65535)
      throw CException("CDlgSimulation::ServiceThread()", "LocalPort " + std::to_string(settings.LocalPort) +
                                                               " is not a port number (1 to 65535)");
    // Before any device can connect: an address the page cannot use fails the start.
    std::string metricsFailure;
    m_metrics = StartMetricsPage(settings.MetricsAddress, m_status, metricsFailure);
    if (!metricsFailure.empty()) throw CException("CDlgSimulation::ServiceThread()", metricsFailure);
    // Checked before anything listens: a certificate that cannot be used fails the start.
    std::string tlsFailure;
    const std::shared_ptr<const Sockora::CTlsContext> tls = LoadTlsListenerContext(settings, tlsFailure);
    if (!tlsFailure.empty()) throw CException("CDlgSimulation::ServiceThread()", tlsFailure);
    m_server = std::make_unique<CTcpServer>(settings.LocalIp.substr(0, 127), static_cast<std::uint16_t>(settings.LocalPort));
    if (tls) m_server->ListenForTls(static_cast<std::uint16_t>(settings.TlsPort), tls, !settings.TlsOnly);
    m_server->SetNotifyWindow(m_window.Handle());
    m_server->Start();
    m_server->StartAcceptingConnections();
    m_accepting = true;
    SendStatus(0, Text(IDS_SERVICE_STARTED));
    ListenerState listener{ListenerState::Change::Started, ListenIp(settings), m_server->ListeningPort(),
                           m_server->TlsListeningPort()};
    SendListenerState(listener);
    {
      std::lock_guard lock(m_taskMutex);
      m_serverReady = true;
    }
    CEventWaiter waiter;
    const WaitingOn waits(waiter, {&m_shutdownEvent, &m_pauseResumeEvent, &m_taskEvent});
    // Looked at once before the first wait: an event may have been set before the waiter was.
    waiter.fired = true;
    for (;;) {
      {
        std::unique_lock lock(waiter.mutex);
        waiter.cv.wait(lock, [&waiter] { return waiter.fired; });
        waiter.fired = false;
      }
      if (m_shutdownEvent.Wait(0)) break;
      if (m_taskEvent.TryConsume()) RunServerTask();
      // A reload may have moved the listeners: the pause and resume lines say where they are.
      listener.Address = ListenIp(CurrentSettings());
      listener.Port = m_server->ListeningPort();
      listener.TlsPort = m_server->TlsListeningPort();
      if (!m_pauseResumeEvent.Wait(0)) continue;
      // Manual reset: cleared here so that each signal switches accepting once.
      m_pauseResumeEvent.Reset();
      if (m_accepting) {
        m_server->StopAcceptingConnections();
        listener.What = ListenerState::Change::Paused;
      } else {
        m_server->StartAcceptingConnections();
        listener.What = ListenerState::Change::Resumed;
        listener.Port = m_server->ListeningPort();
        listener.TlsPort = m_server->TlsListeningPort();
      }
      m_accepting = !m_accepting;
      SendListenerState(listener);
    }
  } catch (const CException& error) {
    std::lock_guard lock(m_failureMutex);
    m_failure = error.GetWhere() + " - " + error.GetMessage();
    m_startFailed = true;
  } catch (const std::exception& error) {
    std::lock_guard lock(m_failureMutex);
    m_failure = error.what();
    m_startFailed = true;
  }
  {
    std::lock_guard lock(m_taskMutex);
    m_serverReady = false;
  }
  // A task handed over meanwhile has not run, and will not.
  m_taskDone.Set();
  m_accepting = false;
  // Shuts every connection down; the sending thread's last reports are handled by the
  // user-interface thread, which waits for this thread while handling messages.
  m_server.reset();
  m_metrics.reset();
  if (m_startFailed)
    CMessageTarget::Post(m_window.Handle(), WM_SERVICE_FAILED, 0, 0);
  else if (!m_stopRequested)
    // Shut down from another process: the main window stops the rest and shows it.
    CMessageTarget::Post(m_mainWindow, WM_COMMAND, ID_SIM_STOP, 0);
}

void CDlgSimulation::RunServerTask() {
  const std::function<void(CTcpServer&)>* task = nullptr;
  {
    std::lock_guard lock(m_taskMutex);
    task = m_task;
  }
  if (task != nullptr) (*task)(*m_server);
  {
    std::lock_guard lock(m_taskMutex);
    m_taskRan = task != nullptr;
  }
  m_taskDone.Set();
}

bool CDlgSimulation::WithServer(const std::function<void(CTcpServer&)>& task) {
  {
    std::lock_guard lock(m_taskMutex);
    if (!m_serverReady) return false;
    m_task = &task;
    m_taskRan = false;
    m_taskDone.Reset();
  }
  m_taskEvent.Set();
  CMessageQueue::ForThisThread()->WaitHandlingMessages(m_taskDone, INFINITE);
  std::lock_guard lock(m_taskMutex);
  m_task = nullptr;
  return m_taskRan;
}

void CDlgSimulation::OffThisThread(const std::function<void()>& task) {
  if (!WithServer([&task](CTcpServer&) { task(); })) task();
}

bool CDlgSimulation::ReloadConfiguration(std::string& outcome) {
  bool applied = false;
  m_reloading = true;
  // Requests that came meanwhile get the outcome of a reload made after they came.
  for (bool again = true; again;) {
    std::vector<std::shared_ptr<ReloadRequest>> answered;
    answered.swap(m_reloadRequests);
    applied = Reload(outcome);
    CMessageTarget::Send(m_mainWindow, WM_CONFIGURATION_RELOADED, applied ? 1 : 0,
                         reinterpret_cast<LPARAM>(outcome.c_str()));
    for (const std::shared_ptr<ReloadRequest>& request : answered) {
      request->Applied = applied;
      request->Outcome = outcome;
      request->Done.Set();
    }
    again = !m_reloadRequests.empty();
  }
  m_reloading = false;
  return applied;
}

void CDlgSimulation::ReloadConfiguration() {
  std::string outcome;
  ReloadConfiguration(outcome);
}

bool CDlgSimulation::Reload(std::string& outcome) {
  StoredConfiguration next;
  std::string failure;
  bool read = false;
  OffThisThread([&] { read = ReadStoredConfiguration(next, failure); });
  if (!read) {
    outcome = failure;
    return false;
  }
  if (!next.Problems.empty()) {
    outcome = "a stored value cannot be used: " + next.Problems.front();
    if (next.Problems.size() > 1) outcome += " (and " + std::to_string(next.Problems.size() - 1) + " more)";
    return false;
  }
  const SettingInfo before = CurrentSettings();
  const bool running = ServiceRunning() && !m_startFailed && !m_stopRequested;
  // The listeners first: one that cannot be opened refuses the whole reload.
  if (running && !MoveMetricsPage(before.MetricsAddress, next.Settings.MetricsAddress, outcome)) return false;
  if (running && !MoveListeners(before, next.Settings, outcome)) {
    std::string back;
    if (!MoveMetricsPage(next.Settings.MetricsAddress, before.MetricsAddress, back)) outcome += "; " + back;
    return false;
  }
  for (const std::string& note : next.Notes) WriteWarning(note);
  OffThisThread([&next] { InstallConfiguration(next); });
  const bool settingsChanged = !(before == next.Settings);
  if (!running) {
    outcome = "taken for the next start";
    return true;
  }
  outcome = ApplyTunnelTable() + (settingsChanged ? "; settings changed" : "; settings unchanged");
  return true;
}

bool CDlgSimulation::MoveListeners(const SettingInfo& before, const SettingInfo& after, std::string& failure) {
  if (after.LocalPort < 1 || after.LocalPort > 65535) {
    failure = "LocalPort " + std::to_string(after.LocalPort) + " is not a port number (1 to 65535)";
    return false;
  }
  // Read again at every reload: certificate files replaced under the same names are taken
  // for the handshakes from now on; connected devices keep their sessions.
  std::string tlsFailure;
  std::shared_ptr<const Sockora::CTlsContext> tls = LoadTlsListenerContext(after, tlsFailure);
  if (!tlsFailure.empty()) {
    failure = tlsFailure;
    return false;
  }
  const bool moved = before.LocalIp != after.LocalIp || before.LocalPort != after.LocalPort ||
                     before.TlsPort != after.TlsPort || before.TlsOnly != after.TlsOnly;
  if (!moved && !tls) return true;
  ListenerState listener{ListenerState::Change::Started, ListenIp(after), 0, 0};
  WithServer([&](CTcpServer& server) {
    try {
      server.ReplaceListeners(after.LocalIp.substr(0, 127), static_cast<std::uint16_t>(after.LocalPort),
                              static_cast<std::uint16_t>(after.TlsPort), std::move(tls), !after.TlsOnly);
      listener.Port = server.ListeningPort();
      listener.TlsPort = server.TlsListeningPort();
    } catch (const CException& error) {
      failure = error.GetWhere() + " - " + error.GetMessage();
    }
  });
  DropTrailingBlanks(failure);
  if (!failure.empty()) return false;
  // Paused, nothing listens: the new place is taken when accepting resumes.
  if (moved && m_accepting) SendListenerState(listener);
  return true;
}

bool CDlgSimulation::MoveMetricsPage(const std::string& from, const std::string& to, std::string& failure) {
  if (from == to) return true;
  WithServer([&](CTcpServer&) {
    // The old page goes first: the new address may be its port on another interface.
    m_metrics.reset();
    m_metrics = StartMetricsPage(to, m_status, failure);
    if (failure.empty()) return;
    std::string again;
    m_metrics = StartMetricsPage(from, m_status, again);
    if (!again.empty()) failure += "; the page could not be opened again on its old address either: " + again;
  });
  return failure.empty();
}

std::string CDlgSimulation::ApplyTunnelTable() {
  std::map<std::string, TunnelInfo> tunnels;
  CSerialInterface::PortChanges ports;
  // A reopen's SERIAL_OPENED is sent to this thread, which handles it while it waits.
  OffThisThread([&] {
    tunnels = CTunnelTable::Instance().Snapshot();
    ports = m_serial->ApplyPorts();
  });
  m_deviceList.ApplyTunnels();
  std::size_t closed = 0;
  WithServer([&closed](CTcpServer& server) { closed = server.CloseNowRefused(); });
  std::string summary;
  OffThisThread([&] {
    CDataCenter::Instance().RecountMatchedOnline();
    summary = DescribeReload(m_appliedTunnels, tunnels, ports, closed);
    m_appliedTunnels = std::move(tunnels);
  });
  SendStatus(1, Text(IDS_CHANNEL_TOTAL) + ":" + std::to_string(m_appliedTunnels.size()));
  return summary;
}

void CDlgSimulation::StopService() {
  if (!m_serviceThread) return;
  if (m_startFailed) {
    // A failed start cleans up through WM_SERVICE_FAILED; there is nothing to stop.
    WaitForServiceThread();
    return;
  }
  m_deviceList.RemoveAllRows();
  m_stopRequested = true;
  m_shutdownEvent.Set();
  m_pauseResumeEvent.Set();
  WaitForServiceThread();
  // Devices and ports the stop took down are not missing.
  m_alarms.Forget();
  // Ports first: records they deliver meanwhile must not outlive the reset.
  m_serial->CloseAllPorts();
  CDataCenter::Instance().ResetServiceState();
  m_status.SetState(ServiceSnapshot::State::Stopped, {});
  m_status.Clear();
  SendStatus(0, Text(IDS_SERVICE_STOPPED));
}

void CDlgSimulation::OnServiceFailed() {
  WaitForServiceThread();
  ShowNotice(StartFailureText(), "Vantrel", 0);
  m_deviceList.RemoveAllRows();
  m_serial->CloseAllPorts();
  CDataCenter::Instance().ResetServiceState();
  m_status.SetState(ServiceSnapshot::State::Stopped, {});
  m_status.Clear();
  CMessageTarget::Send(m_mainWindow, WM_COMMAND, ID_SIM_STOP, 0);
}

const DataItem& CDlgSimulation::ReportedRecord(LPARAM report) {
  reinterpret_cast<const ReportedItem*>(report)->CopyTo(*m_reportItem);
  return *m_reportItem;
}

LRESULT CDlgSimulation::HandleMessage(unsigned message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DEVICE_EVENT && wParam == 0) {
    const ReportedItem& item = *reinterpret_cast<const ReportedItem*>(lParam);
    m_status.OnDeviceEvent(DeviceIdOf(item), item.Kind);
  }
  if (message == WM_SERIAL_STATUS && (wParam == SERIAL_OPENED || wParam == SERIAL_OPEN_FAILED))
    m_status.OnPortOpened(reinterpret_cast<const char*>(lParam), wParam == SERIAL_OPENED);
  switch (message) {
    case WM_SERVICE_FAILED:
      OnServiceFailed();
      return 0;
    case WM_RELOAD_REQUEST:
      m_reloadRequests.push_back(reinterpret_cast<ReloadRequest*>(lParam)->shared_from_this());
      // One that comes while a reload waits is answered by the next reload, made at its end.
      if (!m_reloading) ReloadConfiguration();
      return 0;
    case WM_DEVICE_EVENT: {
      const DataItem& item = ReportedRecord(lParam);
      if (wParam == 0) m_history.DeviceLinkChanged(item);
      return m_deviceList.OnDeviceEvent(wParam, item);
    }
    case WM_TCP_STATUS:
      return m_deviceList.OnTcpStatus(wParam, ReportedRecord(lParam));
    case WM_SERIAL_STATUS:
      if (wParam == SERIAL_WRITTEN || wParam == SERIAL_WRITE_FAILED) {
        const DataItem& item = ReportedRecord(lParam);
        if (wParam == SERIAL_WRITE_FAILED) m_history.PortWriteFailed(item);
        return m_deviceList.OnSerialStatus(wParam, reinterpret_cast<LPARAM>(&item));
      }
      if (wParam == SERIAL_OPENED || wParam == SERIAL_OPEN_FAILED)
        m_history.PortOpenChanged(reinterpret_cast<const char*>(lParam), wParam == SERIAL_OPENED);
      return m_deviceList.OnSerialStatus(wParam, lParam);
    case WM_DEVICE_EDITED:
      // The editor has changed the tunnel table: the running service follows it as a
      // reload does. A stopped one takes the table at its next start.
      if ((wParam == 0 || wParam == 1) && ServiceRunning() && !m_startFailed && !m_stopRequested) ApplyTunnelTable();
      return 0;
    case WM_NOTTRANS_LIMIT:
      m_history.StoreLimit(wParam != 0, static_cast<std::uint64_t>(lParam));
      return m_deviceList.OnStoreLimit(wParam, lParam);
    default:
      return 0;
  }
}
