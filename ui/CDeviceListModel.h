#pragma once

#include <QAbstractTableModel>
#include <QColor>
#include <QTimer>

#include "service/CDeviceList.h"

// The service host's device list as a table: ten centred columns with the string
// table's captions; the link and port columns green when connected or open, red
// otherwise. Texts are made as they are asked for, in the language in use then. Cell changes are gathered and told to the views once per burst (one
// dataChanged over the changed range), so thousands of counter updates a second cost one
// repaint. User-interface thread.
class CDeviceListModel : public QAbstractTableModel, public CDeviceListView {
 public:
  static inline const QColor kBackground{249, 253, 232};
  static inline const QColor kListText{220, 20, 20};

  explicit CDeviceListModel(CDeviceList& list, QObject* parent = nullptr);
  ~CDeviceListModel() override;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  // CDeviceListView
  void RowsReset() override;
  void CellChanged(int row, int column) override;

 private:
  void FlushChanges();

  CDeviceList& m_list;
  // The views' row count: it changes only inside a reset, while the list changes before.
  int m_rows = 0;
  // The changed cells since the last flush, as one range; empty when m_firstRow is -1.
  int m_firstRow = -1, m_lastRow = -1, m_firstColumn = 0, m_lastColumn = 0;
  QTimer m_flush;
};
