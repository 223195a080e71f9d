#include "ui/CNoticeBoxes.h"

#include <QCoreApplication>
#include <QThread>

#include "platform/Notice.h"
#include "ui/CMessageBoxCustom.h"

CNoticeBoxes::CNoticeBoxes() {
  QCoreApplication* const application = QCoreApplication::instance();
  SetNoticeHook([owner = m_owner, application](const std::string& text, const std::string& caption, int type) {
    if (QThread::currentThread() == application->thread()) return CustomMessageBox(*owner, text, caption, type);
    QMetaObject::invokeMethod(
        application, [owner, text, caption, type] { CustomMessageBox(*owner, text, caption, type); },
        Qt::QueuedConnection);
    return IDNO;
  });
}

CNoticeBoxes::~CNoticeBoxes() { SetNoticeHook({}); }
