#pragma once

#include <QDialog>
#include <map>
#include <string>

#include "service/CMonitorFeed.h"

class CDlgSimulation;
class CMonitorRowModel;
class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QStandardItemModel;
class QTableView;

// The traffic monitor: the configured channels, and the outcome of every record forwarded
// in each direction (device to COM port, COM port to device) as rows with time, channel,
// data type, data as text or hexadecimal, and status (failed rows marked); the selected
// row's whole block in text and hex in a detail pane; a TLS link's channel is marked in
// its rows; Save CSV writes both directions.
// Opens paused; Start shows rows of every channel or of the channel last clicked. Closing
// only hides it, rows and settings kept. The service host's device list feeds it while it
// is shown, and while hidden only if "keep collecting" is ticked: otherwise the forwarding
// threads copy no data for it. User-interface thread.
class CDlgMonitor : public QDialog, public CMonitorFeed {
  Q_OBJECT

 public:
  CDlgMonitor(QWidget* parent, CDlgSimulation& simulation);
  ~CDlgMonitor() override;

  // Rebuilds the channel list when the tunnel table changed since the last rebuild; the
  // selected channel stays.
  void RefreshChannels();
  // The monitor command: the channels brought up to date, the window shown centred over
  // `host` (the device list).
  void ShowOver(QWidget* host);

  void AddTcpToCom(int code, const DataItem& item, bool tls) override;
  void AddComToTcp(int code, const DataItem& item, bool tls) override;

  void OnStartStop();
  void OnClear();
  void OnAutoScroll();
  void OnHexDisplay();
  void OnShowAllChannels();
  void OnChannelClick(const QModelIndex& index);
  // Save CSV: asks for a file, then SaveTo.
  void OnSave();
  // Writes the rows of both directions to `path` as CSV; false (told) when it cannot.
  bool SaveTo(const QString& path);
  // Whether the device list feeds this monitor now.
  bool Collecting() const { return m_collecting; }

  bool Paused() const { return m_paused; }
  CMonitorRowModel& TcpToCom() const { return *m_tcpToCom; }
  CMonitorRowModel& ComToTcp() const { return *m_comToTcp; }
  QStandardItemModel& Channels() const { return *m_channels; }
  QPushButton* StartStopButton() const { return m_startStop; }
  QPushButton* ClearButton() const { return m_clear; }
  QCheckBox* ShowAllBox() const { return m_showAll; }
  QCheckBox* HexBox() const { return m_hex; }
  QLabel* StatusLine() const { return m_status; }
  QCheckBox* KeepRunningBox() const { return m_keepRunning; }
  QPlainTextEdit* Detail() const { return m_detail; }
  QTableView* TcpToComList() const { return m_tcpToComList; }

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void Add(CMonitorRowModel& model, bool toCom, int code, const DataItem& item, bool tls);
  QTableView* MakeDataList(CMonitorRowModel* model);
  std::string TimeNow() const;
  void SetCollecting(bool collecting);
  void ShowDetail(const CMonitorRowModel& model, const QModelIndex& index);

  CDlgSimulation& m_simulation;
  std::map<std::string, std::string> m_channelTexts;  // device ID -> channel text
  bool m_paused = true;
  bool m_autoScrolling = true;
  bool m_showingAll = true;
  std::string m_selectedChannel;
  bool m_collecting = false;
  int m_rowsWidth = 0;  // the columns of a data list together

  QStandardItemModel* m_channels;
  CMonitorRowModel* m_tcpToCom;
  CMonitorRowModel* m_comToTcp;
  QTableView* m_channelList;
  QTableView* m_tcpToComList;
  QTableView* m_comToTcpList;
  QCheckBox* m_showAll;
  QPushButton* m_startStop;
  QPushButton* m_clear;
  QCheckBox* m_hex;
  QCheckBox* m_autoScroll;
  QLabel* m_status;
  QCheckBox* m_keepRunning;
  QPushButton* m_save;
  QPlainTextEdit* m_detail;
};
