#pragma once

#include <string>

// One configured tunnel: a device ID and the COM port with its line settings.
struct TunnelInfo {
  std::string DeviceID;  // 8 hexadecimal digits
  std::string SerialNo;  // port name, e.g. COM3
  std::string BaudRate;  // decimal
  std::string DateBit;   // decimal
  std::string StopBit;   // "1", "1.5" or "2"
  std::string Parity;    // "None", "Odd", "Even", "Space" or "Mark"
  std::string Note;

  bool operator==(const TunnelInfo&) const = default;
};
