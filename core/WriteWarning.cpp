#include "core/WriteWarning.h"

#include <errno.h>

#include <cstdio>
#include <string>

#include "net/WriteTrace.h"

void WriteWarning(std::string_view text) {
  std::fprintf(stderr, "%s: warning: %.*s\n", program_invocation_short_name, static_cast<int>(text.size()),
               text.data());
  std::fflush(stderr);
  Sockora::WriteTrace("Warning: " + std::string(text));
}
