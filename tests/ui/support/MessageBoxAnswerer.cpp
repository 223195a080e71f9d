#include "MessageBoxAnswerer.h"

#include <QApplication>
#include <QEvent>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include "ui/CMessageBoxCustom.h"

MessageBoxAnswerer::MessageBoxAnswerer(int fallback) : m_fallback(fallback) { qApp->installEventFilter(this); }

MessageBoxAnswerer::~MessageBoxAnswerer() { qApp->removeEventFilter(this); }

bool MessageBoxAnswerer::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Show) {
    if (auto* box = qobject_cast<CMessageBoxCustom*>(watched)) {
      m_boxes.push_back({box->Text(), box->windowTitle().toStdString(), box->Type()});
      int answer = m_fallback;
      if (!m_answers.empty()) {
        answer = m_answers.front();
        m_answers.pop_front();
      }
      // Pressed from the box's own modal loop, as a user would.
      QPointer<CMessageBoxCustom> alive(box);
      QTimer::singleShot(0, box, [alive, answer] {
        if (alive) (answer == IDYES ? alive->YesButton() : alive->NoButton())->click();
      });
    }
  }
  return QObject::eventFilter(watched, event);
}
