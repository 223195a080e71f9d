#include "ui/CDlgAddModifyDevice.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "core/CTunnelTable.h"
#include "model/SamePortRule.h"
#include "model/SettingFields.h"
#include "model/TunnelFields.h"
#include "model/WindowMessages.h"
#include "platform/CMessageTarget.h"
#include "platform/Notice.h"
#include "resources/CResourceStrings.h"
#include "resources/ResourceIds.h"
#include "serial/SystemPortNames.h"
#include "service/CDeviceList.h"
#include "service/TunnelSaving.h"
#include "storage/CStoreTransaction.h"
#include "ui/CLimitEdit.h"
#include "ui/CMessageBoxCustom.h"
#include "ui/ResourceText.h"
#include "ui/StatusText.h"

namespace {

// Each entry is stored as it is; `show` gives the text it is shown with (the parity's
// name in the language in use).
void FillList(QComboBox* list, std::span<const char* const> entries,
              QString (*show)(const std::string&) = nullptr) {
  for (const char* entry : entries)
    list->addItem(show != nullptr ? show(entry) : QString::fromLatin1(entry), QString::fromLatin1(entry));
}

// The entry equal to `value` ignoring letter case; none when no entry is.
void Select(QComboBox* list, const std::string& value) {
  const QString text = QString::fromStdString(value);
  const int stored = list->findData(text, Qt::UserRole, Qt::MatchFixedString);
  list->setCurrentIndex(stored >= 0 ? stored : list->findText(text, Qt::MatchFixedString));
}

// The chosen entry as it is stored.
std::string Chosen(const QComboBox* list) {
  const QVariant stored = list->currentData();
  return (stored.isValid() ? stored.toString() : list->currentText()).toStdString();
}

}  // namespace

CDlgAddModifyDevice::CDlgAddModifyDevice(QWidget* parent, TargetHandle mainWindow, TargetHandle owner)
    : QDialog(parent), m_mainWindow(mainWindow), m_owner(owner), m_id(new CLimitEdit(this)),
      m_port(new QComboBox(this)), m_baudRate(new QComboBox(this)), m_dataBits(new QComboBox(this)),
      m_parity(new QComboBox(this)), m_stopBits(new QComboBox(this)), m_note(new QPlainTextEdit(this)),
      m_phone(new QLineEdit(this)), m_networks(new QLineEdit(this)),
      m_ok(new QPushButton(DialogText(IDD_ADD_MODIFY_DEVICE, IDOK), this)) {
  // The owner is out of reach while a tunnel is being edited.
  setWindowModality(Qt::WindowModal);
  m_id->ResetToDigits();
  m_id->AddCharRange('a', 'f');
  m_id->AddCharRange('A', 'F');
  m_id->setMaxLength(8);
  FillList(m_baudRate, kBaudRates);
  FillList(m_dataBits, kDataBits);
  FillList(m_parity, kParities, ParityText);
  FillList(m_stopBits, kStopBits);
  Select(m_baudRate, kDefaultBaudRate);
  Select(m_dataBits, kDefaultDataBits);
  Select(m_parity, kDefaultParity);
  Select(m_stopBits, kDefaultStopBits);
  m_note->setTabChangesFocus(true);
  m_note->setFixedHeight(70);
  m_phone->setMaxLength(static_cast<int>(kLongestPhone));
  m_phone->setPlaceholderText(DialogText(IDD_ADD_MODIFY_DEVICE, IDC_EDITOR_PHONE));
  m_networks->setPlaceholderText(DialogText(IDD_ADD_MODIFY_DEVICE, IDC_EDITOR_NETWORKS));
  m_ok->setDefault(true);
  connect(m_ok, &QPushButton::clicked, this, &CDlgAddModifyDevice::Save);

  auto* top = new QFormLayout;
  top->addRow(new QLabel(DialogText(IDD_ADD_MODIFY_DEVICE, IDC_EDITOR_LABEL_DEVICE_ID), this), m_id);
  top->addRow(new QLabel(DialogText(IDD_ADD_MODIFY_DEVICE, IDC_EDITOR_LABEL_PORT), this), m_port);
  auto* group = new QGroupBox(DialogText(IDD_ADD_MODIFY_DEVICE, IDC_EDITOR_GROUP_SERIAL), this);
  auto* serial = new QFormLayout(group);
  serial->addRow(new QLabel(DialogText(IDD_ADD_MODIFY_DEVICE, IDC_EDITOR_LABEL_BAUD_RATE), group), m_baudRate);
  serial->addRow(new QLabel(DialogText(IDD_ADD_MODIFY_DEVICE, IDC_EDITOR_LABEL_DATA_BITS), group), m_dataBits);
  serial->addRow(new QLabel(DialogText(IDD_ADD_MODIFY_DEVICE, IDC_EDITOR_LABEL_PARITY), group), m_parity);
  serial->addRow(new QLabel(DialogText(IDD_ADD_MODIFY_DEVICE, IDC_EDITOR_LABEL_STOP_BITS), group), m_stopBits);
  auto* binding = new QGroupBox(DialogText(IDD_ADD_MODIFY_DEVICE, IDC_EDITOR_GROUP_BINDING), this);
  auto* bindingFields = new QFormLayout(binding);
  bindingFields->addRow(new QLabel(DialogText(IDD_ADD_MODIFY_DEVICE, IDC_EDITOR_LABEL_PHONE), binding), m_phone);
  bindingFields->addRow(new QLabel(DialogText(IDD_ADD_MODIFY_DEVICE, IDC_EDITOR_LABEL_NETWORKS), binding), m_networks);
  auto* note = new QFormLayout;
  note->addRow(new QLabel(DialogText(IDD_ADD_MODIFY_DEVICE, IDC_EDITOR_LABEL_NOTE), this), m_note);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(m_ok);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(group);
  layout->addWidget(binding);
  layout->addLayout(note);
  layout->addLayout(buttons);
  setMinimumWidth(340);
  setWindowTitle(QString::fromStdString(Text(IDS_ADD_DEVICE)));
}

