#pragma once

#include <string>

namespace Sockora::Win32 {

// A failure of the framework: where names "Class::Operation()", message says what went wrong.
class CException {
 public:
  CException(std::string where, std::string message);
  virtual ~CException() = default;

  virtual std::string GetWhere() const;
  virtual std::string GetMessage() const;

 protected:
  std::string m_where;
  std::string m_message;
};

}  // namespace Sockora::Win32
