#pragma once

#include "platform/CEvent.h"

namespace Sockora::Win32 {

class CManualResetEvent : public CEvent {
 public:
  explicit CManualResetEvent(bool initialState = false) : CEvent(true, initialState) {}
};

}  // namespace Sockora::Win32
