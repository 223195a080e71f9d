#pragma once

#include <QDialog>
#include <cstddef>
#include <optional>

#include "platform/Messages.h"
#include "storage/CAccessInterface.h"
#include "storage/NotTransFilter.h"

class CLimitEdit;
class CNotTransResultModel;
class QCheckBox;
class QComboBox;
class QDateTimeEdit;
class QPushButton;
class QTableView;

// The not-forwarded data dialog: queries the stored records by device ID and time range
// and shows them as text or hexadecimal, deletes them by the same condition or all at
// once. Results go to the main window's status bar (pane 0). Runs with exec().
// User-interface thread.
class CDlgMgtData : public QDialog {
  Q_OBJECT

 public:
  // The most records one query shows: each is a 10 KB record while it is read.
  static constexpr std::size_t kMaxShownRecords = 10000;

  // Opens Info.db of the application directory, kept open while the dialog lives.
  CDlgMgtData(QWidget* parent, TargetHandle mainWindow, std::size_t maxShownRecords = kMaxShownRecords);

  // What the buttons do.
  void Query();
  void Delete();
  void DeleteAll();
  void Clear();

  QCheckBox* DeviceIdBox() const { return m_useDeviceId; }
  CLimitEdit* DeviceIdEdit() const { return m_deviceId; }
  QCheckBox* TimeBox() const { return m_useTime; }
  QDateTimeEdit* StartTimeEdit() const { return m_startTime; }
  QDateTimeEdit* EndTimeEdit() const { return m_endTime; }
  QCheckBox* HexBox() const { return m_hex; }
  const CNotTransResultModel& Results() const { return *m_results; }

 private:
  void BuildWindow();
  void UpdateEnabled();
  // The condition of the ticked boxes; nothing (after telling why) when it is incomplete.
  std::optional<NotTransFilter> Condition();

  TargetHandle m_mainWindow;
  std::size_t m_maxShownRecords;
  CAccessInterface m_store;
  CNotTransResultModel* m_results;
  QCheckBox* m_useDeviceId;
  CLimitEdit* m_deviceId;
  QCheckBox* m_useTime;
  QDateTimeEdit* m_startTime;
  QDateTimeEdit* m_endTime;
  QCheckBox* m_hex;
  // Hidden, as the paging controls and Export: the store selects no direction.
  QComboBox* m_direction;
  QTableView* m_resultsView;
};
