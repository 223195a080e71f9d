#pragma once

#include <string_view>

namespace Sockora {

// Writes "<thread id>: <message>" as one line to "Sockora.log" in the application
// directory (opened on first use, a header line once per run, every line flushed at once,
// rotated to "Sockora.log.1" past a few megabytes) and to the debug sink; when the debug
// sink is enabled the line is also copied to standard output. A log file that cannot be
// opened leaves the other copies going. Any thread; lines of different threads never
// interleave.
void WriteTrace(std::string_view message);

}  // namespace Sockora
