#include "ui/CNotTransResultModel.h"

#include <QColor>
#include <algorithm>
#include <cstring>

#include "resources/CResourceStrings.h"
#include "resources/ResourceIds.h"
#include "ui/DataForms.h"
#include "ui/ResourceText.h"

namespace {

const QColor kBackground(249, 253, 232);

}  // namespace

CNotTransResultModel::CNotTransResultModel(QObject* parent) : QAbstractTableModel(parent) {
  for (const std::string& header : CResourceStrings::Instance().ColumnHeaders(IDD_MGT_DATA, IDC_DATA_RESULTS))
    m_headers.push_back(QString::fromStdString(header));
}

void CNotTransResultModel::SetRecords(const std::vector<NotTransRecord>& records) {
  beginResetModel();
  m_rows.clear();
  m_rows.reserve(records.size());
  for (const NotTransRecord& record : records) {
    const std::size_t length = static_cast<std::size_t>(std::clamp(record.Item.Length, 0, DATA_ITEM_PAYLOAD));
    m_rows.push_back({QString::fromUtf8(record.ReceiveTime, strnlen(record.ReceiveTime, sizeof record.ReceiveTime)),
                      QString::fromStdString(DeviceIdOf(record.Item)),
                      std::vector<unsigned char>(record.Item.Data, record.Item.Data + length)});
  }
  endResetModel();
}

void CNotTransResultModel::Clear() {
  beginResetModel();
  m_rows.clear();
  endResetModel();
}

void CNotTransResultModel::SetHex(bool hex) {
  if (hex == m_hex) return;
  m_hex = hex;
  if (!m_rows.empty()) emit dataChanged(index(0, kData), index(rowCount() - 1, kData), {Qt::DisplayRole});
}

QStringList CNotTransResultModel::CsvHeader() {
  return {QText(IDS_COL_TIME), QText(IDS_COL_DEVICE_ID), QText(IDS_DETAIL_HEX), QText(IDS_DETAIL_TEXT)};
}

std::vector<QStringList> CNotTransResultModel::CsvRows() const {
  std::vector<QStringList> rows;
  rows.reserve(m_rows.size());
  for (const Row& row : m_rows)
    rows.push_back({row.time, row.deviceId, SpacedHex(row.data.data(), row.data.size()),
                    DisplayText(row.data.data(), row.data.size())});
  return rows;
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
        case kData:
          return m_hex ? SpacedHex(row.data.data(), row.data.size()) : DisplayText(row.data.data(), row.data.size());
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
