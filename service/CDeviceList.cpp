#include "service/CDeviceList.h"

#include <strings.h>

#include "core/CDataCenter.h"
#include "core/CTcpServer.h"
#include "core/CTunnelTable.h"
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

const std::string& CDeviceList::Cell(int row, int column) const {
  return m_cells.at(static_cast<std::size_t>(row)).at(static_cast<std::size_t>(column));
}

void CDeviceList::SetCell(int row, int column, const std::string& text) {
  m_cells[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)] = text;
  if (m_view != nullptr) m_view->CellChanged(row, column);
}

void CDeviceList::RemoveAllRows() {
  m_cells.clear();
  if (m_view != nullptr) m_view->RowsReset();
}

void CDeviceList::RebuildDeviceList() {
  m_cells.clear();
  {
    std::lock_guard lock(m_rowTextsMutex);
    m_rowTexts.clear();
    for (const auto& [id, tunnel] : CTunnelTable::Instance().Snapshot()) {
      RowTexts texts;
      texts.LinkState = Text(IDS_LINK_DISCONNECTED);
      texts.PortState = Text(m_serial.IsPortOpen(tunnel.SerialNo) ? IDS_PORT_OPEN : IDS_PORT_CLOSED);
      texts.Tunnel = tunnel;
      m_rowTexts.emplace(id, texts);
    }
  }
  {
    std::lock_guard lock(m_rowIndexMutex);
    m_rowIndex.clear();
  }
  std::lock_guard lock(m_rowTextsMutex);
  int row = 0;
  for (const auto& [id, texts] : m_rowTexts) {
    m_cells.push_back({id, texts.Phone, texts.SourceIp, texts.Tunnel.SerialNo, texts.Tunnel.BaudRate, texts.LinkState,
                       texts.PortState, texts.BytesIn, texts.BytesOut, texts.Tunnel.Note});
    std::lock_guard indexLock(m_rowIndexMutex);
    m_rowIndex[id] = row++;
  }
  if (m_view != nullptr) m_view->RowsReset();
}

int CDeviceList::RowOf(const std::string& deviceId) {
  std::lock_guard lock(m_rowIndexMutex);
  auto it = m_rowIndex.find(deviceId);
  return it == m_rowIndex.end() || it->second >= RowCount() ? -1 : it->second;
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
      if (row >= 0) {
        SetCell(row, Phone, RegisteredPhone(item.Data));
        SetCell(row, SourceIp, RegisteredAddress(item.Data));
        SetCell(row, LinkState, Text(IDS_LINK_CONNECTED));
        SendOnlineCounts(true);
      }
      break;
    case DATA_OFFLINE:
      SendOnlineCounts(false);
      if (row >= 0) {
        SetCell(row, LinkState, Text(IDS_LINK_DISCONNECTED));
        SendOnlineCounts(true);
      }
      break;
    case DATA_USER:
      if (row >= 0) SetCell(row, BytesIn, Decimal(CDataCenter::Instance().GetDeviceTraffic(id).BytesIn));
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
  SetCell(row, BytesOut, Decimal(CDataCenter::Instance().GetDeviceTraffic(id).BytesOut));
  if (m_monitor != nullptr) m_monitor->AddComToTcp(static_cast<int>(code), item);
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
  const std::string text = Text(code == SERIAL_WRITTEN ? IDS_PORT_OPEN : IDS_PORT_CLOSED);
  if (strcasecmp(Cell(row, PortState).c_str(), text.c_str()) != 0) SetCell(row, PortState, text);
  if (m_monitor != nullptr) m_monitor->AddTcpToCom(static_cast<int>(code), item);
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
  const std::string text = Text(code == static_cast<int>(SERIAL_OPENED) ? IDS_PORT_OPEN : IDS_PORT_CLOSED);
  for (const std::string& id : CTunnelTable::Instance().IdsOnPort(portName)) {
    const int row = RowOf(id);
    if (row >= 0) SetCell(row, PortState, text);
  }
}

LRESULT CDeviceList::OnDeviceEdited(WPARAM code, const TunnelInfo& tunnel) {
  if (code != 1) return 0;
  if (m_selectedRow >= 0 && m_selectedRow < RowCount()) {
    SetCell(m_selectedRow, Port, tunnel.SerialNo);
    SetCell(m_selectedRow, Note, tunnel.Note);
  }
  // Every device on one port shares its settings.
  for (int row = 0; row < RowCount(); ++row)
    if (strcasecmp(Cell(row, Port).c_str(), tunnel.SerialNo.c_str()) == 0) SetCell(row, BaudRate, tunnel.BaudRate);

  const PortSettings settings = PortSettings::FromTunnel(tunnel);
  switch (m_serial.CompareSettings(settings)) {
    case 1:
      m_serial.ReopenPort(settings);
      m_serial.UpdateSettings(settings);
      break;
    case -1:
      m_serial.OpenNewPort(settings);
      m_serial.AddSettings(settings);
      break;
    default:
      UpdatePortColumn(tunnel.SerialNo,
                       static_cast<int>(m_serial.IsPortOpen(tunnel.SerialNo) ? SERIAL_OPENED : SERIAL_OPEN_FAILED));
      break;
  }
  return 0;
}
