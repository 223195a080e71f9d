#pragma once

#include <QDialog>

#include "platform/CMessageTarget.h"

class CDlgAddModifyDevice;
class CTunnelListModel;
class QLineEdit;
class QPushButton;
class QSortFilterProxyModel;
class QTableView;

// Device management: the configured tunnels, sorted by a click on a caption and filtered
// by a search box, with Add, Modify (also a double click) and Delete (after a question).
// The editor it opens saves to the data store and the tunnel table; this list follows its
// WM_DEVICE_EDITED. The main window applies the stored tunnels to a running service when
// the dialog closes. Run it with exec(). User-interface thread.
class CDlgMgtDevice : public QDialog {
  Q_OBJECT

 public:
  // `mainWindow` receives the result texts (WM_STATUS_TEXT, pane 0); 0 for none.
  CDlgMgtDevice(QWidget* parent, TargetHandle mainWindow);
  ~CDlgMgtDevice() override;

  void OnAdd();
  void OnModify();
  void OnDelete();

  QTableView* List() const { return m_list; }
  CTunnelListModel& Model() const { return *m_model; }
  CDlgAddModifyDevice& Editor() const { return *m_editor; }
  QPushButton* AddButton() const { return m_add; }
  QLineEdit* SearchEdit() const { return m_search; }
  // The tunnel model's row of a shown row.
  int SourceRow(int shownRow) const;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  LRESULT OnDeviceEdited(WPARAM code);
  // The selected row of the tunnel model, -1 without one.
  int SelectionMark() const;
  void ClearSelectionMark();

  TargetHandle m_mainWindow;
  // The editor's notification target (this dialog stands for a window here).
  CMessageTarget m_target;
  CTunnelListModel* m_model;
  QSortFilterProxyModel* m_filter;
  QLineEdit* m_search;
  QTableView* m_list;
  QPushButton* m_add;
  QPushButton* m_modify;
  QPushButton* m_delete;
  CDlgAddModifyDevice* m_editor;
  int m_lastRow = -1;  // the row the last Modify or Delete acted on
};
