#include "ui/CdlgSetting.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <cstring>
#include <optional>
#include <utility>

#include "model/SettingFields.h"
#include "platform/AppPaths.h"
#include "platform/AutostartEntry.h"
#include "platform/WriteDebugLine.h"
#include "resources/CResourceStrings.h"
#include "resources/ResourceIds.h"
#include "ui/CLimitEdit.h"
#include "ui/CMessageBoxCustom.h"
#include "ui/LogOnEntry.h"
#include "ui/ResourceText.h"
#include "ui/StatusText.h"

CdlgSetting::CdlgSetting(QWidget* parent, TargetHandle mainWindow, std::string program)
    : QDialog(parent), m_mainWindow(mainWindow), m_program(std::move(program)) {
  m_store.OpenDatabase(DATABASE_FILE_NAME);
  m_store.InitSettingTable();
  m_store.LoadSettings(m_settings);
  ApplyStartDefaults(m_settings);
  BuildWindow();
  ShowSettings();
}

std::string CdlgSetting::DefaultProgram() { return ExecutableDirectory() + "/vantrel"; }

void CdlgSetting::BuildWindow() {
  setWindowTitle(DialogText(IDD_SETTING, IDC_CAPTION));
  m_localIp = new CLimitEdit(this);
  m_localIp->ResetToDigits();
  m_localIp->AddCharRange('.', '.');
  m_localIp->setMaxLength(15);
  m_port = new CLimitEdit(this);
  m_port->ResetToDigits();
  m_port->SetIntegerRange(kLowestLocalPort, kHighestLocalPort);
  m_port->setMaxLength(5);
  m_delay = new CLimitEdit(this);
  m_delay->ResetToDigits();
  m_delay->SetIntegerRange(kLowestDelayComRead, kHighestDelayComRead);
  m_delay->setMaxLength(5);
  m_bootStart = new QCheckBox(DialogText(IDD_SETTING, IDC_SETTING_BOOT_START), this);
  m_autoStart = new QCheckBox(DialogText(IDD_SETTING, IDC_SETTING_AUTO_START), this);
  m_filterHeartbeat = new QCheckBox(DialogText(IDD_SETTING, IDC_SETTING_FILTER_HEARTBEAT), this);
  m_escape = new QCheckBox(DialogText(IDD_SETTING, IDC_SETTING_ESCAPE), this);
  m_allowedNetworks = new QLineEdit(this);
  m_allowedNetworks->setPlaceholderText(DialogText(IDD_SETTING, IDC_SETTING_ALLOWED_NETWORKS));
  m_allowedNetworks->setMinimumWidth(m_allowedNetworks->fontMetrics().horizontalAdvance(
                                         m_allowedNetworks->placeholderText()) + 16);
  m_refuseUnconfigured = new QCheckBox(DialogText(IDD_SETTING, IDC_SETTING_REFUSE_UNCONFIGURED), this);
  m_maxPerAddress = new CLimitEdit(this);
  m_maxPerAddress->ResetToDigits();
  m_maxPerAddress->SetIntegerRange(0, kHighestMaxConnectionsPerAddress);
  m_maxPerAddress->setMaxLength(5);
  m_tlsPort = new CLimitEdit(this);
  m_tlsPort->ResetToDigits();
  m_tlsPort->SetIntegerRange(0, kHighestLocalPort);
  m_tlsPort->setMaxLength(5);
  const auto pathEdit = [this] {
    auto* edit = new QLineEdit(this);
    edit->setMaxLength(static_cast<int>(kLongestPathSetting));
    return edit;
  };
  m_tlsCertificate = pathEdit();
  m_tlsKey = pathEdit();
  m_tlsClientCa = pathEdit();
  m_tlsOnly = new QCheckBox(DialogText(IDD_SETTING, IDC_SETTING_TLS_ONLY), this);
  m_metricsAddress = new QLineEdit(this);
  m_metricsAddress->setMaxLength(21);
  m_metricsAddress->setPlaceholderText(DialogText(IDD_SETTING, IDC_SETTING_METRICS));
  m_metricsAddress->setMinimumWidth(m_metricsAddress->fontMetrics().horizontalAdvance(
                                        m_metricsAddress->placeholderText()) + 16);
  m_eventsKeepDays = new CLimitEdit(this);
  m_eventsKeepDays->ResetToDigits();
  m_eventsKeepDays->SetIntegerRange(kLowestEventsKeepDays, kHighestEventsKeepDays);
  m_eventsKeepDays->setMaxLength(5);
  m_eventCommand = pathEdit();
  m_offlineAlarm = new CLimitEdit(this);
  m_offlineAlarm->ResetToDigits();
  m_offlineAlarm->SetIntegerRange(kLowestOfflineAlarmSeconds, kHighestOfflineAlarmSeconds);
  m_offlineAlarm->setMaxLength(6);
  m_resendStored = new QCheckBox(DialogText(IDD_SETTING, IDC_SETTING_RESEND_STORED), this);
  m_set = new QPushButton(DialogText(IDD_SETTING, IDOK), this);
  m_set->setDefault(true);
  connect(m_set, &QPushButton::clicked, this, [this] { Save(); });

  auto* network = new QGroupBox(DialogText(IDD_SETTING, IDC_SETTING_GROUP_NETWORK), this);
  auto* networkLayout = new QGridLayout(network);
  networkLayout->addWidget(new QLabel(DialogText(IDD_SETTING, IDC_SETTING_LABEL_LOCAL_IP), network), 0, 0);
  networkLayout->addWidget(m_localIp, 0, 1);
  networkLayout->addWidget(new QLabel(DialogText(IDD_SETTING, IDC_SETTING_LABEL_PORT), network), 1, 0);
  networkLayout->addWidget(m_port, 1, 1);
  auto* admission = new QGroupBox(DialogText(IDD_SETTING, IDC_SETTING_GROUP_ADMISSION), this);
  auto* admissionLayout = new QGridLayout(admission);
  admissionLayout->addWidget(new QLabel(DialogText(IDD_SETTING, IDC_SETTING_LABEL_ALLOWED_NETWORKS), admission), 0, 0);
  admissionLayout->addWidget(m_allowedNetworks, 0, 1);
  admissionLayout->addWidget(new QLabel(DialogText(IDD_SETTING, IDC_SETTING_LABEL_MAX_PER_ADDRESS), admission), 1, 0);
  admissionLayout->addWidget(m_maxPerAddress, 1, 1);
  admissionLayout->addWidget(m_refuseUnconfigured, 2, 0, 1, 2);
  auto* serial = new QGroupBox(DialogText(IDD_SETTING, IDC_SETTING_GROUP_SERIAL), this);
  auto* serialLayout = new QGridLayout(serial);
  serialLayout->addWidget(new QLabel(DialogText(IDD_SETTING, IDC_SETTING_LABEL_DELAY), serial), 0, 0);
  serialLayout->addWidget(m_delay, 0, 1);
  auto* system = new QGroupBox(DialogText(IDD_SETTING, IDC_SETTING_GROUP_SYSTEM), this);
  auto* systemLayout = new QVBoxLayout(system);
  systemLayout->addWidget(m_bootStart);
  systemLayout->addWidget(m_autoStart);
  auto* extra = new QGroupBox(DialogText(IDD_SETTING, IDC_SETTING_GROUP_EXTRA), this);
  auto* extraLayout = new QVBoxLayout(extra);
  extraLayout->addWidget(m_filterHeartbeat);
  extraLayout->addWidget(m_escape);

  auto* tls = new QGroupBox(DialogText(IDD_SETTING, IDC_SETTING_GROUP_TLS), this);
  auto* tlsLayout = new QGridLayout(tls);
  const auto addRow = [](QGridLayout* grid, QWidget* group, unsigned label, QWidget* field) {
    const int row = grid->rowCount();
    grid->addWidget(new QLabel(DialogText(IDD_SETTING, label), group), row, 0);
    grid->addWidget(field, row, 1);
  };
  addRow(tlsLayout, tls, IDC_SETTING_LABEL_TLS_PORT, m_tlsPort);
  addRow(tlsLayout, tls, IDC_SETTING_LABEL_TLS_CERTIFICATE, m_tlsCertificate);
  addRow(tlsLayout, tls, IDC_SETTING_LABEL_TLS_KEY, m_tlsKey);
  addRow(tlsLayout, tls, IDC_SETTING_LABEL_TLS_CLIENT_CA, m_tlsClientCa);
  tlsLayout->addWidget(m_tlsOnly, tlsLayout->rowCount(), 0, 1, 2);
  auto* monitoring = new QGroupBox(DialogText(IDD_SETTING, IDC_SETTING_GROUP_MONITORING), this);
  auto* monitoringLayout = new QGridLayout(monitoring);
  addRow(monitoringLayout, monitoring, IDC_SETTING_LABEL_METRICS, m_metricsAddress);
  addRow(monitoringLayout, monitoring, IDC_SETTING_LABEL_EVENTS_KEEP_DAYS, m_eventsKeepDays);
  addRow(monitoringLayout, monitoring, IDC_SETTING_LABEL_EVENT_COMMAND, m_eventCommand);
  addRow(monitoringLayout, monitoring, IDC_SETTING_LABEL_OFFLINE_ALARM, m_offlineAlarm);
  auto* store = new QGroupBox(DialogText(IDD_SETTING, IDC_SETTING_GROUP_STORE), this);
  auto* storeLayout = new QVBoxLayout(store);
  storeLayout->addWidget(m_resendStored);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(m_set);
  // Cancel leaves every field unchecked (CLimitEdit skips its check for it), as Escape does.
  auto* cancel = new QPushButton(QText(IDS_CANCEL), this);
  cancel->setProperty(CLimitEdit::kSkipsChecks, true);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  buttons->addWidget(cancel);
  // Two columns: the Parts' settings on the left, the later ones on the right, so the dialog
  // stays within a laptop screen's height.
  auto* left = new QVBoxLayout;
  left->addWidget(network);
  left->addWidget(admission);
  left->addWidget(serial);
  left->addWidget(system);
  left->addWidget(extra);
  left->addStretch();
  auto* right = new QVBoxLayout;
  right->addWidget(tls);
  right->addWidget(monitoring);
  right->addWidget(store);
  right->addStretch();
  auto* columns = new QHBoxLayout;
  columns->addLayout(left);
  columns->addLayout(right);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(columns);
  layout->addLayout(buttons);
  setMinimumWidth(320);
}

