#pragma once

#include <QSortFilterProxyModel>
#include <QTableView>
#include <string>

#include "ui/CDeviceListModel.h"

// The rows of CDeviceListModel that a search and the "problems only" switch let through,
// sorted by the column the user chose (numbers and times by value). User-interface thread.
class CDeviceFilterModel : public QSortFilterProxyModel {
 public:
  explicit CDeviceFilterModel(QObject* parent = nullptr);

  // Rows whose ID, phone, addresses or note contain `text` (ignoring case); all when empty.
  void SetSearchText(const QString& text);
  void SetProblemsOnly(bool problemsOnly);

 protected:
  bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

 private:
  QString m_search;
  bool m_problemsOnly = false;
};

// The device list that fills the main window: a plain table over CDeviceListModel with
// the fixed column widths, one fixed row height and no widget per cell, so that ten
// thousand rows scroll and update smoothly; sorted by a click on a column's caption and
// filtered through CDeviceFilterModel. A double click or the context menu edits a
// configured device, or offers "Add tunnel..." for a device online without one.
// User-interface thread.
class CDeviceListCtrl : public QTableView {
  Q_OBJECT

 public:
  CDeviceListCtrl(CDeviceList& list, QWidget* parent = nullptr);

  CDeviceListModel& Model() { return m_model; }
  CDeviceFilterModel& Filter() { return m_filter; }
  // The model row (CDeviceListModel, and CDeviceList for a configured device) of a shown row.
  int SourceRow(int shownRow) const;
  // Edits (configured) or adds a tunnel for (unknown) the device of a model row, as the
  // double click does.
  void ActOnRow(int sourceRow);

 signals:
  // The configured device of `row` (of CDeviceList) is to be edited; the list's selected
  // row is already set to it.
  void EditRequested(int row);
  // A tunnel is to be added for the device `id` that is online without one.
  void AddTunnelRequested(const std::string& id);
  // The history of the device `id` is to be shown.
  void HistoryRequested(const std::string& id);

 protected:
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  CDeviceList& m_list;
  CDeviceListModel m_model;
  CDeviceFilterModel m_filter;
};
