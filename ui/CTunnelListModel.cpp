#include "ui/CTunnelListModel.h"

#include <QColor>

#include "core/CTunnelTable.h"
#include "resources/CResourceStrings.h"
#include "resources/ResourceIds.h"
#include "ui/ResourceText.h"

namespace {

constexpr int kColumns = 7;

}  // namespace

CTunnelListModel::CTunnelListModel(QObject* parent) : QAbstractTableModel(parent) {
  for (const std::string& header : CResourceStrings::Instance().ColumnHeaders(IDD_MGT_DEVICE, IDC_MGT_DEVICE_LIST))
    m_headers << QString::fromStdString(header);
}

void CTunnelListModel::Reload() {
  beginResetModel();
  m_tunnels.clear();
  for (const auto& [id, tunnel] : CTunnelTable::Instance().Snapshot()) m_tunnels.push_back(tunnel);
  endResetModel();
}

std::string CTunnelListModel::DeviceIdAt(int row) const {
  return row >= 0 && row < static_cast<int>(m_tunnels.size()) ? m_tunnels[static_cast<std::size_t>(row)].DeviceID
                                                               : std::string();
}

void CTunnelListModel::RemoveRow(int row) {
  if (row < 0 || row >= static_cast<int>(m_tunnels.size())) return;
  beginRemoveRows(QModelIndex(), row, row);
  m_tunnels.erase(m_tunnels.begin() + row);
  endRemoveRows();
}

int CTunnelListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(m_tunnels.size());
}

int CTunnelListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumns; }

QVariant CTunnelListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= static_cast<int>(m_tunnels.size())) return {};
  if (role == Qt::TextAlignmentRole) return QVariant::fromValue(Qt::AlignCenter);
  if (role == Qt::BackgroundRole) return QColor(249, 253, 232);
  if (role != Qt::DisplayRole) return {};
  const TunnelInfo& tunnel = m_tunnels[static_cast<std::size_t>(index.row())];
  const std::string* const fields[kColumns] = {&tunnel.DeviceID, &tunnel.SerialNo, &tunnel.BaudRate, &tunnel.DateBit,
                                               &tunnel.Parity,   &tunnel.StopBit,  &tunnel.Note};
  if (fields[index.column()] == &tunnel.Parity) return ParityText(tunnel.Parity);
  return QString::fromStdString(*fields[index.column()]);
}

QVariant CTunnelListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= m_headers.size()) return {};
  return m_headers[section];
}
