#pragma once

#include <cstdint>
#include <string>

// What a listener of the service has just done, and where it listens.
struct ListenerState {
  enum class Change { Started, Paused, Resumed };

  Change What = Change::Started;
  std::string Address;  // the dotted IPv4 address listened on; "0.0.0.0" for every address
  std::uint16_t Port = 0;  // the port listened on (while paused: the one it listened on); 0: none (TlsOnly)
  std::uint16_t TlsPort = 0;  // the TLS listener's port, the same way; 0: none
};
