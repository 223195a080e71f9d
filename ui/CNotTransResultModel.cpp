#include "ui/CNotTransResultModel.h"

#include <QColor>
#include <cstring>

#include "model/DataText.h"
#include "resources/CResourceStrings.h"
#include "resources/ResourceIds.h"

namespace {

const QColor kBackground(249, 253, 232);

}  // namespace

CNotTransResultModel::CNotTransResultModel(QObject* parent) : QAbstractTableModel(parent) {
  for (const std::string& header : CResourceStrings::Instance().ColumnHeaders(IDD_MGT_DATA, IDC_DATA_RESULTS))
    m_headers.push_back(QString::fromStdString(header));
}

void CNotTransResultModel::SetRecords(const std::vector<NotTransRecord>& records, bool hex) {
  beginResetModel();
  m_rows.clear();
  m_rows.reserve(records.size());
  for (const NotTransRecord& record : records) {
    const std::size_t length = static_cast<std::size_t>(std::max(record.Item.Length, 0));
    const std::string data = hex ? HexOf(record.Item.Data, length) : TextOf(record.Item.Data, length);
    m_rows.push_back({QString::fromUtf8(record.ReceiveTime, strnlen(record.ReceiveTime, sizeof record.ReceiveTime)),
                      QString::fromStdString(DeviceIdOf(record.Item)), QString::fromStdString(data)});
  }
  endResetModel();
}

void CNotTransResultModel::Clear() {
  beginResetModel();
  m_rows.clear();
  endResetModel();
}

int CNotTransResultModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int CNotTransResultModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumns; }

QVariant CNotTransResultModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= static_cast<int>(m_rows.size())) return {};
  switch (role) {
    case Qt::DisplayRole: {
      const Row& row = m_rows[static_cast<std::size_t>(index.row())];
      switch (index.column()) {
        case kNumber: return QString::number(index.row());
        case kTime: return row.time;
        case kDeviceId: return row.deviceId;
        case kData: return row.data;
        default: return {};
      }
    }
    case Qt::TextAlignmentRole: return QVariant::fromValue(Qt::Alignment(Qt::AlignCenter));
    case Qt::BackgroundRole: return kBackground;
    default: return {};
  }
}

QVariant CNotTransResultModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
      section >= static_cast<int>(m_headers.size()))
    return {};
  return m_headers[static_cast<std::size_t>(section)];
}
