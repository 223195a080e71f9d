#pragma once

#include <QDialog>
#include <cstddef>
#include <string>

class QLabel;
class QLineEdit;
class QTableWidget;

// The device history window: the events of one device (opened from the device list's
// context menu) or of all (from the menu), the latest ones, oldest first, read from
// Info.db when it opens and on Refresh. Modeless; user-interface thread.
class CDlgHistory : public QDialog {
  Q_OBJECT

 public:
  static constexpr std::size_t kMaxShownEvents = 1000;

  // `deviceId` empty: every device's events.
  CDlgHistory(QWidget* parent, const std::string& deviceId, std::size_t maxShown = kMaxShownEvents);

  // Reads the events of the device in the field (all when it is empty) again.
  void Refresh();

  QLineEdit* DeviceEdit() const { return m_device; }
  QTableWidget* Table() const { return m_table; }
  // The line under the table: how many events show, and whether older ones matched.
  QString Message() const;

 private:
  const std::size_t m_maxShown;
  QLineEdit* m_device = nullptr;
  QTableWidget* m_table = nullptr;
  QLabel* m_message = nullptr;
};
