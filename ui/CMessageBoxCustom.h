#pragma once

#include <QDialog>
#include <string>

class QPlainTextEdit;
class QPushButton;

// The program's message box: a read-only text with Yes and No, or a single confirming
// button, captions from the string table. User-interface thread.
class CMessageBoxCustom : public QDialog {
  Q_OBJECT

 public:
  // type 0: one button; anything else: Yes and No. An empty caption shows "Vantrel".
  CMessageBoxCustom(QWidget* owner, const std::string& text, const std::string& caption, int type);

  int Type() const { return m_type; }
  std::string Text() const;
  QPushButton* YesButton() const { return m_yes; }
  // No, or the single button.
  QPushButton* NoButton() const { return m_no; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  int m_type;
  QPlainTextEdit* m_text;
  QPushButton* m_yes;
  QPushButton* m_no;
};

// Shows the box modally over `owner` (may be null). Returns IDYES when it ended with
// Yes (Enter while Yes has the focus, as it has at first), IDNO otherwise (No, the
// single button, Escape, the close button).
int CustomMessageBox(QWidget* owner, const std::string& text, const std::string& caption, int type);
