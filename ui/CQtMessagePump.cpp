#include "ui/CQtMessagePump.h"

#include <QMetaObject>

#include "platform/CMessageQueue.h"

CQtMessagePump::CQtMessagePump() : m_queue(CMessageQueue::ForThisThread()) {
  m_waker->pump = this;
  m_queue->SetWakeHook([waker = m_waker] { waker->Wake(); });
  // Whatever arrived before the hook was set.
  m_waker->Wake();
}

CQtMessagePump::~CQtMessagePump() {
  m_queue->SetWakeHook({});
  std::lock_guard lock(m_waker->mutex);
  m_waker->pump = nullptr;
}

void CQtMessagePump::Waker::Wake() {
  std::lock_guard lock(mutex);
  if (pump == nullptr || scheduled.exchange(true)) return;
  CQtMessagePump* const target = pump;
  // Qt drops the call if the pump is deleted before it runs.
  QMetaObject::invokeMethod(
      target,
      [target] {
        // Cleared first: a message arriving while ProcessAll runs schedules another pass.
        target->m_waker->scheduled = false;
        target->m_queue->ProcessAll();
      },
      Qt::QueuedConnection);
}
