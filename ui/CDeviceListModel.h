#pragma once

#include <QAbstractTableModel>
#include <QColor>
#include <QTimer>
#include <string>
#include <utility>
#include <vector>

#include "service/CDeviceList.h"

// The service host's device list as a table: the configured devices in device-ID order,
// then a row for each device online without a tunnel (marked unknown, with its phone and
// addresses), under the string table's captions. While the service is stopped the rows
// show the tunnels' settings and leave link and port blank. Link and port cells are green
// when connected or open and red otherwise, in shades readable on the list's background
// (contrast of at least 4.5:1). Texts are made as they are asked for, in the language in
// use then. Cell changes are gathered and told to the views once per burst (one
// dataChanged over the changed range), so thousands of counter updates a second cost one
// repaint. User-interface thread.
class CDeviceListModel : public QAbstractTableModel, public CDeviceListView {
 public:
  static inline const QColor kBackground{249, 253, 232};
  static inline const QColor kListText{180, 16, 16};
  static inline const QColor kGood{0, 110, 0};
  static inline const QColor kBad{190, 0, 0};
  static inline const QColor kUnknown{140, 70, 0};
  // The value the views sort by: numbers as numbers, times by their instant.
  static constexpr int SortRole = Qt::UserRole;
  // True for a row that shows a problem: offline, port closed, or a device without a tunnel.
  static constexpr int ProblemRole = Qt::UserRole + 1;
  // The text a search looks in (ID, phone, addresses, note).
  static constexpr int SearchRole = Qt::UserRole + 2;

  explicit CDeviceListModel(CDeviceList& list, QObject* parent = nullptr);
  ~CDeviceListModel() override;

  // Whether the service runs: stopped, link and port are not known.
  void SetServiceRunning(bool running);
  // True for a row of a device online without a tunnel.
  bool IsUnknown(int row) const;
  std::string DeviceIdAt(int row) const;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  // CDeviceListView
  void RowsReset() override;
  void CellChanged(int row, int column) override;

 private:
  void FlushChanges();
  QVariant ConfiguredData(const DeviceRow& row, int column, int role) const;
  QVariant UnknownData(const std::pair<std::string, CDeviceList::Registration>& device, int column, int role) const;

  CDeviceList& m_list;
  bool m_running = false;
  // The views' row counts: they change only inside a reset, while the list changes before.
  int m_rows = 0;
  std::vector<std::pair<std::string, CDeviceList::Registration>> m_unknown;
  // The changed cells since the last flush, as one range; empty when m_firstRow is -1.
  int m_firstRow = -1, m_lastRow = -1, m_firstColumn = 0, m_lastColumn = 0;
  QTimer m_flush;
};
