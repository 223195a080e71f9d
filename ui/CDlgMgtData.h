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
class QLabel;
class QPushButton;
class QTableView;

// The not-forwarded data dialog: queries the stored records by device ID and time range
// and shows them as text or hexadecimal, exports them to CSV, deletes them by the same
// condition or all at once after a question that gives their number. Every result (with
// its count) shows in the dialog's own message line and in the main window's status bar
// (pane 0); after a delete the result list is queried again. Runs with exec().
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
  // Export: asks for a file, then ExportTo.
  void Export();
  // Writes the shown records to `path` as CSV (time, device ID, data as hex and as text).
  bool ExportTo(const QString& path);

  QCheckBox* DeviceIdBox() const { return m_useDeviceId; }
  CLimitEdit* DeviceIdEdit() const { return m_deviceId; }
  QCheckBox* TimeBox() const { return m_useTime; }
  QDateTimeEdit* StartTimeEdit() const { return m_startTime; }
  QDateTimeEdit* EndTimeEdit() const { return m_endTime; }
  QCheckBox* HexBox() const { return m_hex; }
  const CNotTransResultModel& Results() const { return *m_results; }
  // The dialog's message line.
  QString Message() const;

 private:
  void BuildWindow();
  void UpdateEnabled();
  // The condition of the ticked boxes; nothing (after telling why) when it is incomplete.
  std::optional<NotTransFilter> Condition();
  // The number of stored records that match; -1 when the store cannot be read.
  std::int64_t Count(const NotTransFilter& filter);
  // Shows the records of `filter` (up to the bound); returns the result's text.
  std::string ShowRecords(const NotTransFilter& filter);
  void Tell(const std::string& text);

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
  QLabel* m_message;
  // The condition of the results shown, to query again after a delete.
  std::optional<NotTransFilter> m_shown;
};
