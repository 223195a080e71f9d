#include "CConsoleMonitor.h"

#include <cstdio>

#include "core/CTunnelTable.h"
#include "model/DataText.h"
#include "service/MonitorRow.h"

void CConsoleMonitor::AddTcpToCom(int code, const DataItem& item) { Print("Tcp->Com", true, code, item); }

void CConsoleMonitor::AddComToTcp(int code, const DataItem& item) { Print("Com->Tcp", false, code, item); }

void CConsoleMonitor::Print(const char* direction, bool toCom, int code, const DataItem& item) {
  const std::string id = DeviceIdOf(item);
  const TunnelInfo tunnel = CTunnelTable::Instance().Get(id);
  const std::string channel = tunnel.DeviceID.empty() ? id : MonitorRow::ChannelText(id, tunnel.SerialNo);
  const MonitorRow row = MonitorRow::Make(toCom, code, item, channel);
  std::printf("%s  %s  %s  %s  %s  %s\n", row.Time.c_str(), direction, row.Channel.c_str(), row.Type.c_str(),
              (m_hex ? row.Hex : TextOf(row.Text)).c_str(), row.Status.c_str());
  std::fflush(stdout);
}
