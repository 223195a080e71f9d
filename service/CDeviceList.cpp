#include "service/CDeviceList.h"

#include <algorithm>
#include <chrono>

#include "core/CDataCenter.h"
#include "core/CTcpServer.h"
#include "core/CTunnelTable.h"
#include "model/LinkEvent.h"
#include "model/WindowMessages.h"
#include "platform/CMessageTarget.h"
#include "protocol/RegistrationPacket.h"
#include "resources/CResourceStrings.h"
#include "resources/ResourceIds.h"
#include "serial/CSerialInterface.h"
#include "service/CDeviceEventObserver.h"
#include "service/CMonitorFeed.h"

namespace {

std::string Text(unsigned id) { return CResourceStrings::Instance().LoadString(id); }

std::string Decimal(std::uint64_t value) { return std::to_string(value); }

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::size_t PayloadLength(const DataItem& item) {
  return static_cast<std::size_t>(std::clamp(item.Length, 0, DATA_ITEM_PAYLOAD));
}

// The connection's own source, which a device behind a NAT does not know to put in its packet.
std::string RemoteAddressOf(const DataItem& registration) {
  return LinkSource(DATA_REGISTER, registration.Data, PayloadLength(registration));
}

}  // namespace

CDeviceList::CDeviceList(CSerialInterface& serial) : m_serial(serial) {
  CDataCenter::Instance().SetReportsCarryData(false);
}

CDeviceList::~CDeviceList() { CDataCenter::Instance().SetReportsCarryData(true); }

// The monitor's rows are the only reader of forwarded bytes in the reports.
void CDeviceList::SetMonitor(CMonitorFeed* monitor) {
  m_monitor = monitor;
  CDataCenter::Instance().SetReportsCarryData(monitor != nullptr);
}

void CDeviceList::Changed(int row, int column) {
  if (m_view != nullptr) m_view->CellChanged(row, column);
}

void CDeviceList::RemoveAllRows() {
  m_rows.clear();
  m_rowIndex.clear();
  m_unlisted.clear();
  if (m_view != nullptr) m_view->RowsReset();
}

void CDeviceList::RebuildDeviceList() {
  m_rows.clear();
  m_rowIndex.clear();
  for (const auto& [id, tunnel] : CTunnelTable::Instance().Snapshot()) {
    DeviceRow row;
    row.DeviceId = id;
    row.SerialNo = tunnel.SerialNo;
    row.BaudRate = tunnel.BaudRate;
    row.Note = tunnel.Note;
    row.PortState = m_serial.IsPortOpen(tunnel.SerialNo) ? DeviceRow::Port::Open : DeviceRow::Port::Closed;
    m_rowIndex[id] = RowCount();
    m_rows.push_back(std::move(row));
  }
  if (m_view != nullptr) m_view->RowsReset();
}

void CDeviceList::ApplyTunnels() {
  const std::string selected = m_selectedRow >= 0 && m_selectedRow < RowCount() ? Row(m_selectedRow).DeviceId : "";
  const std::map<std::string, TunnelInfo> tunnels = CTunnelTable::Instance().Snapshot();
  for (const DeviceRow& row : m_rows) {
    if (row.LinkState == DeviceRow::Link::Connected && tunnels.count(row.DeviceId) == 0)
      m_unlisted[row.DeviceId] = {row.Phone, row.SourceIp, row.RemoteAddress};
  }
  std::vector<DeviceRow> rows;
  std::map<std::string, int> index;
  for (const auto& [id, tunnel] : tunnels) {
    DeviceRow row;
    if (const int kept = RowOf(id); kept >= 0) {
      row = std::move(m_rows[static_cast<std::size_t>(kept)]);
    } else if (auto online = m_unlisted.find(id); online != m_unlisted.end()) {
      row.Phone = online->second.Phone;
      row.SourceIp = online->second.SourceIp;
      row.RemoteAddress = online->second.RemoteAddress;
      row.LinkState = DeviceRow::Link::Connected;
      m_unlisted.erase(online);
    }
    row.DeviceId = id;
    row.SerialNo = tunnel.SerialNo;
    row.BaudRate = tunnel.BaudRate;
    row.Note = tunnel.Note;
    row.PortState = m_serial.IsPortOpen(tunnel.SerialNo) ? DeviceRow::Port::Open : DeviceRow::Port::Closed;
    index[id] = static_cast<int>(rows.size());
    rows.push_back(std::move(row));
  }
  m_rows = std::move(rows);
  m_rowIndex = std::move(index);
  m_selectedRow = selected.empty() ? -1 : RowOf(selected);
  if (m_view != nullptr) m_view->RowsReset();
}

int CDeviceList::RowOf(const std::string& deviceId) const {
  auto it = m_rowIndex.find(deviceId);
  return it == m_rowIndex.end() ? -1 : it->second;
}

void CDeviceList::SetPortState(int row, DeviceRow::Port state) {
  m_rows[static_cast<std::size_t>(row)].PortState = state;
  Changed(row, PortState);
}

void CDeviceList::SendStatus(int pane, const std::string& text) {
  CMessageTarget::Send(m_mainWindow, WM_STATUS_TEXT, static_cast<WPARAM>(pane), reinterpret_cast<LPARAM>(text.c_str()));
}

void CDeviceList::SendOnlineCounts(bool withMatched) {
  CDataCenter& center = CDataCenter::Instance();
  if (!withMatched) {
    SendStatus(2, Text(IDS_CONNECTED_TOTAL) + ":" + Decimal(static_cast<std::uint64_t>(center.OnlineCount())));
    return;
  }
  SendStatus(3, Text(IDS_MATCHED_ONLINE_TOTAL) + ":" + Decimal(static_cast<std::uint64_t>(center.MatchedOnlineCount())));
}

