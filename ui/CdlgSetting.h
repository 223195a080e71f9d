#pragma once

#include <QDialog>
#include <string>

#include "model/SettingInfo.h"
#include "platform/Messages.h"
#include "storage/CAccessInterface.h"

class CLimitEdit;
class QCheckBox;
class QLineEdit;
class QPushButton;

// The settings dialog: the listening address and port, the no-data wait of the COM port
// reading, four switches and who may be a device (allowed networks, refusing devices
// without a tunnel, connections per address), the encrypted listener, the metrics address,
// device history and alarms, stored in Info.db and, once stored, made the process-wide
// settings. Also keeps the log-on start entry in step with its check box. Results go to
// the main window's status bar (pane 0). Runs with exec(); closing does not save.
// User-interface thread.
class CdlgSetting : public QDialog {
  Q_OBJECT

 public:
  // Opens Info.db of the application directory (kept open while the dialog lives) and
  // loads the settings to show: an empty LocalIp shows this computer's first IPv4
  // address, a LocalPort of 0 shows 5001. `program` is what the log-on entry starts.
  CdlgSetting(QWidget* parent, TargetHandle mainWindow, std::string program = DefaultProgram());

  // The desktop program beside the running executable.
  static std::string DefaultProgram();

  // The settings as loaded, or as last saved.
  const SettingInfo& Settings() const { return m_settings; }

  // What the Set button does: checks the fields (a refused one is told and nothing is
  // saved), updates the log-on entry, stores the settings and, when they are stored, makes
  // them the process-wide ones. True when stored.
  bool Save();

  CLimitEdit* LocalIpEdit() const { return m_localIp; }
  CLimitEdit* PortEdit() const { return m_port; }
  CLimitEdit* DelayEdit() const { return m_delay; }
  QCheckBox* BootStartBox() const { return m_bootStart; }
  QCheckBox* AutoStartBox() const { return m_autoStart; }
  QCheckBox* FilterHeartbeatBox() const { return m_filterHeartbeat; }
  QCheckBox* EscapeBox() const { return m_escape; }
  QLineEdit* AllowedNetworksEdit() const { return m_allowedNetworks; }
  QCheckBox* RefuseUnconfiguredBox() const { return m_refuseUnconfigured; }
  CLimitEdit* MaxPerAddressEdit() const { return m_maxPerAddress; }
  CLimitEdit* TlsPortEdit() const { return m_tlsPort; }
  QLineEdit* TlsCertificateEdit() const { return m_tlsCertificate; }
  QLineEdit* TlsKeyEdit() const { return m_tlsKey; }
  QLineEdit* TlsClientCaEdit() const { return m_tlsClientCa; }
  QCheckBox* TlsOnlyBox() const { return m_tlsOnly; }
  QLineEdit* MetricsAddressEdit() const { return m_metricsAddress; }
  CLimitEdit* EventsKeepDaysEdit() const { return m_eventsKeepDays; }
  QLineEdit* EventCommandEdit() const { return m_eventCommand; }
  CLimitEdit* OfflineAlarmEdit() const { return m_offlineAlarm; }
  QCheckBox* ResendStoredBox() const { return m_resendStored; }
  QPushButton* SetButton() const { return m_set; }

 private:
  void BuildWindow();
  void ShowSettings();
  void UpdateStartEntry(bool bootAutoStart);

  TargetHandle m_mainWindow;
  std::string m_program;
  CAccessInterface m_store;
  SettingInfo m_settings;
  CLimitEdit* m_localIp;
  CLimitEdit* m_port;
  CLimitEdit* m_delay;
  QCheckBox* m_bootStart;
  QCheckBox* m_autoStart;
  QCheckBox* m_filterHeartbeat;
  QCheckBox* m_escape;
  QLineEdit* m_allowedNetworks;
  QCheckBox* m_refuseUnconfigured;
  CLimitEdit* m_maxPerAddress;
  CLimitEdit* m_tlsPort;
  QLineEdit* m_tlsCertificate;
  QLineEdit* m_tlsKey;
  QLineEdit* m_tlsClientCa;
  QCheckBox* m_tlsOnly;
  QLineEdit* m_metricsAddress;
  CLimitEdit* m_eventsKeepDays;
  QLineEdit* m_eventCommand;
  CLimitEdit* m_offlineAlarm;
  QCheckBox* m_resendStored;
  QPushButton* m_set;
};
