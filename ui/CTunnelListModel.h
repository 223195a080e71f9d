#pragma once

#include <QAbstractTableModel>
#include <vector>

#include "model/TunnelInfo.h"

// The tunnels of the device management list: device ID, port, baud rate, data bits,
// parity, stop bits and note, centred, on the lists' background. User-interface thread.
class CTunnelListModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit CTunnelListModel(QObject* parent = nullptr);

  // Replaces every row by the tunnel table's entries in device-ID order.
  void Reload();
  // The device ID of a row; empty outside the rows.
  std::string DeviceIdAt(int row) const;
  void RemoveRow(int row);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

 private:
  std::vector<TunnelInfo> m_tunnels;
  QStringList m_headers;
};
