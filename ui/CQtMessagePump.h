#pragma once

#include <QObject>
#include <atomic>
#include <memory>
#include <mutex>

class CMessageQueue;

// Drives the user-interface thread's message queue from Qt's event loop: every message
// sent or posted to a target of this thread schedules one queued ProcessAll, so the
// service's reports reach their targets without a loop of our own, and nothing in the
// service waits on a widget. Construct and destroy on the user-interface thread.
class CQtMessagePump : public QObject {
 public:
  CQtMessagePump();
  ~CQtMessagePump() override;
  CQtMessagePump(const CQtMessagePump&) = delete;
  CQtMessagePump& operator=(const CQtMessagePump&) = delete;

 private:
  // Shared with the wake hook, which a sender may still be running (the queue calls it
  // outside its lock) while the pump goes away.
  struct Waker {
    std::mutex mutex;
    CQtMessagePump* pump = nullptr;  // null once the pump is gone
    // One queued call at a time: a burst of reports costs one trip through Qt's queue.
    std::atomic<bool> scheduled{false};
    void Wake();
  };

  std::shared_ptr<CMessageQueue> m_queue;
  std::shared_ptr<Waker> m_waker = std::make_shared<Waker>();
};
