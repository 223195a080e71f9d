#include "platform/WriteDebugLine.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/DebugSink.h"

void WriteDebugLine(const char* prefix, const char* format, ...) {
  if (format == nullptr) return;
  constexpr std::size_t kLimit = 10240;
  char message[kLimit];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  char prefixField[256] = {};
  if (prefix != nullptr) std::strncpy(prefixField, prefix, sizeof prefixField - 1);
  char line[kLimit];
  const int written = std::snprintf(line, sizeof line, "%s%s", prefixField, message);
  if (written < 0) return;
  DebugOutput(std::string_view(line, std::min<std::size_t>(static_cast<std::size_t>(written), kLimit - 1)));
}
