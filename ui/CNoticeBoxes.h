#pragma once

#include <QPointer>
#include <QWidget>
#include <memory>

// Shows the notices that the service raises (platform/Notice.h) as CustomMessageBox while
// it lives. On the user-interface thread the box is shown at once and its answer
// returned. From another thread the box is queued to the user-interface thread and the
// caller gets IDNO without waiting: that thread may be the one StopService is waiting for,
// and StopService handles only our own message queue meanwhile, not Qt's, so a caller
// waiting for the box would never see it. Construct and destroy on the user-interface
// thread, after the application object and before it goes.
class CNoticeBoxes {
 public:
  CNoticeBoxes();
  // Restores the default hook.
  ~CNoticeBoxes();
  CNoticeBoxes(const CNoticeBoxes&) = delete;
  CNoticeBoxes& operator=(const CNoticeBoxes&) = delete;

  // The window the boxes are centred over; null for none. User-interface thread.
  void SetOwner(QWidget* owner) { *m_owner = owner; }

 private:
  // Shared with the boxes still queued; read on the user-interface thread only.
  std::shared_ptr<QPointer<QWidget>> m_owner = std::make_shared<QPointer<QWidget>>();
};
