#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/CAutoResetEvent.h"
#include "platform/CThread.h"

namespace Sockora::Win32 {

// A worker thread record: the thread and its stop event. The body gets the stop event
// and returns when it sees it set. Owners call Stop() and then Wait().
class CStoppableThread : public CThread {
 public:
  using Body = std::function<void(CEvent& stop)>;

  explicit CStoppableThread(Body body);
  ~CStoppableThread() override;

  // Creates the thread and starts it. Throws as Start does.
  static std::unique_ptr<CStoppableThread> Launch(Body body);

  // Any thread.
  void Stop() { m_stop.Set(); }
  // Any thread but its own: Stop, then wait without a limit for the end.
  void StopAndWait() {
    Stop();
    Wait();
  }
  CEvent& StopEvent() { return m_stop; }

 protected:
  int Run() override;

 private:
  Body m_body;
  CAutoResetEvent m_stop;
};

}  // namespace Sockora::Win32
