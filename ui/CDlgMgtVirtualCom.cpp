#include "ui/CDlgMgtVirtualCom.h"

#include <QComboBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <utility>

#include "platform/AppPaths.h"
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
  connect(m_create, &QPushButton::clicked, this, &CDlgMgtVirtualCom::Create);

  auto* group = new QGroupBox(DialogText(IDD_MGT_VIRTUAL_COM, IDC_VCOM_GROUP_CREATE), this);
  auto* row = new QHBoxLayout(group);
  row->addWidget(new QLabel(DialogText(IDD_MGT_VIRTUAL_COM, IDC_VCOM_LABEL_PORT), group));
  row->addWidget(m_ports, 1);
  row->addWidget(m_create);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group);
  setMinimumWidth(320);

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
  SetRunning(true);
  m_bound.start(kSetupcBoundMs);
  m_process.start(program, {QStringLiteral("install"), QStringLiteral("PortName=") + name,
                            QStringLiteral("PortName=%1_FF,EmuBR=yes,EmuOverrun=yes").arg(name)});
}

void CDlgMgtVirtualCom::Finished(int exitCode, QProcess::ExitStatus status) {
  m_bound.stop();
  SetRunning(false);
  const std::string detail = QString::fromLocal8Bit(m_process.readAllStandardError()).trimmed().toStdString();
  if (status != QProcess::NormalExit || exitCode != 0) {
    TellFailure(detail);
    return;
  }
  const int index = m_ports->findText(m_creating, Qt::MatchFixedString);
  if (index >= 0) m_ports->removeItem(index);
  m_ports->setCurrentIndex(0);
  SendStatusText(m_mainWindow, 0, Text(IDS_VIRTUAL_PORT_CREATED));
}

void CDlgMgtVirtualCom::FailedToStart() {
  m_bound.stop();
  SetRunning(false);
  TellFailure(m_process.errorString().toStdString());
}

void CDlgMgtVirtualCom::TellFailure(const std::string& detail) {
  WriteDebugLine("[ERROR]", "CDlgMgtVirtualCom: setupc install %s failed: %s\n", m_creating.toStdString().c_str(),
                 detail.c_str());
  CustomMessageBox(this, detail.empty() ? Text(IDS_SETUPC_FAILED) : Text(IDS_SETUPC_FAILED) + "\n" + detail, "", 0);
}

void CDlgMgtVirtualCom::SetRunning(bool running) {
  m_create->setEnabled(!running);
  m_ports->setEnabled(!running);
}
