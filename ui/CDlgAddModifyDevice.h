#pragma once

#include <QDialog>
#include <string>
#include <vector>

#include "model/TunnelBinding.h"
#include "model/TunnelInfo.h"
#include "platform/Messages.h"

class CDeviceList;
class CLimitEdit;
class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

// The editor of one tunnel: device ID (8 hexadecimal digits), a port of this computer,
// the line settings, a note and its binding (the phone number and the networks a
// registration must show; empty: any). OK stores it (with the same-port rule: the other
// tunnels on the port follow the new line settings once the operator agrees), updates
// the tunnel table, tells its owner WM_DEVICE_EDITED and pane 0 of the main window the
// result, and keeps the editor open for the next tunnel. Shown window-modal over its
// parent. User-interface thread.
class CDlgAddModifyDevice : public QDialog {
  Q_OBJECT

 public:
  enum Mode { AddMode = 0, ModifyMode = 1 };

  // `mainWindow` receives the result texts (WM_STATUS_TEXT, pane 0); `owner` receives
  // WM_DEVICE_EDITED: 0 added, 1 modified (lParam the TunnelInfo, valid during the call),
  // 2 closed with the close button. 0 for none.
  CDlgAddModifyDevice(QWidget* parent, TargetHandle mainWindow, TargetHandle owner = 0);

  void SetNotifyTarget(TargetHandle owner) { m_owner = owner; }

  // The controls take the tunnel's values and its binding in the tunnel table: the ID
  // field disabled, a port this computer lacks appended to the port list, each list on the
  // entry equal ignoring letter case (none when no entry is).
  void FillFromTunnel(const TunnelInfo& tunnel);
  // Add (a caption of its own, the ID field enabled) or modify (the ID field disabled);
  // any other mode keeps both. Shows the editor centred over its parent.
  void ShowEditor(int mode);
  // The device list's double click: the editor for `row` of the running device list, in
  // modify mode, its saves reaching the running service through the owner target (the
  // service host's window). No row (-1) tells the operator to select one.
  void EditListedDevice(CDeviceList& list, int row);
  // "Add tunnel..." for a device online without one: the editor in add mode with its ID.
  void AddForDevice(const std::string& id);

  Mode EditorMode() const { return m_mode; }
  CLimitEdit* IdField() const { return m_id; }
  QComboBox* PortList() const { return m_port; }
  QComboBox* BaudRateList() const { return m_baudRate; }
  QComboBox* DataBitsList() const { return m_dataBits; }
  QComboBox* ParityList() const { return m_parity; }
  QComboBox* StopBitsList() const { return m_stopBits; }
  QPlainTextEdit* NoteField() const { return m_note; }
  QLineEdit* PhoneEdit() const { return m_phone; }
  QLineEdit* NetworksEdit() const { return m_networks; }
  QPushButton* OkButton() const { return m_ok; }

 signals:
  // The editor was hidden (close button or Escape).
  void Closed();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void done(int result) override;

 private:
  enum class Outcome { Saved, Exists, NeedsConsent, OtherFailed, Failed };

  // Refills the port list from this computer, keeping the chosen port where it remains;
  // with `tellNone`, tells the operator when there is none.
  void ReloadPorts(bool tellNone);
  void Save();
  // One transaction: reads the stored tunnels, applies the exists check and the
  // same-port rule, writes the tunnel and its binding. Without consent, asks for it (NeedsConsent) instead of
  // changing other tunnels; `aligned` gets the tunnels changed or to change.
  Outcome Write(const TunnelInfo& edited, const TunnelBinding& binding, bool consented,
                std::vector<TunnelInfo>& aligned, std::string& reason);
  void Tell(const std::string& text);

  TargetHandle m_mainWindow;
  TargetHandle m_owner;
  Mode m_mode = AddMode;
  TunnelInfo m_record;  // what the last OK read from the controls
  TunnelBinding m_binding;
  CLimitEdit* m_id;
  QComboBox* m_port;
  QComboBox* m_baudRate;
  QComboBox* m_dataBits;
  QComboBox* m_parity;
  QComboBox* m_stopBits;
  QPlainTextEdit* m_note;
  QLineEdit* m_phone;
  QLineEdit* m_networks;
  QPushButton* m_ok;
};
