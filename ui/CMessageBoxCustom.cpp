#include "ui/CMessageBoxCustom.h"

#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "platform/Notice.h"
#include "resources/CResourceStrings.h"
#include "resources/ResourceIds.h"
#include "ui/ResourceText.h"

CMessageBoxCustom::CMessageBoxCustom(QWidget* owner, const std::string& text, const std::string& caption, int type)
    : QDialog(owner), m_type(type), m_text(new QPlainTextEdit(this)), m_yes(new QPushButton(this)),
      m_no(new QPushButton(this)) {
  setWindowTitle(caption.empty() ? QStringLiteral("Vantrel") : QString::fromStdString(caption));
  m_text->setReadOnly(true);
  m_text->setPlainText(QString::fromStdString(text));
  m_text->setFrameShape(QFrame::NoFrame);
  m_text->setMinimumSize(300, 80);

  if (type != 0) {
    m_yes->setText(QText(IDS_YES));
    m_no->setText(QText(IDS_NO));
  } else {
    m_yes->hide();
    m_no->setText(QText(IDS_CONFIRM));
  }
  // Enter presses the focused button; the focus starts on Yes.
  (type != 0 ? m_yes : m_no)->setDefault(true);
  connect(m_yes, &QPushButton::clicked, this, &QDialog::accept);
  connect(m_no, &QPushButton::clicked, this, &QDialog::reject);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(m_yes);
  buttons->addWidget(m_no);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_text);
  layout->addLayout(buttons);
}

std::string CMessageBoxCustom::Text() const { return m_text->toPlainText().toStdString(); }

void CMessageBoxCustom::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (QWidget* owner = parentWidget(); owner && owner->isVisible()) {
    move(owner->window()->frameGeometry().center() - rect().center());
  }
  (m_type != 0 ? m_yes : m_no)->setFocus();
}

int CustomMessageBox(QWidget* owner, const std::string& text, const std::string& caption, int type) {
  CMessageBoxCustom box(owner, text, caption, type);
  return box.exec() == QDialog::Accepted ? IDYES : IDNO;
}
