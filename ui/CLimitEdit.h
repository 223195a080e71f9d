#pragma once

#include <QLineEdit>
#include <string>
#include <utility>
#include <vector>

// A single-line field that takes only characters of given ranges and, optionally, checks
// on losing the focus that it holds an integer within a range (then resets it to the
// minimum). Rejections are told with CustomMessageBox, owned by the field's window.
// User-interface thread.
class CLimitEdit : public QLineEdit {
  Q_OBJECT

 public:
  // A widget with this property set to true (a Cancel button) takes the focus without the
  // focus-out check running: leaving a dialog runs no field check.
  static constexpr const char* kSkipsChecks = "skipsFieldChecks";

  explicit CLimitEdit(QWidget* parent = nullptr);

  // The single range '0'..'9' with its rejection message. Returns true.
  bool ResetToDigits();
  // Appends a range (both ends included) to the accepted characters and the message;
  // false, and nothing changed, when highest < lowest.
  bool AddCharRange(char lowest, char highest);
  // Turns the focus-out integer check on.
  void SetIntegerRange(unsigned minimum, unsigned maximum);
  // The focus-out check, run now (an owner does before it takes the value, since Enter
  // on the default button does not move the focus): true when the check is off or the
  // text is an integer in range; otherwise the range message, the field reset to the
  // minimum, and false.
  bool CheckIntegerRange();

  const std::string& RejectionMessage() const { return m_message; }
  unsigned Minimum() const { return m_minimum; }
  unsigned Maximum() const { return m_maximum; }

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void inputMethodEvent(QInputMethodEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  bool Accepts(const QString& text) const;
  // Pastes, then clears the whole field with the message when any character is refused.
  void CheckedPaste();
  void Reject(const std::string& message);
  bool IntegerInRange() const;

  std::vector<std::pair<char, char>> m_ranges;
  std::string m_message;
  bool m_checkRange = false;
  unsigned m_maximum = 0;
  unsigned m_minimum = 0;
  // Our own message box takes the focus; that loss is not the user leaving the field.
  bool m_telling = false;
};
