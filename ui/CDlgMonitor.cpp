#include "ui/CDlgMonitor.h"

#include <QCheckBox>
#include <QDateTime>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QStandardItemModel>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>

#include "core/CTcpServer.h"
#include "core/CTunnelTable.h"
#include "model/TunnelFields.h"
#include "model/WindowMessages.h"
#include "resources/CResourceStrings.h"
#include "resources/ListColumns.h"
#include "resources/ResourceIds.h"
#include "serial/CSerialInterface.h"
#include "service/CDlgSimulation.h"
#include "service/MonitorRow.h"
#include "ui/CMonitorRowModel.h"
#include "ui/CsvFile.h"
#include "ui/DataForms.h"
#include "ui/ResourceText.h"

namespace {

const QString kListStyle = QStringLiteral("QTableView { background-color: rgb(249, 253, 232); }");

// Each column at least its standard width, its caption's and, for a channel, the longest
// channel text's, so that no caption or channel is cut in either language. Returns the
// columns' total width.
int SetUpList(QTableView* list, unsigned controlId) {
  list->setSelectionBehavior(QAbstractItemView::SelectRows);
  list->setSelectionMode(QAbstractItemView::SingleSelection);
  list->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list->setWordWrap(false);
  list->setStyleSheet(kListStyle);
  list->verticalHeader()->hide();
  // Every row is one line: the view never measures rows one by one.
  list->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  list->verticalHeader()->setDefaultSectionSize(list->fontMetrics().height() + 6);
  const auto columns = ListColumns(IDD_MONITOR, controlId);
  const std::string widest = MonitorRow::LinkChannel(MonitorRow::ChannelText("00000000", "COM1024"), true);
  const int longestChannel = list->fontMetrics().horizontalAdvance(QString::fromStdString(widest));
  int total = 0;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const QString caption = QString::fromStdString(Text(columns[i].stringId));
    int width = std::max(columns[i].width, list->horizontalHeader()->fontMetrics().horizontalAdvance(caption) + 24);
    if (columns[i].stringId == IDS_COL_CHANNEL) width = std::max(width, longestChannel + 24);
    if (columns[i].stringId == IDS_COL_TIME)
      width = std::max(width, list->fontMetrics().horizontalAdvance(QStringLiteral("0000/00/00 00:00:00.000")) + 24);
    list->setColumnWidth(static_cast<int>(i), width);
    total += width;
  }
  list->horizontalHeader()->setStretchLastSection(true);
  return total;
}

QGroupBox* Group(unsigned controlId, QWidget* content, QWidget* parent) {
  auto* group = new QGroupBox(DialogText(IDD_MONITOR, controlId), parent);
  auto* layout = new QVBoxLayout(group);
  layout->addWidget(content);
  return group;
}

}  // namespace