void CdlgSetting::ShowSettings() {
  m_localIp->setText(QString::fromStdString(m_settings.LocalIp));
  m_port->setText(QString::number(static_cast<std::uint32_t>(m_settings.LocalPort)));
  m_delay->setText(QString::number(static_cast<std::uint32_t>(m_settings.DelayComRead)));
  m_bootStart->setChecked(m_settings.BootAutoStart);
  m_autoStart->setChecked(m_settings.AutoStartSimulation);
  m_filterHeartbeat->setChecked(m_settings.FilterHearbeat);
  m_escape->setChecked(m_settings.Escape);
  m_allowedNetworks->setText(QString::fromStdString(m_settings.AllowedNetworks));
  m_refuseUnconfigured->setChecked(m_settings.RefuseUnconfigured);
  m_maxPerAddress->setText(QString::number(m_settings.MaxConnectionsPerAddress));
  m_tlsPort->setText(QString::number(m_settings.TlsPort));
  m_tlsCertificate->setText(QString::fromStdString(m_settings.TlsCertificate));
  m_tlsKey->setText(QString::fromStdString(m_settings.TlsKey));
  m_tlsClientCa->setText(QString::fromStdString(m_settings.TlsClientCa));
  m_tlsOnly->setChecked(m_settings.TlsOnly);
  m_metricsAddress->setText(QString::fromStdString(m_settings.MetricsAddress));
  m_eventsKeepDays->setText(QString::number(m_settings.EventsKeepDays));
  m_eventCommand->setText(QString::fromStdString(m_settings.EventCommand));
  m_offlineAlarm->setText(QString::number(m_settings.OfflineAlarmSeconds));
  m_resendStored->setChecked(m_settings.ResendStored);
}

