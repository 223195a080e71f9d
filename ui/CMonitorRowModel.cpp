#include "ui/CMonitorRowModel.h"

#include <QColor>
#include <QStringDecoder>

#include "model/DataText.h"
#include "resources/CResourceStrings.h"
#include "resources/ResourceIds.h"
#include "ui/ResourceText.h"

namespace {

// The text form for a window: UTF-8 text as it is; bytes that are not UTF-8 (a heartbeat's
// FE, binary protocols) as \xNN escapes instead of replacement marks.
QString DisplayText(const std::vector<unsigned char>& data) {
  const std::string text = TextOf(data.data(), data.size());
  QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString shown = decoder.decode(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
  if (!decoder.hasError()) return shown;
  shown.clear();
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80)
      shown += QLatin1Char(c);
    else
      shown += QStringLiteral("\\x") + QStringLiteral("%1").arg(byte, 2, 16, QLatin1Char('0')).toUpper();
  }
  return shown;
}

}  // namespace

CMonitorRowModel::CMonitorRowModel(QObject* parent)
    : QAbstractTableModel(parent), m_heartbeat(QText(IDS_HEARTBEAT)), m_userData(QText(IDS_USER_DATA)),
      m_success(QText(IDS_SUCCESS)), m_failure(QText(IDS_FAILURE)) {
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

int CMonitorRowModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int CMonitorRowModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumnCount; }

QVariant CMonitorRowModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= static_cast<int>(m_rows.size())) return {};
  if (role == Qt::TextAlignmentRole) return QVariant::fromValue(Qt::AlignCenter);
  if (role == Qt::BackgroundRole) return QColor(249, 253, 232);
  if (role != Qt::DisplayRole) return {};
  const Row& row = m_rows[static_cast<std::size_t>(index.row())];
  switch (index.column()) {
    case Time:
      return QString::fromStdString(row.time);
    case Channel:
      return QString::fromStdString(row.channel);
    case Type:
      return row.heartbeat ? m_heartbeat : m_userData;
    case Data:
      return m_hex ? QString::fromStdString(HexOf(row.data.data(), row.data.size())) : DisplayText(row.data);
    case Status:
      return row.succeeded ? m_success : m_failure;
    default:
      return {};
  }
}

QVariant CMonitorRowModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= m_headers.size()) return {};
  return m_headers[section];
}
