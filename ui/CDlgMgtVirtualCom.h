#pragma once

#include <QDialog>
#include <QProcess>
#include <QTimer>
#include <string>

#include "platform/Messages.h"

class QComboBox;
class QLabel;
class QPushButton;
class QTableWidget;

// The virtual COM port dialog: lists the pairs of the port directory (the end Vantrel
// opens, the end the serial software opens, and whether the pair's holder lives or the
// pair is stale), removes the selected one after a question, and offers COM1 to COM256
// less the ports that exist to have setupc create a pair (COMn and COMn_FF). setupc runs
// without blocking the window; the result is told once it has ended (it returns when
// both ends exist), a new pair with the name and place the serial software opens.
// Results also go to the main window's status bar (pane 0). Runs with exec().
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
  // What the Remove button does: after a question, starts setupc to remove the selected pair.
  void Remove();
  // Lists the pairs of the port directory again.
  void RefreshPairs();
  // True while setupc runs.
  bool Creating() const { return m_process.state() != QProcess::NotRunning; }

  QComboBox* PortList() const { return m_ports; }
  QTableWidget* PairList() const { return m_pairs; }
  // The dialog's message line: the last result.
  QString Message() const;

 private:
  void Finished(int exitCode, QProcess::ExitStatus status);
  void FailedToStart();
  // Tells that setupc failed, with what it wrote on its error output.
  void TellFailure(const std::string& detail);
  void SetRunning(bool running);
  void Tell(const std::string& text);
  void Run(const QStringList& arguments);

  TargetHandle m_mainWindow;
  std::string m_setupcPath;
  QComboBox* m_ports;
  QPushButton* m_create;
  QTableWidget* m_pairs;
  QPushButton* m_remove;
  QLabel* m_message;
  QProcess m_process;
  QTimer m_bound;
  // The name setupc was asked to create, or (m_removing) the pair's first end to remove.
  QString m_creating;
  bool m_removing = false;
};
