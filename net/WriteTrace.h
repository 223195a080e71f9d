#pragma once

#include <string_view>

namespace Sockora {

// Writes "<thread id>: <message>" as one line to "Sockora.log" in the application
// directory (opened on first use, a header line once per run, every line flushed at once,
// rotated to "Sockora.log.1" past a few megabytes) and to the debug sink (stderr when
// enabled; once only, so that standard output carries the status lines alone). A log
// file that cannot be opened leaves the debug sink going. Any thread; lines of different
// threads never interleave.
void WriteTrace(std::string_view message);

// As WriteTrace, for a line written per received buffer: its copy in the file waits until
// about 4 KB of such lines have gathered, the next WriteTrace line, or FlushTrace, in
// their order. The debug sink's copy goes at once. Any thread.
void WriteFrequentTrace(std::string_view message);

// Writes the gathered lines to the file. Any thread; the data center calls it every second.
void FlushTrace();

}  // namespace Sockora