CDlgMonitor::CDlgMonitor(QWidget* parent, CDlgSimulation& simulation)
    : QDialog(parent), m_simulation(simulation), m_channels(new QStandardItemModel(0, 1, this)),
      m_tcpToCom(new CMonitorRowModel(this)), m_comToTcp(new CMonitorRowModel(this)),
      m_channelList(new QTableView(this)), m_tcpToComList(MakeDataList(m_tcpToCom)),
      m_comToTcpList(MakeDataList(m_comToTcp)), m_showAll(new QCheckBox(DialogText(IDD_MONITOR, IDC_MONITOR_SHOW_ALL), this)),
      m_startStop(new QPushButton(DialogText(IDD_MONITOR, IDC_MONITOR_START_STOP), this)),
      m_clear(new QPushButton(DialogText(IDD_MONITOR, IDC_MONITOR_CLEAR), this)),
      m_hex(new QCheckBox(DialogText(IDD_MONITOR, IDC_MONITOR_HEX), this)),
      m_autoScroll(new QCheckBox(DialogText(IDD_MONITOR, IDC_MONITOR_AUTO_SCROLL), this)), m_status(new QLabel(this)),
      m_keepRunning(new QCheckBox(QText(IDS_MONITOR_KEEP_RUNNING), this)),
      m_save(new QPushButton(QText(IDS_MONITOR_SAVE_CSV), this)), m_detail(new QPlainTextEdit(this)) {
  setWindowTitle(DialogText(IDD_MONITOR, IDC_CAPTION));
  m_channels->setHorizontalHeaderLabels({QString::fromStdString(Text(IDS_COL_CHANNEL))});
  m_channelList->setModel(m_channels);
  const int channelWidth = SetUpList(m_channelList, IDC_MONITOR_CHANNELS);
  m_startStop->setText(QString::fromStdString(Text(IDS_MONITOR_START)));
  // Enter must not start, stop or clear by surprise.
  m_startStop->setAutoDefault(false);
  m_clear->setAutoDefault(false);
  m_save->setAutoDefault(false);
  m_detail->setReadOnly(true);
  m_detail->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  m_detail->setMinimumHeight(m_detail->fontMetrics().height() * 4);

  auto* channels = new QGroupBox(DialogText(IDD_MONITOR, IDC_MONITOR_GROUP_CHANNELS), this);
  auto* channelLayout = new QVBoxLayout(channels);
  channelLayout->addWidget(m_channelList);
  channelLayout->addWidget(m_showAll);
  channels->setFixedWidth(channelWidth + 40);
  auto* directions = new QVBoxLayout;
  directions->addWidget(Group(IDC_MONITOR_GROUP_TCP_TO_COM, m_tcpToComList, this));
  directions->addWidget(Group(IDC_MONITOR_GROUP_COM_TO_TCP, m_comToTcpList, this));
  auto* lists = new QHBoxLayout;
  lists->addWidget(channels);
  lists->addLayout(directions, 1);
  auto* top = new QWidget(this);
  top->setLayout(lists);
  lists->setContentsMargins(0, 0, 0, 0);
  // The detail pane under the lists, its height the user's to choose.
  auto* split = new QSplitter(Qt::Vertical, this);
  split->addWidget(top);
  split->addWidget(m_detail);
  split->setStretchFactor(0, 4);
  split->setStretchFactor(1, 1);
  auto* controls = new QHBoxLayout;
  controls->addWidget(m_status, 1);
  controls->addWidget(m_keepRunning);
  controls->addWidget(m_autoScroll);
  controls->addWidget(m_hex);
  controls->addSpacing(12);
  controls->addWidget(m_clear);
  controls->addWidget(m_save);
  controls->addWidget(m_startStop);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(split, 1);
  layout->addLayout(controls);
  // Room for every column of a data list beside the channels.
  resize(channelWidth + m_rowsWidth + 110, 680);

  connect(m_startStop, &QPushButton::clicked, this, &CDlgMonitor::OnStartStop);
  connect(m_clear, &QPushButton::clicked, this, &CDlgMonitor::OnClear);
  connect(m_autoScroll, &QCheckBox::clicked, this, &CDlgMonitor::OnAutoScroll);
  connect(m_hex, &QCheckBox::clicked, this, &CDlgMonitor::OnHexDisplay);
  connect(m_showAll, &QCheckBox::clicked, this, &CDlgMonitor::OnShowAllChannels);
  connect(m_channelList, &QTableView::clicked, this, &CDlgMonitor::OnChannelClick);
  connect(m_save, &QPushButton::clicked, this, &CDlgMonitor::OnSave);
  connect(m_keepRunning, &QCheckBox::toggled, this, [this](bool keep) { SetCollecting(keep || isVisible()); });
  for (auto [list, model] : {std::pair{m_tcpToComList, m_tcpToCom}, std::pair{m_comToTcpList, m_comToTcp}}) {
    connect(list->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this, model](const QModelIndex& current) { ShowDetail(*model, current); });
  }

  RefreshChannels();
  m_autoScroll->setChecked(true);
  m_showAll->setChecked(true);
  m_autoScrolling = m_autoScroll->isChecked();
  m_showingAll = m_showAll->isChecked();
  OnHexDisplay();
  OnShowAllChannels();
}

CDlgMonitor::~CDlgMonitor() { SetCollecting(false); }

void CDlgMonitor::SetCollecting(bool collecting) {
  if (collecting == m_collecting) return;
  m_collecting = collecting;
  m_simulation.DeviceList().SetMonitor(collecting ? this : nullptr);
}

void CDlgMonitor::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  SetCollecting(true);
}

void CDlgMonitor::hideEvent(QHideEvent* event) {
  QDialog::hideEvent(event);
  SetCollecting(m_keepRunning->isChecked());
}

void CDlgMonitor::ShowDetail(const CMonitorRowModel& model, const QModelIndex& index) {
  const CMonitorRowModel::Row* row = model.RowAt(index.row());
  if (row == nullptr) {
    m_detail->clear();
    return;
  }
  m_detail->setPlainText(QString::fromStdString(row->time + "  " + row->channel + "  " +
                                               Filled(Text(IDS_DETAIL_BYTES), {std::to_string(row->data.size())})) +
                         QStringLiteral("\n") + QText(IDS_DETAIL_TEXT) +
                         QText(IDS_COLON) + DisplayText(row->data.data(), row->data.size()) + QStringLiteral("\n") +
                         QText(IDS_DETAIL_HEX) + QText(IDS_COLON) + SpacedHex(row->data.data(), row->data.size()));
}

void CDlgMonitor::OnSave() {
  const QString path = QFileDialog::getSaveFileName(this, QText(IDS_MONITOR_SAVE_CSV), QStringLiteral("monitor.csv"),
                                                    QStringLiteral("CSV (*.csv)"));
  if (!path.isEmpty()) SaveTo(path);
}

