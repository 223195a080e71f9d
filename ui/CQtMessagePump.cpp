#include "ui/CQtMessagePump.h"

#include <QMetaObject>
#include <QTimer>

#include "platform/CMessageQueue.h"

CQtMessagePump::CQtMessagePump() : m_queue(CMessageQueue::ForThisThread()) {
  m_waker->pump = this;
  m_queue->SetWakeHook([waker = m_waker](bool urgent) { waker->Wake(urgent); });
  // Whatever arrived before the hook was set.
  m_waker->Wake(true);
}

CQtMessagePump::~CQtMessagePump() {
  m_queue->SetWakeHook({});
  std::lock_guard lock(m_waker->mutex);
  m_waker->pump = nullptr;
}

void CQtMessagePump::Waker::Wake(bool urgent) {
  std::lock_guard lock(mutex);
  if (pump == nullptr) return;
  CQtMessagePump* const target = pump;
  // Qt drops the calls if the pump is deleted before they run. Each flag is cleared
  // first: a message arriving while ProcessAll runs schedules another pass.
  if (urgent) {
    if (scheduled.exchange(true)) return;
    QMetaObject::invokeMethod(
        target,
        [target] {
          target->m_waker->scheduled = false;
          target->m_queue->ProcessAll();
        },
        Qt::QueuedConnection);
    return;
  }
  if (gathering.exchange(true)) return;
  // The timer is started on the user-interface thread, where it fires.
  QMetaObject::invokeMethod(
      target,
      [target] {
        QTimer::singleShot(CMessageQueue::kReportGather, target, [target] {
          target->m_waker->gathering = false;
          target->m_queue->ProcessAll();
        });
      },
      Qt::QueuedConnection);
}