void CDlgAddModifyDevice::ReloadPorts(bool tellNone) {
  const QString chosen = m_port->currentText();
  m_port->clear();
  for (const std::string& port : SystemPortNames()) m_port->addItem(QString::fromStdString(port));
  if (m_port->count() == 0) {
    if (tellNone) CustomMessageBox(isVisible() ? this : parentWidget(), Text(IDS_NO_SERIAL_PORT), "", 0);
    return;
  }
  const int at = m_port->findText(chosen);
  m_port->setCurrentIndex(at >= 0 ? at : 0);
}

void CDlgAddModifyDevice::FillFromTunnel(const TunnelInfo& tunnel) {
  // The tunnel's own port is offered even when this computer lacks it.
  ReloadPorts(false);
  m_id->setText(QString::fromStdString(tunnel.DeviceID));
  m_id->setEnabled(false);
  m_note->setPlainText(QString::fromStdString(tunnel.Note));
  if (!tunnel.SerialNo.empty() && m_port->findText(QString::fromStdString(tunnel.SerialNo), Qt::MatchFixedString) < 0)
    m_port->addItem(QString::fromStdString(tunnel.SerialNo));
  Select(m_port, tunnel.SerialNo);
  Select(m_baudRate, tunnel.BaudRate);
  Select(m_dataBits, tunnel.DateBit);
  Select(m_parity, tunnel.Parity);
  Select(m_stopBits, tunnel.StopBit);
  const TunnelBinding binding = CTunnelTable::Instance().GetBinding(tunnel.DeviceID).value_or(TunnelBinding{});
  m_phone->setText(QString::fromStdString(binding.Phone));
  m_networks->setText(QString::fromStdString(binding.Networks));
}

void CDlgAddModifyDevice::ShowEditor(int mode) {
  if (mode == AddMode || mode == ModifyMode) {
    m_mode = static_cast<Mode>(mode);
    setWindowTitle(QString::fromStdString(Text(mode == AddMode ? IDS_ADD_DEVICE : IDS_MODIFY_DEVICE)));
    m_id->setEnabled(mode == AddMode);
  }
  // Ports come and go (virtual pairs, adapters): a new tunnel is offered today's.
  if (m_mode == AddMode && !isVisible()) ReloadPorts(true);
  adjustSize();
  if (QWidget* owner = parentWidget(); owner != nullptr && owner->isVisible())
    move(owner->window()->frameGeometry().center() - rect().center());
  show();
  raise();
  activateWindow();
}

void CDlgAddModifyDevice::EditListedDevice(CDeviceList& list, int row) {
  if (row < 0 || row >= list.RowCount()) {
    CustomMessageBox(parentWidget(), Text(IDS_SELECT_TO_MODIFY), "", 0);
    return;
  }
  list.SetSelectedRow(row);
  FillFromTunnel(CTunnelTable::Instance().Get(list.Row(row).DeviceId));
  ShowEditor(ModifyMode);
}

void CDlgAddModifyDevice::AddForDevice(const std::string& id) {
  ShowEditor(AddMode);
  m_id->setText(QString::fromStdString(id));
  m_note->clear();
  m_phone->clear();
  m_networks->clear();
  m_port->setFocus();
}

void CDlgAddModifyDevice::closeEvent(QCloseEvent* event) {
  CMessageTarget::Send(m_owner, WM_DEVICE_EDITED, 2, 0);
  QDialog::closeEvent(event);
}

void CDlgAddModifyDevice::done(int result) {
  QDialog::done(result);
  emit Closed();
}

void CDlgAddModifyDevice::Tell(const std::string& text) { CustomMessageBox(this, text, "", 0); }

