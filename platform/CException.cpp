#include "platform/CException.h"

#include <utility>

namespace Sockora::Win32 {

CException::CException(std::string where, std::string message)
    : m_where(std::move(where)), m_message(std::move(message)) {}

std::string CException::GetWhere() const { return m_where; }

std::string CException::GetMessage() const { return m_message; }

}  // namespace Sockora::Win32
