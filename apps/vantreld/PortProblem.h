#pragma once

#include <string>

// Why the port named `portName` ("COM5") probably cannot be opened, told from its entry
// without opening it (an open and close of a real UART would toggle its modem lines):
// a missing entry, a link to nothing, an end of a setupc pair whose holder is gone, no
// permission, or else a device that refused the open or its line settings (or, for a write,
// that stopped taking data). Any thread.
enum class PortStep { Open, Write };
std::string PortProblem(const std::string& portName, PortStep step = PortStep::Open);
