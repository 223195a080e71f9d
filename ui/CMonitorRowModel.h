#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <deque>
#include <string>
#include <vector>

// One direction of the traffic monitor: time (with milliseconds), channel, data type, data
// (as text or as hexadecimal bytes separated by spaces) and forwarding status of the
// newest kCapacity rows; a failed row is drawn in red on pink and its status says what
// failed. Rows appended within
// kFlushDelayMs go in together, with one insertion and one RowsAppended. The data is kept as bytes and put in
// its text or hexadecimal form only for the rows a view shows. User-interface thread.
class CMonitorRowModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  // Kept without a bound, a monitor left running under steady traffic would hold every
  // record forwarded since it was started, until the memory is gone.
  static constexpr int kCapacity = 10000;
  // Rows wait at most this long to be shown: under steady traffic the views are laid out
  // and painted a few times a second, not once per burst of reports.
  static constexpr int kFlushDelayMs = 100;
  enum Column { Time, Channel, Type, Data, Status, kColumnCount };

  struct Row {
    std::string time;
    std::string channel;
    bool heartbeat = false;
    bool succeeded = false;
    bool toCom = false;  // a device's record for its port (else a port's for the device)
    std::vector<unsigned char> data;
  };

  explicit CMonitorRowModel(QObject* parent = nullptr);

  // Queues the row; it is shown after the current burst of reports.
  void Append(Row row);
  // Shows the queued rows now (done by itself after each burst).
  void Flush();
  void Clear();
  // Which form the data column shows.
  void SetHex(bool hex);
  bool Hex() const { return m_hex; }
  // A shown row; null outside the rows.
  const Row* RowAt(int row) const;
  // Every shown row as CSV fields: time, channel, type, data as hex and as text, status.
  std::vector<QStringList> CsvRows() const;
  static QStringList CsvHeader();

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

 signals:
  // Rows were appended by a flush (to scroll a view once for all of them).
  void RowsAppended();

 private:
  std::deque<Row> m_rows;
  std::deque<Row> m_pending;
  QTimer m_flushTimer;
  bool m_hex = false;
  QStringList m_headers;
  QString StatusText(const Row& row) const;

  QString m_heartbeat, m_userData, m_success, m_failedToPort, m_failedToDevice;
};
