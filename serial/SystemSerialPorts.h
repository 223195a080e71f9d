#pragma once

#include <string>
#include <vector>

// The serial ports of this computer as the device editor offers them: the COM<n> entries
// of the port directory (a link to any tty, virtual pairs included), plus COM<n> for
// every /dev/ttyS<n-1> whose driver reports a real UART. Each name once, in port-number
// order. Any thread.
std::vector<std::string> SystemSerialPorts();
