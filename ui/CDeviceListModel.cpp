#include "ui/CDeviceListModel.h"

#include <algorithm>

#include "resources/CResourceStrings.h"
#include "resources/ResourceIds.h"
#include "ui/ResourceText.h"

namespace {

const QColor kGreen(0, 255, 0);
const QColor kRed(255, 0, 0);


}  // namespace

CDeviceListModel::CDeviceListModel(CDeviceList& list, QObject* parent)
    : QAbstractTableModel(parent), m_list(list), m_rows(list.RowCount()), m_connected(QText(IDS_LINK_CONNECTED)),
      m_open(QText(IDS_PORT_OPEN)) {
  for (const std::string& caption : CResourceStrings::Instance().ColumnHeaders(IDD_SIMULATION, IDC_DEVICE_LIST))
    m_headers << QString::fromStdString(caption);
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
  const int column = index.column();
  switch (role) {
    case Qt::DisplayRole:
      return QString::fromStdString(m_list.Cell(index.row(), column));
    case Qt::TextAlignmentRole:
      return QVariant::fromValue(Qt::AlignCenter);
    case Qt::ForegroundRole:
      if (column == CDeviceList::LinkState || column == CDeviceList::PortState) {
        const QString& good = column == CDeviceList::LinkState ? m_connected : m_open;
        return QString::fromStdString(m_list.Cell(index.row(), column)) == good ? kGreen : kRed;
      }
      return QColor(Qt::black);
    default:
      return {};
  }
}

QVariant CDeviceListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= m_headers.size()) return {};
  if (role == Qt::DisplayRole) return m_headers[section];
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
