#include "ui/CMonitorRowModel.h"

#include <QColor>

#include "ui/DataForms.h"
#include "resources/CResourceStrings.h"
#include "resources/ResourceIds.h"
#include "ui/ResourceText.h"

namespace {

const QColor kBackground(249, 253, 232);
const QColor kFailedBackground(255, 226, 226);
const QColor kFailedText(170, 0, 0);

}  // namespace

CMonitorRowModel::CMonitorRowModel(QObject* parent)
    : QAbstractTableModel(parent), m_heartbeat(QText(IDS_HEARTBEAT)), m_userData(QText(IDS_USER_DATA)),
      m_success(QText(IDS_SUCCESS)), m_failedToPort(QText(IDS_FAILED_TO_PORT)),
      m_failedToDevice(QText(IDS_FAILED_TO_DEVICE)) {
  m_flushTimer.setSingleShot(true);
  m_flushTimer.setInterval(kFlushDelayMs);
  connect(&m_flushTimer, &QTimer::timeout, this, &CMonitorRowModel::Flush);
  for (const std::string& header : CResourceStrings::Instance().ColumnHeaders(IDD_MONITOR, IDC_MONITOR_TCP_TO_COM))
    m_headers << QString::fromStdString(header);
}

void CMonitorRowModel::Append(Row row) {
  m_pending.push_back(std::move(row));
  if (m_pending.size() > static_cast<std::size_t>(kCapacity)) m_pending.pop_front();
  if (!m_flushTimer.isActive()) m_flushTimer.start();
}

void CMonitorRowModel::Flush() {
  m_flushTimer.stop();
  if (m_pending.empty()) return;
  // Append keeps at most kCapacity rows queued, so the oldest shown rows cover any excess.
  const std::size_t total = m_rows.size() + m_pending.size();
  const std::size_t dropped = total > static_cast<std::size_t>(kCapacity) ? total - kCapacity : 0;
  if (dropped > 0) {
    beginRemoveRows(QModelIndex(), 0, static_cast<int>(dropped) - 1);
    m_rows.erase(m_rows.begin(), m_rows.begin() + static_cast<std::ptrdiff_t>(dropped));
    endRemoveRows();
  }
  const int first = static_cast<int>(m_rows.size());
  beginInsertRows(QModelIndex(), first, first + static_cast<int>(m_pending.size()) - 1);
  for (Row& row : m_pending) m_rows.push_back(std::move(row));
  m_pending.clear();
  endInsertRows();
  emit RowsAppended();
}

void CMonitorRowModel::Clear() {
  beginResetModel();
  m_rows.clear();
  m_pending.clear();
  endResetModel();
}

void CMonitorRowModel::SetHex(bool hex) {
  if (hex == m_hex) return;
  m_hex = hex;
  if (!m_rows.empty()) emit dataChanged(index(0, Data), index(rowCount() - 1, Data), {Qt::DisplayRole});
}

const CMonitorRowModel::Row* CMonitorRowModel::RowAt(int row) const {
  return row >= 0 && row < static_cast<int>(m_rows.size()) ? &m_rows[static_cast<std::size_t>(row)] : nullptr;
}

QString CMonitorRowModel::StatusText(const Row& row) const {
  if (row.succeeded) return m_success;
  return row.toCom ? m_failedToPort : m_failedToDevice;
}

QStringList CMonitorRowModel::CsvHeader() {
  return {QText(IDS_COL_TIME),      QText(IDS_COL_CHANNEL),  QText(IDS_COL_DATA_TYPE),
          QText(IDS_DETAIL_HEX),    QText(IDS_DETAIL_TEXT),  QText(IDS_COL_FORWARD_STATUS)};
}

std::vector<QStringList> CMonitorRowModel::CsvRows() const {
  std::vector<QStringList> rows;
  rows.reserve(m_rows.size());
  for (const Row& row : m_rows)
    rows.push_back({QString::fromStdString(row.time), QString::fromStdString(row.channel),
                    row.heartbeat ? m_heartbeat : m_userData, SpacedHex(row.data.data(), row.data.size()),
                    DisplayText(row.data.data(), row.data.size()), StatusText(row)});
  return rows;
}

int CMonitorRowModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int CMonitorRowModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumnCount; }

QVariant CMonitorRowModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= static_cast<int>(m_rows.size())) return {};
  const Row& row = m_rows[static_cast<std::size_t>(index.row())];
  if (role == Qt::TextAlignmentRole) return QVariant::fromValue(Qt::AlignCenter);
  if (role == Qt::BackgroundRole) return row.succeeded ? kBackground : kFailedBackground;
  if (role == Qt::ForegroundRole) return row.succeeded ? QColor(Qt::black) : kFailedText;
  if (role != Qt::DisplayRole) return {};
  switch (index.column()) {
    case Time:
      return QString::fromStdString(row.time);
    case Channel:
      return QString::fromStdString(row.channel);
    case Type:
      return row.heartbeat ? m_heartbeat : m_userData;
    case Data:
      return m_hex ? SpacedHex(row.data.data(), row.data.size()) : DisplayText(row.data.data(), row.data.size());
    case Status:
      return StatusText(row);
    default:
      return {};
  }
}

QVariant CMonitorRowModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= m_headers.size()) return {};
  return m_headers[section];
}
