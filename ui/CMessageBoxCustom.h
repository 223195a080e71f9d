#pragma once

#include <QDialog>
#include <QStyle>
#include <string>

class QLabel;
class QTextEdit;
class QPushButton;

// The program's message box: the standard icon of its kind, a read-only text sized to fit
// (long texts scroll) with Yes and No, or a single confirming button, captions from the
// string table. User-interface thread.
class CMessageBoxCustom : public QDialog {
  Q_OBJECT

 public:
  // type 0: one button; anything else: Yes and No. An empty caption shows "Vantrel".
  CMessageBoxCustom(QWidget* owner, const std::string& text, const std::string& caption, int type);

  int Type() const { return m_type; }
  // A question asks; one with the warning caption asks before something that cannot be
  // undone, and every single-button box tells of something refused or failed.
  QStyle::StandardPixmap IconKind() const { return m_iconKind; }
  QTextEdit* TextField() const { return m_text; }
  std::string Text() const;
  QPushButton* YesButton() const { return m_yes; }
  // No, or the single button.
  QPushButton* NoButton() const { return m_no; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  int m_type;
  QStyle::StandardPixmap m_iconKind;
  QLabel* m_icon;
  QTextEdit* m_text;
  QPushButton* m_yes;
  QPushButton* m_no;
};

// Shows the box modally over `owner` (may be null). Returns IDYES when it ended with
// Yes (Enter while Yes has the focus, as it has at first), IDNO otherwise (No, the
// single button, Escape, the close button).
int CustomMessageBox(QWidget* owner, const std::string& text, const std::string& caption, int type);
