#pragma once

#include <string>

#include "platform/CException.h"

namespace Sockora::Win32 {

// The system's text for an error code (errno here), with a line break at its end as the
// system message table gives it. A code the system has no text for yields the text of
// EINVAL, the error the lookup itself produced.
std::string FormatErrorText(unsigned error);

// A failed system call: the error code travels with the exception, the message is its text.
class CWin32Exception : public CException {
 public:
  CWin32Exception(std::string where, unsigned error);

  unsigned GetError() const { return m_error; }

 private:
  unsigned m_error;
};

}  // namespace Sockora::Win32
