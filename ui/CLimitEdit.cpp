#include "ui/CLimitEdit.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>
#include <cstdio>
#include <memory>

#include "resources/CResourceStrings.h"
#include "resources/ResourceIds.h"
#include "ui/CMessageBoxCustom.h"

namespace {

std::string RangeText(const char* format, const std::string& prefix, char lowest, char highest) {
  char text[256];
  std::snprintf(text, sizeof text, format, prefix.c_str(), lowest, highest);
  return text;
}

}  // namespace

CLimitEdit::CLimitEdit(QWidget* parent) : QLineEdit(parent) {}

bool CLimitEdit::ResetToDigits() {
  m_ranges.assign(1, {'0', '9'});
  m_message = RangeText("%s ['%c' - '%c']", CResourceStrings::Instance().LoadString(IDS_ALLOWED_CHARS), '0', '9');
  return true;
}

bool CLimitEdit::AddCharRange(char lowest, char highest) {
  if (highest < lowest) return false;
  m_ranges.emplace_back(lowest, highest);
  m_message += RangeText("%s['%c' - '%c']", ", ", lowest, highest);
  return true;
}

void CLimitEdit::SetIntegerRange(unsigned minimum, unsigned maximum) {
  m_checkRange = true;
  m_minimum = minimum;
  m_maximum = maximum;
}

bool CLimitEdit::Accepts(const QString& text) const {
  if (m_ranges.empty()) return true;
  for (QChar c : text) {
    if (c.unicode() == '\b') continue;
    // Only ASCII can lie in a range: no part of a wider character matches one.
    if (c.unicode() > 0x7F) return false;
    const char ch = static_cast<char>(c.unicode());
    bool inRange = false;
    for (const auto& [lowest, highest] : m_ranges) inRange = inRange || (ch >= lowest && ch <= highest);
    if (!inRange) return false;
  }
  return true;
}

void CLimitEdit::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::Paste)) {
    CheckedPaste();
    return;
  }
  if (event->modifiers() & Qt::ControlModifier) {
    switch (event->key()) {
      case Qt::Key_A: selectAll(); return;
      case Qt::Key_C: copy(); return;
      case Qt::Key_X: cut(); return;
      case Qt::Key_Z: undo(); return;
      default: break;
    }
  }
  const QString typed = event->text();
  if (!typed.isEmpty() && typed.at(0).isPrint() && !Accepts(typed)) {
    Reject(m_message);
    return;
  }
  QLineEdit::keyPressEvent(event);
}

void CLimitEdit::inputMethodEvent(QInputMethodEvent* event) {
  if (!Accepts(event->commitString())) {
    QInputMethodEvent dropped;
    QLineEdit::inputMethodEvent(&dropped);
    Reject(m_message);
    return;
  }
  QLineEdit::inputMethodEvent(event);
}

// Every way of pasting is checked: text that bypassed the ranges would reach the same
// validation only later, or not at all for a field without an integer check.
void CLimitEdit::contextMenuEvent(QContextMenuEvent* event) {
  std::unique_ptr<QMenu> menu(createStandardContextMenu());
  for (QAction* action : menu->actions()) {
    // Qt names the entry only by its (translated) text.
    if (!action->text().startsWith(QLineEdit::tr("&Paste"))) continue;
    disconnect(action, &QAction::triggered, nullptr, nullptr);
    connect(action, &QAction::triggered, this, &CLimitEdit::CheckedPaste);
  }
  menu->exec(event->globalPos());
}

void CLimitEdit::CheckedPaste() {
  paste();
  if (!Accepts(text())) {
    Reject(m_message);
    clear();
  }
}

void CLimitEdit::Reject(const std::string& message) {
  m_telling = true;
  CustomMessageBox(window(), message, "", 0);
  m_telling = false;
}

bool CLimitEdit::IntegerInRange() const {
  const QString value = text();
  if (value.isEmpty()) return false;
  for (QChar c : value) {
    if (c < QLatin1Char('0') || c > QLatin1Char('9')) return false;
  }
  bool ok = false;
  const qulonglong number = value.toULongLong(&ok);
  return ok && number >= m_minimum && number <= m_maximum;
}

void CLimitEdit::focusOutEvent(QFocusEvent* event) {
  QLineEdit::focusOutEvent(event);
  // Leaving the window (Escape, the close button, another window) is no entry: the
  // owner checks again before it takes the value.
  const QWidget* next = QApplication::focusWidget();
  if (m_telling || event->reason() == Qt::ActiveWindowFocusReason || !window()->isVisible() ||
      (next != nullptr && next->property(kSkipsChecks).toBool()))
    return;
  CheckIntegerRange();
}

bool CLimitEdit::CheckIntegerRange() {
  if (!m_checkRange || IntegerInRange()) return true;
  char message[256];
  std::snprintf(message, sizeof message, "%s[%u - %u]!",
                CResourceStrings::Instance().LoadString(IDS_ALLOWED_RANGE).c_str(), m_minimum, m_maximum);
  Reject(message);
  setText(QString::number(m_minimum));
  selectAll();
  return false;
}
