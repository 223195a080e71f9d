#include "ui/CDeviceListModel.h"

#include <QDateTime>
#include <QFont>
#include <algorithm>
#include <cstdint>
#include <optional>

#include "resources/ListColumns.h"
#include "resources/ResourceIds.h"
#include "ui/ResourceText.h"

namespace {

QString Decimal(const std::optional<std::uint64_t>& count) {
  return count ? QString::number(*count) : QString();
}

QString TimeText(std::int64_t ms) {
  return ms == 0 ? QString()
                 : QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy/MM/dd HH:mm:ss"));
}

QString CellText(const DeviceRow& row, int column, bool running) {
  switch (column) {
    case CDeviceList::DeviceId:
      return QString::fromStdString(row.DeviceId);
    case CDeviceList::Phone:
      return QString::fromStdString(row.Phone);
    case CDeviceList::SourceIp:
      return QString::fromStdString(row.SourceIp);
    case CDeviceList::RemoteAddress:
      return QString::fromStdString(row.RemoteAddress);
    case CDeviceList::Port:
      return QString::fromStdString(row.SerialNo);
    case CDeviceList::BaudRate:
      return QString::fromStdString(row.BaudRate);
    case CDeviceList::LinkState:
      if (!running) return {};
      if (row.LinkState != DeviceRow::Link::Connected) return QText(IDS_LINK_DISCONNECTED);
      // An encrypted link is marked where its state shows.
      return row.Tls ? QText(IDS_LINK_CONNECTED) + QStringLiteral(" (TLS)") : QText(IDS_LINK_CONNECTED);
    case CDeviceList::PortState:
      if (!running) return {};
      return QText(row.PortState == DeviceRow::Port::Open ? IDS_PORT_OPEN : IDS_PORT_CLOSED);
    case CDeviceList::BytesIn:
      return Decimal(row.BytesIn);
    case CDeviceList::BytesOut:
      return Decimal(row.BytesOut);
    case CDeviceList::LastData:
      return TimeText(row.LastDataMs);
    case CDeviceList::Note:
      return QString::fromStdString(row.Note);
    default:
      return {};
  }
}

QVariant SortValue(const DeviceRow& row, int column, bool running) {
  switch (column) {
    case CDeviceList::BytesIn:
      return QVariant::fromValue<qulonglong>(row.BytesIn.value_or(0));
    case CDeviceList::BytesOut:
      return QVariant::fromValue<qulonglong>(row.BytesOut.value_or(0));
    case CDeviceList::LastData:
      return QVariant::fromValue<qlonglong>(row.LastDataMs);
    case CDeviceList::BaudRate:
      return QString::fromStdString(row.BaudRate).toLongLong();
    default:
      return CellText(row, column, running);
  }
}

QString SearchText(const std::string& id, const std::string& phone, const std::string& address,
                   const std::string& remote, const std::string& note) {
  return QString::fromStdString(id + '\n' + phone + '\n' + address + '\n' + remote + '\n' + note);
}

}  // namespace

CDeviceListModel::CDeviceListModel(CDeviceList& list, QObject* parent)
    : QAbstractTableModel(parent), m_list(list), m_rows(list.RowCount()),
      m_unknown(list.Unlisted().begin(), list.Unlisted().end()) {
  m_flush.setSingleShot(true);
  m_flush.setInterval(0);
  connect(&m_flush, &QTimer::timeout, this, [this] { FlushChanges(); });
  m_list.SetView(this);
}

CDeviceListModel::~CDeviceListModel() { m_list.SetView(nullptr); }

void CDeviceListModel::SetServiceRunning(bool running) {
  if (running == m_running) return;
  m_running = running;
  if (m_rows > 0) emit dataChanged(index(0, 0), index(m_rows - 1, CDeviceList::kColumns - 1));
}

bool CDeviceListModel::IsUnknown(int row) const {
  return row >= m_rows && row < m_rows + static_cast<int>(m_unknown.size());
}

std::string CDeviceListModel::DeviceIdAt(int row) const {
  if (row >= 0 && row < m_rows && row < m_list.RowCount()) return m_list.Row(row).DeviceId;
  return IsUnknown(row) ? m_unknown[static_cast<std::size_t>(row - m_rows)].first : std::string();
}

int CDeviceListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : m_rows + static_cast<int>(m_unknown.size());
}

int CDeviceListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : CDeviceList::kColumns;
}

