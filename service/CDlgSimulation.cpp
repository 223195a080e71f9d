#include "service/CDlgSimulation.h"

#include "core/CDataCenter.h"
#include "core/CTunnelTable.h"
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
#include "service/MetricsPage.h"

using Sockora::Win32::CEvent;
using Sockora::Win32::NameThisThread;
using Sockora::Win32::CException;
using Sockora::Win32::INFINITE;

namespace {

std::string Text(unsigned id) { return CResourceStrings::Instance().LoadString(id); }

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
  m_status.RegisterRequest(host);
}

void CDlgSimulation::SendStatus(int pane, const std::string& text) {
  CMessageTarget::Send(m_mainWindow, WM_STATUS_TEXT, static_cast<WPARAM>(pane), reinterpret_cast<LPARAM>(text.c_str()));
}

void CDlgSimulation::SendListenerState(const ListenerState& state) {
  m_status.SetState(state.What == ListenerState::Change::Paused ? ServiceSnapshot::State::Paused
                                                                : ServiceSnapshot::State::Running,
                    {{state.Address, state.Port, false}});
  CMessageTarget::Send(m_mainWindow, WM_LISTENER_STATE, 0, reinterpret_cast<LPARAM>(&state));
}

bool CDlgSimulation::ServiceRunning() { return m_serviceThread && !m_serviceThread->Wait(0); }

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
    m_server = std::make_unique<CTcpServer>(settings.LocalIp.substr(0, 127), static_cast<std::uint16_t>(settings.LocalPort));
    m_server->SetNotifyWindow(m_window.Handle());
    m_server->Start();
    m_server->StartAcceptingConnections();
    m_accepting = true;
    SendStatus(0, Text(IDS_SERVICE_STARTED));
    // An empty LocalIp here means no interface had an address: the server listens on all.
    ListenerState listener{ListenerState::Change::Started,
                           settings.LocalIp.empty() ? "0.0.0.0" : settings.LocalIp,
                           m_server->ListeningPort()};
    SendListenerState(listener);
    for (;;) {
      if (CEvent::WaitAny(m_shutdownEvent, m_pauseResumeEvent, INFINITE) != 1) break;
      // Manual reset: cleared here so that each signal switches accepting once.
      m_pauseResumeEvent.Reset();
      if (m_accepting) {
        m_server->StopAcceptingConnections();
        listener.What = ListenerState::Change::Paused;
      } else {
        m_server->StartAcceptingConnections();
        listener.What = ListenerState::Change::Resumed;
        listener.Port = m_server->ListeningPort();
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
  ShowNotice(Text(IDS_SERVICE_START_FAILED), "Vantrel", 0);
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
      return m_deviceList.OnDeviceEdited(wParam, *reinterpret_cast<const TunnelInfo*>(lParam));
    case WM_NOTTRANS_LIMIT:
      m_history.StoreLimit(wParam != 0, static_cast<std::uint64_t>(lParam));
      return m_deviceList.OnStoreLimit(wParam, lParam);
    default:
      return 0;
  }
}
