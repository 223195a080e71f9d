#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "model/ListenerState.h"
#include "service/CDeviceHistory.h"
#include "service/CDeviceList.h"
#include "service/CEventAlarms.h"
#include "service/CServiceStatus.h"
#include "core/CTcpServer.h"
#include "model/SettingInfo.h"
#include "model/TunnelInfo.h"
#include "platform/CAutoResetEvent.h"
#include "platform/CManualResetEvent.h"
#include "platform/CMessageTarget.h"
#include "platform/CStoppableThread.h"
#include "serial/CSerialInterface.h"

class CNamedEventHost;
// A reload that another process asked for and waits for.
struct ReloadRequest;
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
  // The request that `vantreld reload` makes: its reply is the reload's outcome, exit code
  // 0 when applied, 1 when refused.
  static constexpr const char* kReloadRequestName = "reload";
  // How long the request waits for the user-interface thread to finish the reload.
  static constexpr unsigned kReloadWaitMs = 60000;

  explicit CDlgSimulation(unsigned reopenPeriodMs = 10000);
  // Stops a running service.
  ~CDlgSimulation();
  CDlgSimulation(const CDlgSimulation&) = delete;
  CDlgSimulation& operator=(const CDlgSimulation&) = delete;

  // The main window: receives WM_STATUS_TEXT, WM_LISTENER_STATE and, when the service
  // ended by itself (a failed start, or a shutdown signalled from another process), the
  // Stop command (WM_COMMAND with ID_SIM_STOP).
  void SetMainWindow(TargetHandle window);
  // Lets other processes stop the service and pause/resume accepting by event name, and
  // reload the configuration by request (kReloadRequestName).
  void RegisterNamedEvents(CNamedEventHost& host);

  // Starts the service unless its thread still runs; the outcome is reported in pane 0
  // (or, on failure, by the notice and the Stop command).
  void StartService();
  // Stops a running service (or cleans up after one stopped from another process) and
  // reports it in pane 0; nothing without one. Keeps handling messages sent to this thread
  // while it waits, so the service's synchronous reports cannot deadlock it.
  void StopService();

  // Reads Info.db again and applies its tunnels, bindings and settings to the running
  // service without dropping any device whose tunnel did not change: ports change only
  // where their tunnels did (see CSerialInterface::ApplyPorts), a device keeps its link
  // and follows its tunnel to another port, a device without a tunnel now is unconfigured
  // (closed under RefuseUnconfigured, as is one its new binding or AllowedNetworks
  // refuses), and settings read live take effect at once. The desktop program calls it to
  // manage without stopping; `vantreld` on SIGHUP and `vantreld reload`.
  // True with what changed in `outcome`. False with the reason in `outcome` when the file
  // cannot be read or holds a value that cannot be used as stored: the running
  // configuration is then kept whole. Without a running service the configuration is
  // only taken for the next start. The main window is told the outcome too
  // (WM_CONFIGURATION_RELOADED). User-interface thread.
  bool ReloadConfiguration(std::string& outcome);
  // The same, for a caller that takes the outcome from WM_CONFIGURATION_RELOADED.
  void ReloadConfiguration();

  bool ServiceRunning();
  // Whether the running service accepts new connections (false while paused). Any thread.
  bool Accepting() const { return m_accepting; }
  // Why the last start failed, empty when it did not.
  std::string LastStartFailure();
  // The last failed start told as the operator needs it: the address and port it tried
  // and the system's reason ("127.0.0.1:5001 is already in use by another program");
  // empty when the last start did not fail. User-interface thread.
  std::string StartFailureText();

  TargetHandle Window() const { return m_window.Handle(); }
  CDeviceList& DeviceList() { return m_deviceList; }
  // What `vantreld status`, the metrics page and the service manager are told.
  CServiceStatus& Status() { return m_status; }
  CSerialInterface& SerialInterface() { return *m_serial; }

 private:
  LRESULT HandleMessage(unsigned message, WPARAM wParam, LPARAM lParam);
  // The tunnel table has changed (a reload, or the device editor, which writes the table
  // itself and then tells WM_DEVICE_EDITED): ports, rows, counts and links follow it.
  // Returns what changed, for a line. User-interface thread, service running.
  std::string ApplyTunnelTable();
  // ReloadConfiguration without telling the main window.
  bool Reload(std::string& outcome);
  // A reload's listener part: the plain and TLS listeners go where `after` says, the new
  // one open before the old one closes, and the TLS context is made again from its files.
  // False with the reason when a listener cannot be opened or the TLS files cannot be used:
  // the listeners are then as they were. User-interface thread, service running.
  bool MoveListeners(const SettingInfo& before, const SettingInfo& after, std::string& failure);
  // A reload's metrics part: the page moves from address `from` to `to` (empty: off). False
  // with the reason when it cannot listen on `to`: the page is then where it was, if it can
  // be opened there again. User-interface thread, service running.
  bool MoveMetricsPage(const std::string& from, const std::string& to, std::string& failure);
  // Runs `task` on the service thread with its server, between its waits, and waits for
  // it while handling messages. False when no server runs (the task has not run then).
  bool WithServer(const std::function<void(CTcpServer&)>& task);
  // Runs `task` on the service thread while this thread goes on handling the forwarding
  // threads' reports (with 10,000 devices sending, a reload's reading and comparing of
  // every tunnel would otherwise hold up every device's delivery once the reports back
  // up); here when no service thread takes tasks. `task` must not use the device list or
  // call WithServer.
  void OffThisThread(const std::function<void()>& task);
  // The service thread's part of WithServer.
  void RunServerTask();
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
  // WithServer's hand-over: the task and whether it ran, under the mutex; the service
  // thread is woken by the event and sets `done` (also when it ends without the task).
  std::mutex m_taskMutex;
  const std::function<void(CTcpServer&)>* m_task = nullptr;
  bool m_taskRan = false;
  bool m_serverReady = false;  // the service thread takes tasks
  Sockora::Win32::CAutoResetEvent m_taskEvent;
  Sockora::Win32::CManualResetEvent m_taskDone;
  // The tunnels the running service was last brought in line with.
  std::map<std::string, TunnelInfo> m_appliedTunnels;
  // A reload runs (it handles messages while it waits for the service thread); requests
  // from other processes that wait for its outcome, or the next one's.
  bool m_reloading = false;
  std::vector<std::shared_ptr<ReloadRequest>> m_reloadRequests;

  std::unique_ptr<Sockora::Win32::CStoppableThread> m_serviceThread;
  std::unique_ptr<CTcpServer> m_server;  // the service thread's alone
  std::unique_ptr<CScrapeServer> m_metrics;  // the service thread's alone: the metrics page
  std::atomic<bool> m_accepting{false};
  std::atomic<bool> m_startFailed{false};
  std::atomic<bool> m_stopRequested{false};
  std::mutex m_failureMutex;
  std::string m_failure;
};
