#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "TlsClient.h"

// What the simulator is asked to do, checked and ready to use.
struct DevsimOptions {
  enum class Show { Text, Hex, None };

  std::string host = "127.0.0.1";
  std::uint16_t port = 5001;
  int devices = 1;
  std::uint32_t firstNumber = 1;
  std::string phone = "13800000000";
  std::string address = "192.168.1.100";
  double heartbeatSeconds = 0;
  bool tls = false;
  TlsClientSettings tlsSettings;  // with --tls

  std::vector<unsigned char> payload;  // from --text, --hex, --file or --generate
  bool generated = false;              // payload is a pattern made fresh for every message
  int count = 1;                       // messages per device
  double rate = 10;                    // messages per second per device

  Show show = Show::Text;
  bool echo = false;
  bool check = false;
  bool escape = false;
  double durationSeconds = 0;  // 0: until the work is done (or Ctrl+C when there is none)
  double lingerSeconds = 3;    // how long to wait for replies after the last message
};

// Parses the command line. Returns -1 when the simulation should run; otherwise the exit
// code (0 after --help, 2 after a bad option, with the reason on stderr).
int ParseDevsimOptions(int argc, char** argv, DevsimOptions& options);