LRESULT CDeviceList::OnDeviceEvent(WPARAM wParam, const DataItem& item) {
  if (wParam != 0) return 0;
  if (m_observer != nullptr && (item.Kind == DATA_REGISTER || item.Kind == DATA_OFFLINE))
    m_observer->DeviceLinkChanged(item);
  const std::string id = DeviceIdOf(item);
  const int row = RowOf(id);
  switch (item.Kind) {
    case DATA_REGISTER:
      SendOnlineCounts(false);
      if (row < 0) {
        m_unlisted[id] = {RegisteredPhone(item.Data), RegisteredAddress(item.Data), RemoteAddressOf(item)};
        if (m_view != nullptr) m_view->RowsReset();
      } else {
        DeviceRow& entry = m_rows[static_cast<std::size_t>(row)];
        entry.Phone = RegisteredPhone(item.Data);
        entry.SourceIp = RegisteredAddress(item.Data);
        entry.RemoteAddress = RemoteAddressOf(item);
        entry.LinkState = DeviceRow::Link::Connected;
        entry.Tls = IsTlsLink(item.Kind, item.Data, PayloadLength(item));
        Changed(row, Phone);
        Changed(row, SourceIp);
        Changed(row, RemoteAddress);
        Changed(row, LinkState);
        SendOnlineCounts(true);
      }
      break;
    case DATA_OFFLINE:
      SendOnlineCounts(false);
      if (row < 0 && m_unlisted.erase(id) > 0 && m_view != nullptr) m_view->RowsReset();
      if (row >= 0) {
        m_rows[static_cast<std::size_t>(row)].LinkState = DeviceRow::Link::Disconnected;
        m_rows[static_cast<std::size_t>(row)].Tls = false;
        Changed(row, LinkState);
        SendOnlineCounts(true);
      }
      break;
    case DATA_USER:
      if (row < 0) break;
      m_rows[static_cast<std::size_t>(row)].BytesIn = CDataCenter::Instance().GetDeviceTraffic(id).BytesIn;
      m_rows[static_cast<std::size_t>(row)].LastDataMs = NowMs();
      Changed(row, BytesIn);
      Changed(row, LastData);
      break;
    default:
      break;
  }
  return 0;
}

LRESULT CDeviceList::OnTcpStatus(WPARAM code, const DataItem& item) {
  if (code != TCP_SEND_FAILED && code != TCP_SENT) return 0;
  const std::string id = DeviceIdOf(item);
  const int row = RowOf(id);
  if (row < 0) return 0;
  m_rows[static_cast<std::size_t>(row)].BytesOut = CDataCenter::Instance().GetDeviceTraffic(id).BytesOut;
  Changed(row, BytesOut);
  if (m_monitor != nullptr) m_monitor->AddComToTcp(static_cast<int>(code), item, Row(row).Tls);
  return 0;
}

LRESULT CDeviceList::OnSerialStatus(WPARAM code, LPARAM lParam) {
  if (m_observer != nullptr && (code == SERIAL_OPENED || code == SERIAL_OPEN_FAILED))
    m_observer->PortOpenChanged(reinterpret_cast<const char*>(lParam), code == SERIAL_OPENED);
  if (m_observer != nullptr && code == SERIAL_WRITE_FAILED)
    m_observer->PortWriteFailed(*reinterpret_cast<const DataItem*>(lParam));
  if (code == SERIAL_OPENED || code == SERIAL_OPEN_FAILED) {
    UpdatePortColumn(reinterpret_cast<const char*>(lParam), static_cast<int>(code));
    return 0;
  }
  if (code != SERIAL_WRITTEN && code != SERIAL_WRITE_FAILED) return 0;
  const DataItem& item = *reinterpret_cast<const DataItem*>(lParam);
  // The one place where data that did not reach its port is handed over for storage; also
  // once the rows are gone, for the records that fail while the service stops.
  if (code == SERIAL_WRITE_FAILED) CDataCenter::Instance().StoreNotTransData(item);
  const int row = RowOf(DeviceIdOf(item));
  if (row < 0) return 0;
  const DeviceRow::Port state = code == SERIAL_WRITTEN ? DeviceRow::Port::Open : DeviceRow::Port::Closed;
  if (Row(row).PortState != state) SetPortState(row, state);
  if (m_monitor != nullptr) m_monitor->AddTcpToCom(static_cast<int>(code), item, Row(row).Tls);
  return 0;
}

LRESULT CDeviceList::OnStoreLimit(WPARAM full, LPARAM figure) {
  std::string text = Text(full != 0 ? IDS_NOTTRANS_LIMIT_REACHED : IDS_NOTTRANS_STORING_RESUMED);
  if (const std::size_t at = text.find("%s"); at != std::string::npos)
    text.replace(at, 2, Decimal(static_cast<std::uint64_t>(figure)));
  SendStatus(0, text);
  return 0;
}

void CDeviceList::UpdatePortColumn(const std::string& portName, int code) {
  const DeviceRow::Port state =
      code == static_cast<int>(SERIAL_OPENED) ? DeviceRow::Port::Open : DeviceRow::Port::Closed;
  for (const std::string& id : CTunnelTable::Instance().IdsOnPort(portName)) {
    const int row = RowOf(id);
    if (row >= 0) SetPortState(row, state);
  }
}
