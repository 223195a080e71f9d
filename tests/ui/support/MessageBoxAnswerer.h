#pragma once

#include <QObject>
#include <deque>
#include <string>
#include <vector>

#include "platform/Notice.h"

// Answers every CMessageBoxCustom that the code under test shows, in order, by pressing
// its real button once the box is on screen: the scripted answers first, then `fallback`.
// Records what each box showed. Install on the test's own (user-interface) thread.
class MessageBoxAnswerer : public QObject {
 public:
  struct Shown {
    std::string Text;
    std::string Caption;
    int Type;
  };

  explicit MessageBoxAnswerer(int fallback = IDNO);
  ~MessageBoxAnswerer() override;

  void Then(int answer) { m_answers.push_back(answer); }
  const std::vector<Shown>& Boxes() const { return m_boxes; }
  void Forget() { m_boxes.clear(); }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::deque<int> m_answers;
  int m_fallback;
  std::vector<Shown> m_boxes;
};