QVariant CDeviceListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  if (role == Qt::TextAlignmentRole) return QVariant::fromValue(Qt::AlignCenter);
  if (IsUnknown(index.row()))
    return UnknownData(m_unknown[static_cast<std::size_t>(index.row() - m_rows)], index.column(), role);
  if (index.row() >= m_list.RowCount()) return {};
  return ConfiguredData(m_list.Row(index.row()), index.column(), role);
}

QVariant CDeviceListModel::ConfiguredData(const DeviceRow& row, int column, int role) const {
  switch (role) {
    case Qt::DisplayRole:
      return CellText(row, column, m_running);
    case Qt::ForegroundRole:
      if (column == CDeviceList::LinkState) return row.LinkState == DeviceRow::Link::Connected ? kGood : kBad;
      if (column == CDeviceList::PortState) return row.PortState == DeviceRow::Port::Open ? kGood : kBad;
      return QColor(Qt::black);
    case SortRole:
      return SortValue(row, column, m_running);
    case ProblemRole:
      return m_running && (row.LinkState != DeviceRow::Link::Connected || row.PortState != DeviceRow::Port::Open);
    case SearchRole:
      return SearchText(row.DeviceId, row.Phone, row.SourceIp, row.RemoteAddress, row.Note);
    default:
      return {};
  }
}

QVariant CDeviceListModel::UnknownData(const std::pair<std::string, CDeviceList::Registration>& device, int column,
                                       int role) const {
  const auto& [id, registration] = device;
  if (role == SortRole && (column == CDeviceList::BaudRate || column == CDeviceList::BytesIn ||
                           column == CDeviceList::BytesOut || column == CDeviceList::LastData))
    return QVariant::fromValue<qlonglong>(0);
  switch (role) {
    case Qt::DisplayRole:
    case SortRole:
      switch (column) {
        case CDeviceList::DeviceId:
          return QString::fromStdString(id);
        case CDeviceList::Phone:
          return QString::fromStdString(registration.Phone);
        case CDeviceList::SourceIp:
          return QString::fromStdString(registration.SourceIp);
        case CDeviceList::RemoteAddress:
          return QString::fromStdString(registration.RemoteAddress);
        case CDeviceList::Port:
          return QText(IDS_NO_TUNNEL);
        case CDeviceList::LinkState:
          return QText(IDS_LINK_CONNECTED);
        default:
          return {};
      }
    case Qt::ForegroundRole:
      return column == CDeviceList::LinkState ? kGood : kUnknown;
    case Qt::FontRole: {
      QFont font;
      font.setItalic(true);
      return font;
    }
    case ProblemRole:
      return true;
    case SearchRole:
      return SearchText(id, registration.Phone, registration.SourceIp, registration.RemoteAddress, {});
    default:
      return {};
  }
}

QVariant CDeviceListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  const std::span<const ListColumn> columns = ListColumns(IDD_SIMULATION, IDC_DEVICE_LIST);
  if (orientation != Qt::Horizontal || section < 0 || section >= static_cast<int>(columns.size())) return {};
  if (role == Qt::DisplayRole) return QText(columns[static_cast<std::size_t>(section)].stringId);
  if (role == Qt::TextAlignmentRole) return QVariant::fromValue(Qt::AlignCenter);
  return {};
}

void CDeviceListModel::RowsReset() {
  m_flush.stop();
  m_firstRow = -1;
  beginResetModel();
  m_rows = m_list.RowCount();
  m_unknown.assign(m_list.Unlisted().begin(), m_list.Unlisted().end());
  endResetModel();
}

void CDeviceListModel::CellChanged(int row, int column) {
  if (row >= m_rows) return;
  if (m_firstRow < 0) {
    m_firstRow = m_lastRow = row;
    m_firstColumn = m_lastColumn = column;
    m_flush.start();
    return;
  }
  m_firstRow = std::min(m_firstRow, row);
  m_lastRow = std::max(m_lastRow, row);
  m_firstColumn = std::min(m_firstColumn, column);
  m_lastColumn = std::max(m_lastColumn, column);
}

void CDeviceListModel::FlushChanges() {
  if (m_firstRow < 0) return;
  const QModelIndex first = index(m_firstRow, m_firstColumn);
  const QModelIndex last = index(m_lastRow, m_lastColumn);
  m_firstRow = -1;
  emit dataChanged(first, last, {Qt::DisplayRole, Qt::ForegroundRole, SortRole, ProblemRole, SearchRole});
}
