#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <QStringList>
#include <vector>

#include "model/NotTransRecord.h"

// The rows of a not-forwarded data query: number (from 0), receive time, device ID and
// the data as text (up to the first zero byte) or as hexadecimal bytes separated by
// spaces (every byte). The bytes are kept, so the form can change without a new query.
// User-interface thread.
class CNotTransResultModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column { kNumber, kTime, kDeviceId, kData, kColumns };

  explicit CNotTransResultModel(QObject* parent = nullptr);

  // Replaces the rows by `records`, in their order.
  void SetRecords(const std::vector<NotTransRecord>& records);
  void Clear();
  // Which form the data column shows; the views redraw at once.
  void SetHex(bool hex);
  // Every row as CSV fields: time, device ID, data as hexadecimal and as text.
  std::vector<QStringList> CsvRows() const;
  static QStringList CsvHeader();

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

 private:
  struct Row {
    QString time;
    QString deviceId;
    std::vector<unsigned char> data;
  };

  std::vector<Row> m_rows;
  std::vector<QString> m_headers;
  bool m_hex = false;
};
