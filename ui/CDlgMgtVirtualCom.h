#pragma once

#include <QDialog>
#include <QProcess>
#include <QTimer>
#include <string>

#include "platform/Messages.h"

class QComboBox;
class QPushButton;

// The virtual COM port dialog: offers COM1 to COM256 less the ports that exist and has
// setupc create the chosen pair (COMn and COMn_FF). setupc runs without blocking the
// window; the result is told once it has ended (it returns when both ends exist).
// Results go to the main window's status bar (pane 0). Runs with exec().
// User-interface thread.
class CDlgMgtVirtualCom : public QDialog {
  Q_OBJECT

 public:
  // How long setupc may take before it counts as failed.
  static constexpr int kSetupcBoundMs = 20000;

  CDlgMgtVirtualCom(QWidget* parent, TargetHandle mainWindow, std::string setupcPath = DefaultSetupcPath());
  // Waits for a setupc still running (within its bound): killed half-way it could leave
  // one end of a pair behind.
  ~CDlgMgtVirtualCom() override;

  // setupc beside the running executable.
  static std::string DefaultSetupcPath();

  // What the Create button does: starts setupc for the chosen name.
  void Create();
  // True while setupc runs.
  bool Creating() const { return m_process.state() != QProcess::NotRunning; }

  QComboBox* PortList() const { return m_ports; }

 private:
  void Finished(int exitCode, QProcess::ExitStatus status);
  void FailedToStart();
  // Tells that setupc failed, with what it wrote on its error output.
  void TellFailure(const std::string& detail);
  void SetRunning(bool running);

  TargetHandle m_mainWindow;
  std::string m_setupcPath;
  QComboBox* m_ports;
  QPushButton* m_create;
  QProcess m_process;
  QTimer m_bound;
  // The name setupc was asked to create.
  QString m_creating;
};
