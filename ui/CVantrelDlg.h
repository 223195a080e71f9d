#pragma once

#include <QMainWindow>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/CMessageTarget.h"
#include "service/CDlgSimulation.h"
#include "ui/CQtMessagePump.h"

class CDeviceListCtrl;
class CDlgAddModifyDevice;
class CDlgMonitor;
class CToolBarEx;
class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QSystemTrayIcon;

// The program's main window: menu, toolbar, the device list of the service host that it
// owns with its search box and "problems only" switch, the four-pane status bar and the
// tray icon. It starts and stops the service and mirrors the service state in menu,
// toolbar and tray. The management commands stay available while the service runs: what
// they change is applied to the running service through its reload path, a new listening
// address included (connected devices stay). Every command goes through OnCommand.
// Other threads reach it through Handle(): WM_STATUS_TEXT (pane, text) and WM_COMMAND
// (the Stop command from the service host). User-interface thread.
class CVantrelDlg : public QMainWindow {
  Q_OBJECT

 public:
  struct Options {
    // Whether closing the window hides it to a tray icon; without a tray it could not be
    // shown again, so closing is then a close request.
    bool trayAvailable = false;
    // Timer 101: how long a pane-0 message stays before "就绪" returns.
    int statusResetMs = 3000;
    // Timer 102: the delay of the automatic start when AutoStartSimulation is set.
    int autoStartDelayMs = 200;
    // The service host's retry period for ports that failed to open.
    unsigned reopenPeriodMs = 10000;
    // Where a language switch writes the code.
    std::string languageFile;
    // Asks for the program to be started again once this one has ended (a language
    // switch); false when that cannot be done. Empty: nothing is started.
    std::function<bool()> restart;
    // The INI file that remembers the window's size and place per application directory;
    // empty: the window always opens at its initial size.
    std::string placeFile;
  };

  explicit CVantrelDlg(Options options);
  // Stops a running service.
  ~CVantrelDlg() override;

  // Runs a command of the menu, the toolbar, the tray menu or the service host.
  void OnCommand(unsigned id);
  // Sets a pane's text; pane 0 goes back to "就绪" after a while (to the reason of a
  // failed start, until the next start).
  void SetStatusText(int pane, const QString& text);
  // Ends the program without a question (a stop signal).
  void Quit() { End(0); }

  TargetHandle Handle() const { return m_target.Handle(); }
  CDlgSimulation& Simulation() { return m_simulation; }
  CDeviceListCtrl& DeviceList() { return *m_list; }
  QLineEdit* SearchEdit() const { return m_search; }
  QCheckBox* ProblemsBox() const { return m_problemsOnly; }
  // "n of m shown" above the list.
  QString ShownCount() const;
  CToolBarEx& ToolBar() { return *m_toolBar; }
  // The menu's and toolbar's action of a command, null for an unknown one.
  QAction* Action(unsigned id) const;
  QString StatusText(int pane) const;
  bool ServiceRunning() const { return m_running; }
  // Whether the tray icon is shown (after the window was hidden to the tray).
  bool InTray() const;
  QMenu* TrayMenu() const { return m_trayMenu; }
  // Null until the window first hides to the tray.
  QSystemTrayIcon* Tray() const { return m_tray.get(); }
  QString TrayToolTip() const;

 signals:
  // The window's run has ended: the program is to end with `code`.
  void Ended(int code);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  LRESULT HandleMessage(unsigned message, WPARAM wParam, LPARAM lParam);
  QAction* AddCommand(QMenu* menu, unsigned id, const QIcon& icon = {});
  void CreateMenus();
  void CreateToolBar();
  void CreateStatusBar();
  QWidget* CreateListPane();
  void UpdateShownCount();
  void ShowInPane(int pane, const QString& text);
  void UpdateTray();
  // After a management dialog: the running service takes what is stored now; a stopped
  // one's list shows the stored tunnels.
  void ApplyStoredConfiguration();
  void EditSettings();
  // Asks before an action that drops the connected devices; true when there are none or
  // the user agrees.
  bool ConfirmDropping(unsigned questionId);
  void ShowServiceState(bool running);
  void OnStart();
  void OnStop();
  void SwitchLanguage(int code);
  void ShowLanguageChecks();
  void HideToTray();
  void ShowFromTray();
  void CloseRequest();
  void About();
  void End(int code);
  void RememberPlace();

  const Options m_options;
  const int m_language;
  // Declared before the service host: it drives the messages the host's threads send.
  CQtMessagePump m_pump;
  CMessageTarget m_target;
  std::map<unsigned, QAction*> m_actions;
  CToolBarEx* m_toolBar = nullptr;
  QLabel* m_panes[4] = {};
  QLineEdit* m_search = nullptr;
  QCheckBox* m_problemsOnly = nullptr;
  QLabel* m_shownCount = nullptr;
  // Why the last start failed; pane 0 shows it instead of "就绪" until the next start.
  QString m_startFailure;
  QMenu* m_trayMenu = nullptr;
  std::unique_ptr<QSystemTrayIcon> m_tray;
  QTimer m_statusTimer;     // timer 101
  QTimer m_autoStartTimer;  // timer 102
  bool m_running = false;
  bool m_ended = false;
  // Destroyed before everything above: stopping the service still reports to this window.
  CDlgSimulation m_simulation;
  // Destroyed first: its model reads the service host's device list.
  std::unique_ptr<CDeviceListCtrl> m_list;
  // The list's double click edits a device here; it tells the service host the change.
  std::unique_ptr<CDlgAddModifyDevice> m_listEditor;
  // Modeless beside the main window; it takes the device list's traffic while it exists.
  std::unique_ptr<CDlgMonitor> m_monitor;
};
