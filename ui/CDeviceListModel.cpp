#include "ui/CDeviceListModel.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "resources/ListColumns.h"
#include "resources/ResourceIds.h"
#include "ui/ResourceText.h"

namespace {

const QColor kGreen(0, 255, 0);
const QColor kRed(255, 0, 0);

QString Decimal(const std::optional<std::uint64_t>& count) {
  return count ? QString::number(*count) : QString();
}

QString CellText(const DeviceRow& row, int column) {
  switch (column) {
    case CDeviceList::DeviceId:
      return QString::fromStdString(row.DeviceId);
    case CDeviceList::Phone:
      return QString::fromStdString(row.Phone);
    case CDeviceList::SourceIp:
      return QString::fromStdString(row.SourceIp);
    case CDeviceList::Port:
      return QString::fromStdString(row.SerialNo);
    case CDeviceList::BaudRate:
      return QString::fromStdString(row.BaudRate);
    case CDeviceList::LinkState:
      if (row.LinkState != DeviceRow::Link::Connected) return QText(IDS_LINK_DISCONNECTED);
      // An encrypted link is marked where its state shows.
      return row.Tls ? QText(IDS_LINK_CONNECTED) + QStringLiteral(" (TLS)") : QText(IDS_LINK_CONNECTED);
    case CDeviceList::PortState:
      return QText(row.PortState == DeviceRow::Port::Open ? IDS_PORT_OPEN : IDS_PORT_CLOSED);
    case CDeviceList::BytesIn:
      return Decimal(row.BytesIn);
    case CDeviceList::BytesOut:
      return Decimal(row.BytesOut);
    case CDeviceList::Note:
      return QString::fromStdString(row.Note);
    default:
      return {};
  }
}

// Green for a link that is up or a port that is open, red otherwise; black elsewhere.
QColor CellColour(const DeviceRow& row, int column) {
  if (column == CDeviceList::LinkState) return row.LinkState == DeviceRow::Link::Connected ? kGreen : kRed;
  if (column == CDeviceList::PortState) return row.PortState == DeviceRow::Port::Open ? kGreen : kRed;
  return QColor(Qt::black);
}

}  // namespace

CDeviceListModel::CDeviceListModel(CDeviceList& list, QObject* parent)
    : QAbstractTableModel(parent), m_list(list), m_rows(list.RowCount()) {
  m_flush.setSingleShot(true);
  m_flush.setInterval(0);
  connect(&m_flush, &QTimer::timeout, this, [this] { FlushChanges(); });
  m_list.SetView(this);
}

CDeviceListModel::~CDeviceListModel() { m_list.SetView(nullptr); }

int CDeviceListModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : m_rows; }

int CDeviceListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : CDeviceList::kColumns;
}

QVariant CDeviceListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= m_list.RowCount()) return {};
  const DeviceRow& row = m_list.Row(index.row());
  switch (role) {
    case Qt::DisplayRole:
      return CellText(row, index.column());
    case Qt::TextAlignmentRole:
      return QVariant::fromValue(Qt::AlignCenter);
    case Qt::ForegroundRole:
      return CellColour(row, index.column());
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
  emit dataChanged(first, last, {Qt::DisplayRole, Qt::ForegroundRole});
}
