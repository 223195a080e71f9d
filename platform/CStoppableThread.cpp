#include "platform/CStoppableThread.h"

#include <utility>

namespace Sockora::Win32 {

CStoppableThread::CStoppableThread(Body body) : m_body(std::move(body)) {}

// A record destroyed while its thread runs would leave the body on freed memory:
// stop it and wait first. Owners normally do that themselves.
CStoppableThread::~CStoppableThread() {
  if (Started() && !Wait(0)) {
    Stop();
    Wait();
  }
}

int CStoppableThread::Run() {
  m_body(m_stop);
  return 0;
}

}  // namespace Sockora::Win32
