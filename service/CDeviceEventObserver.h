#pragma once

#include <string>

#include "model/DataItem.h"

// Told about the service's device and port events as the device list receives them, for
// every device, configured or not: a console or a log shows them one line each.
// User-interface thread; the item and the name are valid only during the call.
class CDeviceEventObserver {
 public:
  virtual ~CDeviceEventObserver() = default;
  // A DATA_REGISTER or DATA_OFFLINE record.
  virtual void DeviceLinkChanged(const DataItem& item) = 0;
  // The outcome of an open (at start, after an edit, or a retry that succeeded).
  virtual void PortOpenChanged(const std::string& portName, bool opened) = 0;
  // Device data that could not be written to its port.
  virtual void PortWriteFailed(const DataItem& item) = 0;
};
