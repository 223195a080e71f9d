#include "ui/CDlgMgtVirtualCom.h"

#include <QComboBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <utility>

#include "platform/AppPaths.h"
#include "platform/CPairRecord.h"
#include "platform/Notice.h"
#include "platform/WriteDebugLine.h"
#include "resources/CResourceStrings.h"
#include "resources/ResourceIds.h"
#include "serial/SystemPortNames.h"
#include "ui/CMessageBoxCustom.h"
#include "ui/ResourceText.h"
#include "ui/StatusText.h"

namespace {

constexpr int kOfferedPorts = 256;


}  // namespace

CDlgMgtVirtualCom::CDlgMgtVirtualCom(QWidget* parent, TargetHandle mainWindow, std::string setupcPath)
    : QDialog(parent), m_mainWindow(mainWindow), m_setupcPath(std::move(setupcPath)) {
  setWindowTitle(DialogText(IDD_MGT_VIRTUAL_COM, IDC_CAPTION));
  m_ports = new QComboBox(this);
  m_create = new QPushButton(DialogText(IDD_MGT_VIRTUAL_COM, IDC_VCOM_CREATE), this);
  for (int n = 1; n <= kOfferedPorts; ++n) m_ports->addItem(QStringLiteral("COM%1").arg(n));
  for (const std::string& name : SystemPortNames()) {
    const int index = m_ports->findText(QString::fromStdString(name), Qt::MatchFixedString);
    if (index >= 0) m_ports->removeItem(index);
  }
  m_ports->setCurrentIndex(0);
  // 256 names: a list of a screen's height is hard to pick from; this one scrolls.
  m_ports->setStyleSheet(QStringLiteral("QComboBox { combobox-popup: 0; }"));
  m_ports->setMaxVisibleItems(16);
  connect(m_create, &QPushButton::clicked, this, &CDlgMgtVirtualCom::Create);
  m_pairs = new QTableWidget(0, 3, this);
  m_pairs->setHorizontalHeaderLabels({QText(IDS_VCOM_COL_PORT), QText(IDS_VCOM_COL_FAR_END), QText(IDS_VCOM_COL_STATE)});
  m_pairs->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_pairs->setSelectionMode(QAbstractItemView::SingleSelection);
  m_pairs->setEditTriggers(QAbstractItemView::NoEditTriggers);
  m_pairs->verticalHeader()->hide();
  // The names and the state whole (a stale pair's state is a sentence); the far end's path
  // takes the rest, cut in its middle so that its own name stays seen (whole in its tooltip).
  m_pairs->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
  m_pairs->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
  m_pairs->horizontalHeader()->setSectionResizeMode(2, QHeaderView::ResizeToContents);
  m_pairs->setWordWrap(false);
  m_pairs->setTextElideMode(Qt::ElideMiddle);
  m_remove = new QPushButton(QText(IDS_VCOM_REMOVE), this);
  connect(m_remove, &QPushButton::clicked, this, &CDlgMgtVirtualCom::Remove);
  m_message = new QLabel(this);
  m_message->setWordWrap(true);
  m_message->setTextInteractionFlags(Qt::TextSelectableByMouse);

  auto* group = new QGroupBox(DialogText(IDD_MGT_VIRTUAL_COM, IDC_VCOM_GROUP_CREATE), this);
  auto* row = new QHBoxLayout(group);
  row->addWidget(new QLabel(DialogText(IDD_MGT_VIRTUAL_COM, IDC_VCOM_LABEL_PORT), group));
  row->addWidget(m_ports, 1);
  row->addWidget(m_create);
  auto* pairs = new QGroupBox(QText(IDS_VCOM_PAIRS), this);
  auto* pairsLayout = new QVBoxLayout(pairs);
  pairsLayout->addWidget(m_pairs);
  auto* removeRow = new QHBoxLayout;
  removeRow->addStretch();
  removeRow->addWidget(m_remove);
  pairsLayout->addLayout(removeRow);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(pairs, 1);
  layout->addWidget(group);
  layout->addWidget(m_message);
  setMinimumWidth(320);
  resize(560, 380);
  RefreshPairs();

  m_process.setProcessChannelMode(QProcess::SeparateChannels);
  m_bound.setSingleShot(true);
  connect(&m_process, &QProcess::finished, this, &CDlgMgtVirtualCom::Finished);
  connect(&m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
    if (error == QProcess::FailedToStart) FailedToStart();
  });
  connect(&m_bound, &QTimer::timeout, this, [this] {
    WriteDebugLine("[ERROR]", "CDlgMgtVirtualCom: setupc did not end within %d ms; stopped\n", kSetupcBoundMs);
    // Finished follows and tells the failure.
    m_process.kill();
  });
}

CDlgMgtVirtualCom::~CDlgMgtVirtualCom() {
  if (!Creating()) return;
  disconnect(&m_process, nullptr, this, nullptr);
  if (!m_process.waitForFinished(kSetupcBoundMs)) m_process.kill();
  m_process.waitForFinished();
}

std::string CDlgMgtVirtualCom::DefaultSetupcPath() { return ExecutableDirectory() + "/setupc"; }

QString CDlgMgtVirtualCom::Message() const { return m_message->text(); }

