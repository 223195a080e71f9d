#pragma once

#include <string_view>

// Tells the operator about something the program works around (a stored value it cannot
// use, a file it may only read): one line on stderr, prefixed with the program's name and
// "warning:", and the same line in the trace log. Any thread.
void WriteWarning(std::string_view text);
