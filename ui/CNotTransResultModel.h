#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <vector>

#include "model/NotTransRecord.h"

// The rows of a not-forwarded data query: number (from 0), receive time, device ID and
// the data as text (up to the first zero byte) or as hexadecimal digits (every byte).
// User-interface thread.
class CNotTransResultModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column { kNumber, kTime, kDeviceId, kData, kColumns };

  explicit CNotTransResultModel(QObject* parent = nullptr);

  // Replaces the rows by `records`, in their order, the data in the form asked for.
  void SetRecords(const std::vector<NotTransRecord>& records, bool hex);
  void Clear();

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

 private:
  struct Row {
    QString time;
    QString deviceId;
    QString data;
  };

  std::vector<Row> m_rows;
  std::vector<QString> m_headers;
};