void CDlgMgtVirtualCom::Tell(const std::string& text) {
  m_message->setText(QString::fromStdString(text));
  SendStatusText(m_mainWindow, 0, text);
}

void CDlgMgtVirtualCom::RefreshPairs() {
  const std::vector<CPairRecord> records = CPairRecord::Scan(PortDirectory());
  m_pairs->setRowCount(static_cast<int>(records.size()));
  int row = 0;
  for (const CPairRecord& record : records) {
    const bool alive = record.HolderAlive();
    const QString cells[] = {QString::fromStdString(record.nameA),
                             QString::fromStdString(record.nameB + "  (" + PortDirectory() + "/" + record.nameB + ")"),
                             QText(alive ? IDS_VCOM_ALIVE : IDS_VCOM_STALE)};
    for (int column = 0; column < 3; ++column) {
      auto* item = new QTableWidgetItem(cells[column]);
      item->setToolTip(cells[column]);
      if (!alive) item->setForeground(QColor(170, 0, 0));
      m_pairs->setItem(row, column, item);
    }
    ++row;
  }
}

void CDlgMgtVirtualCom::Remove() {
  if (Creating()) return;
  const QList<QTableWidgetItem*> chosen = m_pairs->selectedItems();
  if (chosen.isEmpty()) {
    CustomMessageBox(this, Text(IDS_VCOM_SELECT), "", 0);
    return;
  }
  const int row = chosen.front()->row();
  const std::vector<CPairRecord> records = CPairRecord::Scan(PortDirectory());
  const QString name = m_pairs->item(row, 0)->text();
  std::string farEnd;
  for (const CPairRecord& record : records)
    if (QString::fromStdString(record.nameA) == name) farEnd = record.nameB;
  if (CustomMessageBox(this, Filled(Text(IDS_VCOM_CONFIRM_REMOVE), {name.toStdString(), farEnd}), Text(IDS_WARNING),
                       4) != IDYES)
    return;
  const QString program = QString::fromStdString(m_setupcPath);
  if (!QFileInfo::exists(program)) {
    CustomMessageBox(this, Text(IDS_SETUPC_NOT_FOUND), "", 0);
    return;
  }
  m_creating = name;
  m_removing = true;
  Run({QStringLiteral("remove"), QStringLiteral("PortName=") + name});
}

void CDlgMgtVirtualCom::Run(const QStringList& arguments) {
  SetRunning(true);
  m_bound.start(kSetupcBoundMs);
  m_process.start(QString::fromStdString(m_setupcPath), arguments);
}

void CDlgMgtVirtualCom::Create() {
  if (Creating()) return;
  const QString name = m_ports->currentText();
  if (name.isEmpty()) {
    CustomMessageBox(this, Text(IDS_PORT_NAME_EMPTY), "", 0);
    return;
  }
  const QString program = QString::fromStdString(m_setupcPath);
  if (!QFileInfo::exists(program)) {
    CustomMessageBox(this, Text(IDS_SETUPC_NOT_FOUND), "", 0);
    return;
  }
  m_creating = name;
  m_removing = false;
  Run({QStringLiteral("install"), QStringLiteral("PortName=") + name,
       QStringLiteral("PortName=%1_FF,EmuBR=yes,EmuOverrun=yes").arg(name)});
}

void CDlgMgtVirtualCom::Finished(int exitCode, QProcess::ExitStatus status) {
  m_bound.stop();
  SetRunning(false);
  const std::string detail = QString::fromLocal8Bit(m_process.readAllStandardError()).trimmed().toStdString();
  RefreshPairs();
  if (status != QProcess::NormalExit || exitCode != 0) {
    TellFailure(detail);
    return;
  }
  if (m_removing) {
    if (m_ports->findText(m_creating, Qt::MatchFixedString) < 0) m_ports->addItem(m_creating);
    Tell(Filled(Text(IDS_VCOM_REMOVED), {m_creating.toStdString()}));
    return;
  }
  const int index = m_ports->findText(m_creating, Qt::MatchFixedString);
  if (index >= 0) m_ports->removeItem(index);
  m_ports->setCurrentIndex(0);
  const std::string name = m_creating.toStdString();
  Tell(Filled(Text(IDS_VCOM_CREATED_AT), {name, name + "_FF", PortDirectory() + "/" + name + "_FF"}));
}

void CDlgMgtVirtualCom::FailedToStart() {
  m_bound.stop();
  SetRunning(false);
  TellFailure(m_process.errorString().toStdString());
}

void CDlgMgtVirtualCom::TellFailure(const std::string& detail) {
  WriteDebugLine("[ERROR]", "CDlgMgtVirtualCom: setupc %s %s failed: %s\n", m_removing ? "remove" : "install",
                 m_creating.toStdString().c_str(), detail.c_str());
  const std::string failed = Text(m_removing ? IDS_VCOM_REMOVE_FAILED : IDS_SETUPC_FAILED);
  m_message->setText(QString::fromStdString(failed));
  CustomMessageBox(this, detail.empty() ? failed : failed + "\n" + detail, "", 0);
}

void CDlgMgtVirtualCom::SetRunning(bool running) {
  m_create->setEnabled(!running);
  m_remove->setEnabled(!running);
  m_ports->setEnabled(!running);
}
