#include "ui/CDlgHistory.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "model/TunnelFields.h"
#include "resources/ResourceIds.h"
#include "storage/CAccessInterface.h"
#include "ui/ResourceText.h"

CDlgHistory::CDlgHistory(QWidget* parent, const std::string& deviceId, std::size_t maxShown)
    : QDialog(parent), m_maxShown(maxShown) {
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(QText(IDS_HISTORY_TITLE));
  auto* layout = new QVBoxLayout(this);
  auto* top = new QHBoxLayout;
  top->addWidget(new QLabel(QText(IDS_HISTORY_DEVICE), this));
  m_device = new QLineEdit(QString::fromStdString(deviceId), this);
  m_device->setMaxLength(8);
  top->addWidget(m_device);
  auto* refresh = new QPushButton(QText(IDS_HISTORY_REFRESH), this);
  top->addWidget(refresh);
  top->addStretch();
  layout->addLayout(top);

  m_table = new QTableWidget(this);
  m_table->setColumnCount(5);
  m_table->setHorizontalHeaderLabels(QText(IDS_HISTORY_COLUMNS).split(QLatin1Char('\n')));
  m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_table->verticalHeader()->hide();
  m_table->horizontalHeader()->setStretchLastSection(true);
  layout->addWidget(m_table);
  m_message = new QLabel(this);
  layout->addWidget(m_message);
  resize(900, 480);

  connect(refresh, &QPushButton::clicked, this, &CDlgHistory::Refresh);
  connect(m_device, &QLineEdit::returnPressed, this, &CDlgHistory::Refresh);
  Refresh();
}

QString CDlgHistory::Message() const { return m_message->text(); }

void CDlgHistory::Refresh() {
  m_table->setRowCount(0);
  DeviceEventFilter filter;
  const std::string typed = m_device->text().trimmed().toStdString();
  if (!typed.empty()) {
    const auto id = DeviceIdField(typed);
    if (!id) {
      m_message->setText(QString::fromStdString(DeviceIdProblem(typed)));
      return;
    }
    filter.DeviceId = *id;
    m_device->setText(QString::fromStdString(*id));
  }
  // A file this user may only read still shows its history.
  CAccessInterface store;
  store.SetOpenFailureNotice(false);
  bool more = false;
  std::int64_t shown = -1;
  if (store.OpenDatabaseReadOnly(DATABASE_FILE_NAME) == 1) {
    shown = store.VisitDeviceEvents(
        filter, m_maxShown,
        [this](const DeviceEvent& event) {
          const int row = m_table->rowCount();
          m_table->insertRow(row);
          int column = 0;
          for (const std::string* cell : {&event.Time, &event.DeviceId, &event.Event, &event.Address, &event.Detail})
            m_table->setItem(row, column++, new QTableWidgetItem(QString::fromStdString(*cell)));
          return true;
        },
        &more);
  }
  if (shown < 0) {
    m_message->setText(QString::fromStdString(store.LastFailureText()));
    return;
  }
  m_table->resizeColumnsToContents();
  m_table->scrollToBottom();
  m_message->setText(
      QString::fromStdString(Filled(Text(more ? IDS_HISTORY_MORE : IDS_HISTORY_COUNT), {std::to_string(shown)})));
}
