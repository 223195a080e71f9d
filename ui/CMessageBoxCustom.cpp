#include "ui/CMessageBoxCustom.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QScrollBar>
#include <QTextDocument>
#include <QTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

#include "platform/Notice.h"
#include "resources/CResourceStrings.h"
#include "resources/ResourceIds.h"
#include "ui/ResourceText.h"

namespace {

// The text's width before it wraps, and its height before it scrolls.
constexpr int kMinTextWidth = 260;
constexpr int kMaxTextWidth = 520;
constexpr int kMaxTextHeight = 360;
constexpr int kIconSize = 32;

QStyle::StandardPixmap IconKindOf(const std::string& caption, int type) {
  if (type == 0) return QStyle::SP_MessageBoxWarning;
  return caption == Text(IDS_WARNING) ? QStyle::SP_MessageBoxWarning : QStyle::SP_MessageBoxQuestion;
}

// Fits the field to its text wrapped at the widest width allowed, measured by a document
// laid out as the field's (the fonts that fill in for missing glyphs included).
void FitToText(QTextEdit& field) {
  // The style's font, as the box will show it.
  field.ensurePolished();
  QTextDocument measure;
  measure.setDefaultFont(field.font());
  measure.setDocumentMargin(field.document()->documentMargin());
  measure.setPlainText(field.toPlainText());
  measure.setTextWidth(kMaxTextWidth);
  const int width = std::max(kMinTextWidth, static_cast<int>(std::ceil(measure.idealWidth())));
  measure.setTextWidth(width);
  const int height = static_cast<int>(std::ceil(measure.size().height()));
  const bool scrolls = height > kMaxTextHeight;
  const int bar = scrolls ? field.verticalScrollBar()->sizeHint().width() : 0;
  const int frame = 2 * field.frameWidth();
  field.setFixedSize(width + frame + bar, std::min(height, kMaxTextHeight) + frame);
}

}  // namespace

CMessageBoxCustom::CMessageBoxCustom(QWidget* owner, const std::string& text, const std::string& caption, int type)
    : QDialog(owner), m_type(type), m_iconKind(IconKindOf(caption, type)), m_icon(new QLabel(this)),
      m_text(new QTextEdit(this)), m_yes(new QPushButton(this)), m_no(new QPushButton(this)) {
  setWindowTitle(caption.empty() ? QStringLiteral("Vantrel") : QString::fromStdString(caption));
  m_icon->setPixmap(style()->standardIcon(m_iconKind, nullptr, this).pixmap(kIconSize, kIconSize));
  m_icon->setAlignment(Qt::AlignTop);
  m_text->setReadOnly(true);
  m_text->setPlainText(QString::fromStdString(text));
  m_text->setFrameShape(QFrame::NoFrame);
  // The box's own colour behind the text, as a message box shows it.
  m_text->viewport()->setAutoFillBackground(false);
  FitToText(*m_text);

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
  auto* message = new QHBoxLayout;
  message->setSpacing(12);
  message->addWidget(m_icon, 0, Qt::AlignTop);
  message->addWidget(m_text, 1);
  auto* layout = new QVBoxLayout(this);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  layout->addLayout(message);
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
