#pragma once

#include "model/DataItem.h"

// Receives every forwarding outcome for a listed device, on the user-interface thread:
// writes to COM ports (code SERIAL_WRITTEN or SERIAL_WRITE_FAILED) and sends to devices
// (TCP_SENT or TCP_SEND_FAILED). The item is valid only during the call; `tls` says the
// device's link is encrypted, as its row in the device list shows.
class CMonitorFeed {
 public:
  virtual ~CMonitorFeed() = default;
  virtual void AddTcpToCom(int code, const DataItem& item, bool tls) = 0;
  virtual void AddComToTcp(int code, const DataItem& item, bool tls) = 0;
};
