#pragma once

#include <QTableView>

#include "ui/CDeviceListModel.h"

// The device list that fills the main window: a plain table over CDeviceListModel with
// the fixed column widths, one fixed row height and no widget per cell, so that ten
// thousand rows scroll and update smoothly. A double click chooses the row for editing.
// User-interface thread.
class CDeviceListCtrl : public QTableView {
  Q_OBJECT

 public:
  CDeviceListCtrl(CDeviceList& list, QWidget* parent = nullptr);

  CDeviceListModel& Model() { return m_model; }

 signals:
  // The device of `row` is to be edited; the list's selected row is already set to it.
  void EditRequested(int row);

 protected:
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  CDeviceList& m_list;
  CDeviceListModel m_model;
};
