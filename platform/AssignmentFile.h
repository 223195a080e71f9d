#pragma once

#include <map>
#include <string>

// The NAME=value lines of a file in the shell's style, as /etc/default/<program> files are
// written and as systemd's EnvironmentFile reads them: blank lines and lines starting with
// '#' are skipped, a leading "export " is allowed, a value may be quoted with "" or ''
// (nothing is expanded). A later line wins over an earlier one. Lines of any other shape
// are listed in `problems` as "<path>:<line>: <what>". A missing file gives nothing and no
// problem; an unreadable one gives a problem. Any thread.
std::map<std::string, std::string> ReadAssignmentFile(const std::string& path, std::string& problems);
