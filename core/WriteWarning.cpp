#include "core/WriteWarning.h"

#include <errno.h>

#include <cstdio>
#include <string>

#include "net/WriteTrace.h"
#include "platform/JournalStream.h"

void WriteWarning(std::string_view text) {
  const std::string line = std::string(program_invocation_short_name) + ": warning: " + std::string(text) + "\n";
  std::fputs(ForJournal(stderr, LinePriority::Warning, line).c_str(), stderr);
  std::fflush(stderr);
  Sockora::WriteTrace("Warning: " + std::string(text));
}