bool CdlgSetting::Save() {
  // Enter on the default button leaves the focus in a field, whose own check then has
  // not run: a port of 0 would be stored.
  for (CLimitEdit* number : {m_port, m_delay, m_maxPerAddress, m_tlsPort, m_eventsKeepDays, m_offlineAlarm}) {
    if (!number->CheckIntegerRange()) return false;
  }
  const std::optional<std::string> localIp = LocalIpField(m_localIp->text().trimmed().toStdString());
  if (!localIp) {
    CustomMessageBox(this, Text(IDS_LOCAL_IP_INVALID), "", 0);
    m_localIp->setFocus();
    m_localIp->selectAll();
    return false;
  }
  std::string bad;
  const std::optional<std::string> allowed = NetworksField(m_allowedNetworks->text().toStdString(), &bad);
  if (!allowed) {
    CustomMessageBox(this, Filled(Text(IDS_NETWORKS_INVALID), {bad}), "", 0);
    m_allowedNetworks->setFocus();
    return false;
  }
  const std::optional<std::string> metrics = ListenAddressField(m_metricsAddress->text().toStdString());
  if (!metrics) {
    CustomMessageBox(this, Text(IDS_METRICS_ADDRESS_INVALID), "", 0);
    m_metricsAddress->setFocus();
    return false;
  }
  SettingInfo next = m_settings;
  for (const auto& [edit, member] : {std::pair{m_tlsCertificate, &next.TlsCertificate}, std::pair{m_tlsKey, &next.TlsKey},
                                     std::pair{m_tlsClientCa, &next.TlsClientCa},
                                     std::pair{m_eventCommand, &next.EventCommand}}) {
    const std::optional<std::string> path = PathField(edit->text().toStdString());
    if (!path) {
      CustomMessageBox(this, Text(IDS_FILE_NAME_INVALID), "", 0);
      edit->setFocus();
      return false;
    }
    *member = *path;
  }
  next.MetricsAddress = *metrics;
  next.TlsPort = m_tlsPort->text().toInt();
  next.TlsOnly = m_tlsOnly->isChecked();
  next.EventsKeepDays = m_eventsKeepDays->text().toInt();
  next.OfflineAlarmSeconds = m_offlineAlarm->text().toInt();
  next.ResendStored = m_resendStored->isChecked();
  next.LocalIp = *localIp;
  next.AllowedNetworks = *allowed;
  next.RefuseUnconfigured = m_refuseUnconfigured->isChecked();
  // The number fields hold whole numbers in their ranges now.
  next.LocalPort = m_port->text().toInt();
  next.DelayComRead = m_delay->text().toInt();
  next.MaxConnectionsPerAddress = m_maxPerAddress->text().toInt();
  next.BootAutoStart = m_bootStart->isChecked();
  next.AutoStartSimulation = m_autoStart->isChecked();
  next.FilterHearbeat = m_filterHeartbeat->isChecked();
  next.Escape = m_escape->isChecked();
  if (!TlsSettingsProblem(next).empty()) {
    CustomMessageBox(this, Text(IDS_TLS_SETTINGS_INCOMPLETE), "", 0);
    m_tlsPort->setFocus();
    return false;
  }

  UpdateStartEntry(next.BootAutoStart);
  const bool saved = m_store.SaveSettings(next) == 1;
  std::string result;
  if (saved) {
    m_settings = next;
    // The list as stored: canonical, as the service and the command line show it.
    m_allowedNetworks->setText(QString::fromStdString(next.AllowedNetworks));
    ReplaceSettings(next);
    result = Text(IDS_SETTINGS_SAVED);
  } else {
    WriteDebugLine("[ERROR]", "CdlgSetting: the settings were not saved: %s\n", m_store.LastFailureText().c_str());
    result = Text(IDS_SETTINGS_FAILED);
    CustomMessageBox(this, result, "", 0);
  }
  SendStatusText(m_mainWindow, 0, result);
  return saved;
}

void CdlgSetting::UpdateStartEntry(bool bootAutoStart) {
  const std::string path = AutostartEntryPath();
  if (bootAutoStart) {
    if (const int error = WriteLogOnEntry(m_program); error != 0) {
      WriteDebugLine("[ERROR]", "CdlgSetting: cannot write the log-on entry %s: %s\n", path.c_str(),
                     std::strerror(error));
      CustomMessageBox(this, Text(IDS_BOOT_START_FAILED), "", 0);
    }
  } else if (const int error = RemoveAutostartEntry(); error != 0) {
    CustomMessageBox(this, Filled(Text(IDS_BOOT_START_NOT_REMOVED), {path + ": " + std::strerror(error)}), "", 0);
  }
}
