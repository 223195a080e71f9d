#pragma once

#include <array>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "model/DataItem.h"
#include "model/TunnelInfo.h"
#include "platform/Messages.h"

class CDeviceEventObserver;
class CMonitorFeed;
class CSerialInterface;

// What a window showing the device list is told. User-interface thread.
class CDeviceListView {
 public:
  virtual ~CDeviceListView() = default;
  // Every row replaced (after a rebuild or a clear).
  virtual void RowsReset() = 0;
  virtual void CellChanged(int row, int column) = 0;
};

// The device list of the service host, without a widget: one row per configured device
// with its link and port state and byte counters, kept up to date from the forwarding
// core's messages; failed COM writes of listed devices are handed over for storage.
// Everything runs on the user-interface thread.
class CDeviceList {
 public:
  static constexpr int kColumns = 10;
  enum Column { DeviceId, Phone, SourceIp, Port, BaudRate, LinkState, PortState, BytesIn, BytesOut, Note };

  // The texts kept per configured device, in this order.
  struct RowTexts {
    std::string Phone, SourceIp, LinkState, PortState, BytesIn, BytesOut;
    TunnelInfo Tunnel;
  };

  // While it lives, reports of forwarded data carry their bytes only when a monitor is set.
  explicit CDeviceList(CSerialInterface& serial);
  ~CDeviceList();
  CDeviceList(const CDeviceList&) = delete;
  CDeviceList& operator=(const CDeviceList&) = delete;

  // Optional partners; null or 0 for none.
  void SetView(CDeviceListView* view) { m_view = view; }
  void SetMonitor(CMonitorFeed* monitor);
  void SetMainWindow(TargetHandle window) { m_mainWindow = window; }
  void SetEventObserver(CDeviceEventObserver* observer) { m_observer = observer; }

  // One row per tunnel, in device-ID order, every device disconnected.
  void RebuildDeviceList();
  void RemoveAllRows();
  // Column 6 of every row whose tunnel uses the port: open for SERIAL_OPENED, else closed.
  void UpdatePortColumn(const std::string& portName, int code);

  // The handlers of the messages; each returns 0.
  LRESULT OnDeviceEvent(WPARAM wParam, const DataItem& item);
  LRESULT OnTcpStatus(WPARAM code, const DataItem& item);
  LRESULT OnSerialStatus(WPARAM code, LPARAM lParam);
  LRESULT OnDeviceEdited(WPARAM code, const TunnelInfo& tunnel);
  // The not-forwarded store reached its size limit or stores again (WM_NOTTRANS_LIMIT):
  // told in pane 0 of the main window.
  LRESULT OnStoreLimit(WPARAM full, LPARAM figure);

  // The row last chosen for editing (-1: none); the view sets it on a double click.
  void SetSelectedRow(int row) { m_selectedRow = row; }
  int SelectedRow() const { return m_selectedRow; }

  int RowCount() const { return static_cast<int>(m_cells.size()); }
  const std::string& Cell(int row, int column) const;

 private:
  int RowOf(const std::string& deviceId);
  void SetCell(int row, int column, const std::string& text);
  void SendStatus(int pane, const std::string& text);
  void SendOnlineCounts(bool withMatched);

  CSerialInterface& m_serial;
  CDeviceListView* m_view = nullptr;
  CMonitorFeed* m_monitor = nullptr;
  CDeviceEventObserver* m_observer = nullptr;
  TargetHandle m_mainWindow = 0;

  std::mutex m_rowIndexMutex;
  std::map<std::string, int> m_rowIndex;
  std::mutex m_rowTextsMutex;
  std::map<std::string, RowTexts> m_rowTexts;
  std::vector<std::array<std::string, kColumns>> m_cells;  // what the list shows
  int m_selectedRow = -1;
};
