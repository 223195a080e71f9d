#pragma once

#include <string>
#include <vector>

// The log-on start of the desktop program: the entry starts `program` with the
// application and port directories this process uses (as VANTREL_APP_DIR and
// VANTREL_PORT_DIR, absolute) in this process's working directory, where the language
// file is looked for first, so that at log-on the program opens the same Info.db, ports
// and language. Main thread.

// The entry's command: env, the two directories, the program.
std::vector<std::string> LogOnCommand(const std::string& program);
// Writes the entry (see AutostartEntry.h); 0 or the errno of the failure.
int WriteLogOnEntry(const std::string& program);
