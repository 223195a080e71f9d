#pragma once

#include <algorithm>
#include <cctype>
#include <string>

#include "model/TunnelInfo.h"

// The part of a tunnel that concerns its port. Several tunnels may name one port; they
// then share one set of these.
struct PortSettings {
  std::string SerialNo;  // port name, e.g. COM3; the number is the text from the fourth character on
  std::string BaudRate;  // decimal
  std::string DateBit;   // decimal data bits
  std::string StopBit;   // "1", "1.5" or "2"
  std::string Parity;    // "None", "Odd", "Even", "Mark" or "Space"

  static PortSettings FromTunnel(const TunnelInfo& tunnel) {
    return PortSettings{tunnel.SerialNo, tunnel.BaudRate, tunnel.DateBit, tunnel.StopBit, tunnel.Parity};
  }

  // All five texts equal, ignoring letter case.
  bool SameAs(const PortSettings& other) const {
    return EqualNoCase(SerialNo, other.SerialNo) && EqualNoCase(BaudRate, other.BaudRate) &&
           EqualNoCase(DateBit, other.DateBit) && EqualNoCase(StopBit, other.StopBit) &&
           EqualNoCase(Parity, other.Parity);
  }

 private:
  static bool EqualNoCase(const std::string& a, const std::string& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](unsigned char x, unsigned char y) {
      return std::tolower(x) == std::tolower(y);
    });
  }
};
