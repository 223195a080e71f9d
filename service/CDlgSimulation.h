#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "model/ListenerState.h"
#include "service/CDeviceHistory.h"
#include "service/CDeviceList.h"
#include "service/CEventAlarms.h"
#include "service/CServiceStatus.h"
#include "core/CTcpServer.h"
#include "platform/CManualResetEvent.h"
#include "platform/CMessageTarget.h"
#include "platform/CStoppableThread.h"
#include "serial/CSerialInterface.h"

class CNamedEventHost;
class CScrapeServer;

// The service host: starts and stops the forwarding service as one unit (ports, data
// center state, TCP server), runs the thread that keeps the TCP server alive, and
// receives the forwarding core's messages on the user-interface thread, where its device
// list turns them into link and port states, counters, monitor rows and stored not-forwarded data.
// It has no widget: a desktop view shows its device list, the headless service does not.
//
// Construct, use and destroy on the user-interface thread, which must handle messages
// (a message loop, or the waits of this class).
class CDlgSimulation {
 public:
  static constexpr const char* kShutdownEventName = "SockoraServerShutdown";
  static constexpr const char* kPauseResumeEventName = "SockoraServerPauseResume";

  explicit CDlgSimulation(unsigned reopenPeriodMs = 10000);
  // Stops a running service.
  ~CDlgSimulation();
  CDlgSimulation(const CDlgSimulation&) = delete;
  CDlgSimulation& operator=(const CDlgSimulation&) = delete;

  // The main window: receives WM_STATUS_TEXT, WM_LISTENER_STATE and, when the service
  // ended by itself (a failed start, or a shutdown signalled from another process), the
  // Stop command (WM_COMMAND with ID_SIM_STOP).
  void SetMainWindow(TargetHandle window);
  // Lets other processes stop the service and pause/resume accepting by event name.
  void RegisterNamedEvents(CNamedEventHost& host);

  // Starts the service unless its thread still runs; the outcome is reported in pane 0
  // (or, on failure, by the notice and the Stop command).
  void StartService();
  // Stops a running service (or cleans up after one stopped from another process) and
  // reports it in pane 0; nothing without one. Keeps handling messages sent to this thread
  // while it waits, so the service's synchronous reports cannot deadlock it.
  void StopService();

  bool ServiceRunning();
  // Whether the running service accepts new connections (false while paused). Any thread.
  bool Accepting() const { return m_accepting; }
  // Why the last start failed, empty when it did not.
  std::string LastStartFailure();

  TargetHandle Window() const { return m_window.Handle(); }
  CDeviceList& DeviceList() { return m_deviceList; }
  // What `vantreld status`, the metrics page and the service manager are told.
  CServiceStatus& Status() { return m_status; }
  CSerialInterface& SerialInterface() { return *m_serial; }

 private:
  LRESULT HandleMessage(unsigned message, WPARAM wParam, LPARAM lParam);
  void ServiceThread();
  void OnServiceFailed();
  void SendStatus(int pane, const std::string& text);
  void SendListenerState(const ListenerState& state);
  void WaitForServiceThread();
  const DataItem& ReportedRecord(LPARAM report);

  // Declared first: the serial manager and the server report to it until they are gone.
  CMessageTarget m_window;
  // The user-interface thread's: a report's record is read back into it for the device list.
  std::unique_ptr<DataItem> m_reportItem = std::make_unique<DataItem>();
  // Destroyed first of all, by the destructor: its threads report to the device list
  // until they have ended.
  std::unique_ptr<CSerialInterface> m_serial;
  CDeviceList m_deviceList;
  // The device history and its alarms, fed from the same reports as the device list.
  CDeviceHistory m_history;
  CEventAlarms m_alarms;
  CServiceStatus m_status{m_deviceList, *m_serial};
  std::atomic<TargetHandle> m_mainWindow{0};

  // Manual reset; signalled from StopService or from another process.
  Sockora::Win32::CManualResetEvent m_shutdownEvent;
  Sockora::Win32::CManualResetEvent m_pauseResumeEvent;

  std::unique_ptr<Sockora::Win32::CStoppableThread> m_serviceThread;
  std::unique_ptr<CTcpServer> m_server;  // the service thread's alone
  std::unique_ptr<CScrapeServer> m_metrics;  // the service thread's alone: the metrics page
  std::atomic<bool> m_accepting{false};
  std::atomic<bool> m_startFailed{false};
  std::atomic<bool> m_stopRequested{false};
  std::mutex m_failureMutex;
  std::string m_failure;
};
