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

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(m_set);
  // Cancel leaves every field unchecked (CLimitEdit skips its check for it), as Escape does.
  auto* cancel = new QPushButton(QText(IDS_CANCEL), this);
  cancel->setProperty(CLimitEdit::kSkipsChecks, true);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  buttons->addWidget(cancel);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(network);
  layout->addWidget(admission);
  layout->addWidget(serial);
  layout->addWidget(system);
  layout->addWidget(extra);
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
}

bool CdlgSetting::Save() {
  // Enter on the default button leaves the focus in a field, whose own check then has
  // not run: a port of 0 would be stored.
  if (!m_port->CheckIntegerRange() || !m_delay->CheckIntegerRange() || !m_maxPerAddress->CheckIntegerRange())
    return false;
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
  SettingInfo next = m_settings;
  next.LocalIp = *localIp;
  next.AllowedNetworks = *allowed;
  next.RefuseUnconfigured = m_refuseUnconfigured->isChecked();
  // The three hold whole numbers in their ranges now.
  next.LocalPort = m_port->text().toInt();
  next.DelayComRead = m_delay->text().toInt();
  next.MaxConnectionsPerAddress = m_maxPerAddress->text().toInt();
  next.BootAutoStart = m_bootStart->isChecked();
  next.AutoStartSimulation = m_autoStart->isChecked();
  next.FilterHearbeat = m_filterHeartbeat->isChecked();
  next.Escape = m_escape->isChecked();

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
