#include "platform/CWin32Exception.h"

#include <cerrno>
#include <cstring>
#include <utility>

namespace Sockora::Win32 {

namespace {

// strerror_r leaves "Unknown error N" for codes it does not know; that is "no text".
bool LookUp(int error, std::string& text) {
  char buffer[512];
  const char* found = strerror_r(error, buffer, sizeof buffer);
  if (found == nullptr || std::strncmp(found, "Unknown error", 13) == 0) return false;
  text.assign(found, ::strnlen(found, 511));
  text += "\r\n";
  return true;
}

}  // namespace

std::string FormatErrorText(unsigned error) {
  std::string text;
  if (LookUp(static_cast<int>(error), text)) return text;
  LookUp(EINVAL, text);
  return text;
}

CWin32Exception::CWin32Exception(std::string where, unsigned error)
    : CException(std::move(where), FormatErrorText(error)), m_error(error) {}

}  // namespace Sockora::Win32