CDlgAddModifyDevice::Outcome CDlgAddModifyDevice::Write(const TunnelInfo& edited, const TunnelBinding& binding,
                                                        bool consented, std::vector<TunnelInfo>& aligned,
                                                        std::string& reason) {
  CAccessInterface store;
  // The reason goes into this editor's own message.
  store.SetOpenFailureNotice(false);
  if (store.OpenDatabase(DATABASE_FILE_NAME) != 1) {
    reason = store.LastFailureText();
    return Outcome::Failed;
  }
  CStoreTransaction transaction(store);
  std::vector<TunnelInfo> stored;
  if (!transaction.Begun() || store.LoadTunnels(stored) != 1) {
    reason = store.LastFailureText();
    return Outcome::Failed;
  }
  if (m_mode == AddMode && FindTunnelIgnoringCase(stored, edited.DeviceID) != nullptr) return Outcome::Exists;
  aligned = TunnelsToAlign(stored, edited);
  // The write lock is given back before the question: the not-forwarded writer and the
  // command line share the file.
  if (!aligned.empty() && !consented) return Outcome::NeedsConsent;
  const std::string failed = WriteTunnelEdit(store, aligned, edited, m_mode == AddMode);
  if (failed.empty() && store.SaveBinding(binding) == 1 && transaction.Commit()) return Outcome::Saved;
  reason = store.LastFailureText();
  return !failed.empty() && failed != edited.DeviceID ? Outcome::OtherFailed : Outcome::Failed;
}

void CDlgAddModifyDevice::Save() {
  m_record.DeviceID = m_id->text().toStdString();
  m_record.Note = m_note->toPlainText().toStdString();
  m_record.SerialNo = Chosen(m_port);
  m_record.BaudRate = Chosen(m_baudRate);
  m_record.DateBit = Chosen(m_dataBits);
  m_record.Parity = Chosen(m_parity);
  m_record.StopBit = Chosen(m_stopBits);
  if (m_record.DeviceID.size() != 8) {
    Tell(Text(IDS_DEVICE_ID_LENGTH));
    return;
  }
  // The field refuses other characters as they are typed, not all that a menu pastes.
  const auto id = DeviceIdField(m_record.DeviceID);
  if (!id) {
    Tell(m_id->RejectionMessage());
    return;
  }
  const auto port = PortField(m_record.SerialNo);
  if (!port) {
    Tell(Text(IDS_NO_SERIAL_PORT));
    return;
  }
  const auto phone = PhoneField(m_phone->text().toStdString());
  if (!phone) {
    Tell(Text(IDS_PHONE_INVALID));
    m_phone->setFocus();
    return;
  }
  std::string bad;
  const auto networks = NetworksField(m_networks->text().toStdString(), &bad);
  if (!networks) {
    Tell(Filled(Text(IDS_NETWORKS_INVALID), {bad}));
    m_networks->setFocus();
    return;
  }
  // Devices register in upper case; the tunnel must match them byte for byte.
  m_record.DeviceID = *id;
  m_record.SerialNo = *port;
  m_binding = {*id, *phone, *networks};

  const bool add = m_mode == AddMode;
  std::vector<TunnelInfo> aligned;
  std::string reason;
  Outcome outcome = Write(m_record, m_binding, false, aligned, reason);
  if (outcome == Outcome::NeedsConsent) {
    if (CustomMessageBox(this, Text(IDS_SAME_PORT_WARNING), Text(IDS_WARNING), 4) != IDYES) return;
    outcome = Write(m_record, m_binding, true, aligned, reason);
  }
  const std::string failure = Text(add ? IDS_ADD_FAILED : IDS_MODIFY_FAILED);
  switch (outcome) {
    case Outcome::Exists:
      Tell(Text(IDS_DEVICE_EXISTS));
      return;
    case Outcome::OtherFailed:
      Tell(Text(IDS_MODIFY_FAILED) + "\n" + reason);
      return;
    case Outcome::Failed:
      Tell(failure + "\n" + reason);
      SendStatusText(m_mainWindow, 0, failure);
      return;
    case Outcome::NeedsConsent:  // only without consent, which was given above
      return;
    case Outcome::Saved:
      break;
  }
  CTunnelTable& table = CTunnelTable::Instance();
  for (const TunnelInfo& tunnel : aligned) table.Modify(tunnel);
  if (add)
    table.Add(m_record);
  else
    table.Modify(m_record);
  // Cannot fail: NetworksField accepted the networks above.
  table.SetBinding(m_binding, bad);
  m_phone->setText(QString::fromStdString(m_binding.Phone));
  m_networks->setText(QString::fromStdString(m_binding.Networks));
  CMessageTarget::Send(m_owner, WM_DEVICE_EDITED, add ? 0 : 1, reinterpret_cast<LPARAM>(&m_record));
  SendStatusText(m_mainWindow, 0, Text(add ? IDS_ADD_SUCCEEDED : IDS_MODIFY_SUCCEEDED));
}
