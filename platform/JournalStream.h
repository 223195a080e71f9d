#pragma once

#include <cstdio>
#include <string>
#include <string_view>

// The syslog priorities a line to the journal carries.
enum class LinePriority { Error = 3, Warning = 4, Info = 6 };

// `text` (one line or several, each ending in '\n') as it is to be written to `stream`
// (stdout or stderr): when that stream is the journal (JOURNAL_STREAM names its device
// and inode, as systemd sets it), every line is led by "<N>", so the journal files it
// under that priority; otherwise unchanged. Any thread.
std::string ForJournal(std::FILE* stream, LinePriority priority, std::string_view text);
