#pragma once

#include "service/CMonitorFeed.h"

// Prints each forwarded block as the monitor window lists it: time, channel (marked for a
// TLS link), data type, the data as text or hexadecimal, forwarding status. The text is the
// whole block with every byte that is not printable UTF-8 written as \xNN.
// User-interface thread.
class CConsoleMonitor : public CMonitorFeed {
 public:
  explicit CConsoleMonitor(bool hex) : m_hex(hex) {}

  void AddTcpToCom(int code, const DataItem& item, bool tls) override;
  void AddComToTcp(int code, const DataItem& item, bool tls) override;

 private:
  void Print(const char* direction, bool toCom, int code, const DataItem& item, bool tls);

  const bool m_hex;
};
