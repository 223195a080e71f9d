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

std::unique_ptr<CStoppableThread> CStoppableThread::Launch(Body body) {
  auto thread = std::make_unique<CStoppableThread>(std::move(body));
  thread->Start();
  return thread;
}

int CStoppableThread::Run() {
  m_body(m_stop);
  return 0;
}

}  // namespace Sockora::Win32
