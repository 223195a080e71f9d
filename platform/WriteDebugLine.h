#pragma once

// Writes prefix ("[MSG]" or "[ERROR]") directly followed by the formatted message to the
// debug sink. No line end is added. A null message writes nothing; a line longer than
// 10240 bytes is cut. Any thread.
void WriteDebugLine(const char* prefix, const char* format, ...) __attribute__((format(printf, 2, 3)));
