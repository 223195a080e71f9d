#pragma once

#include <string>

#include "model/DataItem.h"

// One row of the traffic monitor, in the texts it shows.
struct MonitorRow {
  std::string Time;     // local time, "%04d/%02d/%02d %02d:%02d:%02d"
  std::string Channel;  // "[<device ID>] <-> [<port>]", or the device ID for an unknown channel
  std::string Type;     // heartbeat or user data
  std::string Text;     // the data up to its first zero byte
  std::string Hex;      // every byte as two upper-case hexadecimal digits
  std::string Status;   // success or failure

  // A device-to-COM row (toCom, success when code is 4) or a COM-to-device row (always
  // user data); the channel marked when the device's link is TLS. Texts come from the
  // string table.
  static MonitorRow Make(bool toCom, int code, const DataItem& item, const std::string& channel, bool tls);

  // "[<device ID>] <-> [<port>]".
  static std::string ChannelText(const std::string& deviceId, const std::string& port);
  // `channel`, followed by the TLS marker for an encrypted link.
  static std::string LinkChannel(const std::string& channel, bool tls);
};
