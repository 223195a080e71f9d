#pragma once

#include <cstdint>
#include <map>
#include <optional>
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
  // Every row replaced (after a rebuild or a clear, or a row of a device without a tunnel
  // came or went).
  virtual void RowsReset() = 0;
  virtual void CellChanged(int row, int column) = 0;
};

// A configured device's row in its own terms; a view makes the texts, in the language in
// use when it shows them.
struct DeviceRow {
  enum class Link { Disconnected, Connected };
  enum class Port { Closed, Open };

  std::string DeviceId;
  std::string Phone, SourceIp;  // as the device registered; empty until it has
  std::string RemoteAddress;     // "address:port" the connection came from; empty until it has
  std::string SerialNo, BaudRate, Note;  // the tunnel's
  Link LinkState = Link::Disconnected;
  bool Tls = false;  // while connected: the link is encrypted (came over the TLS listener)
  Port PortState = Port::Closed;
  // The data center's counts; empty until the first record that counts them.
  std::optional<std::uint64_t> BytesIn, BytesOut;
  // When the device last sent user data (milliseconds since the epoch); 0 when it has not.
  std::int64_t LastDataMs = 0;
};

// The device list of the service host, without a widget: one row per configured device
// with its link and port state and byte counters, kept up to date from the forwarding
// core's messages; failed COM writes of listed devices are handed over for storage.
// Everything runs on the user-interface thread.
class CDeviceList {
 public:
  static constexpr int kColumns = 12;
  enum Column {
    DeviceId, Phone, SourceIp, Port, BaudRate, LinkState, PortState, BytesIn, BytesOut, Note, RemoteAddress, LastData
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
  // The tunnel table changed while the service runs (a reload or the device editor): one
  // row per tunnel again, in device-ID order. A device that keeps its tunnel keeps its
  // link, registration and counters in its row; a new row shows a device that is already
  // online as connected; every row shows its port's state now. The selection follows its
  // device. The view is told RowsReset.
  void ApplyTunnels();
  void RemoveAllRows();
  // The port state of every row whose tunnel uses the port: open for SERIAL_OPENED, else closed.
  void UpdatePortColumn(const std::string& portName, int code);

  // The handlers of the messages; each returns 0.
  LRESULT OnDeviceEvent(WPARAM wParam, const DataItem& item);
  LRESULT OnTcpStatus(WPARAM code, const DataItem& item);
  LRESULT OnSerialStatus(WPARAM code, LPARAM lParam);
  // The not-forwarded store reached its size limit or stores again (WM_NOTTRANS_LIMIT):
  // told in pane 0 of the main window.
  LRESULT OnStoreLimit(WPARAM full, LPARAM figure);

  // The row last chosen for editing (-1: none); the view sets it on a double click.
  void SetSelectedRow(int row) { m_selectedRow = row; }
  int SelectedRow() const { return m_selectedRow; }

  int RowCount() const { return static_cast<int>(m_rows.size()); }

  // A device online without a tunnel, as it registered.
  struct Registration {
    std::string Phone, SourceIp;
    std::string RemoteAddress;  // "address:port" the connection came from
  };
  // The devices online without a row, by ID; a view is told RowsReset when one comes or goes.
  const std::map<std::string, Registration>& Unlisted() const { return m_unlisted; }
  const DeviceRow& Row(int row) const { return m_rows.at(static_cast<std::size_t>(row)); }

 private:
  int RowOf(const std::string& deviceId) const;
  // Tells the view that a cell of `row` shows something new.
  void Changed(int row, int column);
  void SetPortState(int row, DeviceRow::Port state);
  void SendStatus(int pane, const std::string& text);
  void SendOnlineCounts(bool withMatched);

  CSerialInterface& m_serial;
  CDeviceListView* m_view = nullptr;
  CMonitorFeed* m_monitor = nullptr;
  CDeviceEventObserver* m_observer = nullptr;
  TargetHandle m_mainWindow = 0;

  std::vector<DeviceRow> m_rows;  // in device-ID order
  std::map<std::string, int> m_rowIndex;
  // Devices online without a row, with their registration's phone and address: a tunnel
  // added for one while it is online shows it connected.
  std::map<std::string, Registration> m_unlisted;
  int m_selectedRow = -1;
};
