#pragma once

#include "platform/CEvent.h"

namespace Sockora::Win32 {

class CAutoResetEvent : public CEvent {
 public:
  explicit CAutoResetEvent(bool initialState = false) : CEvent(false, initialState) {}
};

}  // namespace Sockora::Win32