bool CDlgMonitor::SaveTo(const QString& path) {
  QStringList header = CMonitorRowModel::CsvHeader();
  header.prepend(DialogText(IDD_MGT_DATA, IDC_DATA_LABEL_DIRECTION));
  std::vector<QStringList> rows;
  const QString directions[] = {DialogText(IDD_MONITOR, IDC_MONITOR_GROUP_TCP_TO_COM),
                                DialogText(IDD_MONITOR, IDC_MONITOR_GROUP_COM_TO_TCP)};
  int direction = 0;
  for (const CMonitorRowModel* model : {m_tcpToCom, m_comToTcp}) {
    for (QStringList& row : model->CsvRows()) {
      row.prepend(directions[direction]);
      rows.push_back(std::move(row));
    }
    ++direction;
  }
  const QString failure = WriteCsvFile(path, header, rows);
  const std::string told = failure.isEmpty()
                               ? Filled(Text(IDS_MONITOR_SAVED), {std::to_string(rows.size()), path.toStdString()})
                               : Filled(Text(IDS_WRITE_FAILED), {path.toStdString(), failure.toStdString()});
  m_status->setText(QString::fromStdString(told));
  return failure.isEmpty();
}

QTableView* CDlgMonitor::MakeDataList(CMonitorRowModel* model) {
  auto* list = new QTableView(this);
  list->setModel(model);
  m_rowsWidth = SetUpList(list, IDC_MONITOR_TCP_TO_COM);
  connect(model, &CMonitorRowModel::RowsAppended, list, [this, list] {
    if (m_autoScrolling) list->scrollToBottom();
  });
  return list;
}

void CDlgMonitor::ShowOver(QWidget* host) {
  RefreshChannels();
  show();
  if (host != nullptr) move(host->mapToGlobal(host->rect().center()) - rect().center());
  raise();
  activateWindow();
}

void CDlgMonitor::RefreshChannels() {
  std::map<std::string, std::string> texts;
  for (const auto& [id, tunnel] : CTunnelTable::Instance().Snapshot())
    texts.emplace(id, MonitorRow::ChannelText(tunnel.DeviceID, tunnel.SerialNo));
  // Compared by content: the table's change stamp has whole seconds, and two changes
  // within one second must not leave the list behind.
  if (texts == m_channelTexts) return;
  m_channelTexts = std::move(texts);
  m_channels->removeRows(0, m_channels->rowCount());
  for (const auto& [id, text] : m_channelTexts) {
    auto* item = new QStandardItem(QString::fromStdString(text));
    item->setEditable(false);
    item->setTextAlignment(Qt::AlignCenter);
    m_channels->appendRow(item);
  }
}

std::string CDlgMonitor::TimeNow() const {
  return QDateTime::currentDateTime().toString(QStringLiteral("yyyy/MM/dd HH:mm:ss.zzz")).toStdString();
}

void CDlgMonitor::Add(CMonitorRowModel& model, bool toCom, int code, const DataItem& item, bool tls) {
  if (m_paused) return;
  const std::string id = DeviceIdOf(item);
  const auto channel = m_channelTexts.find(id);
  const std::string& channelText = channel == m_channelTexts.end() ? id : channel->second;
  if (!m_showingAll && !EqualIgnoringCase(channelText, m_selectedChannel)) return;
  CMonitorRowModel::Row row;
  row.time = TimeNow();
  row.channel = MonitorRow::LinkChannel(channelText, tls);
  row.heartbeat = toCom && item.Kind == DATA_HEARTBEAT;
  row.succeeded = static_cast<WPARAM>(code) == (toCom ? SERIAL_WRITTEN : TCP_SENT);
  row.toCom = toCom;
  const int length = std::clamp(item.Length, 0, DATA_ITEM_PAYLOAD);
  row.data.assign(item.Data, item.Data + length);
  model.Append(std::move(row));
}

void CDlgMonitor::AddTcpToCom(int code, const DataItem& item, bool tls) { Add(*m_tcpToCom, true, code, item, tls); }

void CDlgMonitor::AddComToTcp(int code, const DataItem& item, bool tls) { Add(*m_comToTcp, false, code, item, tls); }

void CDlgMonitor::OnStartStop() {
  m_paused = !m_paused;
  m_startStop->setText(QString::fromStdString(Text(m_paused ? IDS_MONITOR_START : IDS_MONITOR_STOP)));
}

void CDlgMonitor::OnClear() {
  m_tcpToCom->Clear();
  m_comToTcp->Clear();
}

void CDlgMonitor::OnAutoScroll() { m_autoScrolling = m_autoScroll->isChecked(); }

void CDlgMonitor::OnHexDisplay() {
  m_tcpToCom->SetHex(m_hex->isChecked());
  m_comToTcp->SetHex(m_hex->isChecked());
}

void CDlgMonitor::OnShowAllChannels() {
  m_showingAll = m_showAll->isChecked();
  m_status->setText(QString::fromStdString(Text(IDS_MONITORED_CHANNEL) + Text(IDS_COLON) +
                                           (m_showingAll ? Text(IDS_ALL_CHANNELS) : m_selectedChannel)));
}

void CDlgMonitor::OnChannelClick(const QModelIndex& index) {
  if (!index.isValid()) return;
  m_selectedChannel = m_channels->item(index.row())->text().toStdString();
  m_showAll->setChecked(false);
  OnShowAllChannels();
}
