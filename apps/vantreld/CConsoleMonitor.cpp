#include "CConsoleMonitor.h"

#include <algorithm>
#include <cstdio>

#include "core/CTunnelTable.h"
#include "model/DataText.h"
#include "service/MonitorRow.h"

void CConsoleMonitor::AddTcpToCom(int code, const DataItem& item, bool tls) {
  Print("Tcp->Com", true, code, item, tls);
}

void CConsoleMonitor::AddComToTcp(int code, const DataItem& item, bool tls) {
  Print("Com->Tcp", false, code, item, tls);
}

void CConsoleMonitor::Print(const char* direction, bool toCom, int code, const DataItem& item, bool tls) {
  const std::string id = DeviceIdOf(item);
  const TunnelInfo tunnel = CTunnelTable::Instance().Get(id);
  const std::string channel = tunnel.DeviceID.empty() ? id : MonitorRow::ChannelText(id, tunnel.SerialNo);
  const MonitorRow row = MonitorRow::Make(toCom, code, item, channel, tls);
  // The whole block, not the window's text up to its first zero byte; and only printable
  // UTF-8, so that the journal keeps the line as text.
  const std::string data =
      m_hex ? row.Hex : EscapedText(item.Data, static_cast<std::size_t>(std::clamp(item.Length, 0, DATA_ITEM_PAYLOAD)));
  std::printf("%s  %s  %s  %s  %s  %s\n", row.Time.c_str(), direction, row.Channel.c_str(), row.Type.c_str(),
              data.c_str(), row.Status.c_str());
  std::fflush(stdout);
}
