#pragma once

#include <string>
#include <vector>

#include "model/WindowMessages.h"
#include "platform/CMessageTarget.h"

// Stands in for the main window of a dialog under test: records the texts sent to status
// pane 0 (WM_STATUS_TEXT). Lives on the test's own (user-interface) thread, where the
// dialogs send from, so each text arrives during the send.
class StatusPaneRecorder {
 public:
  TargetHandle Handle() const { return m_target.Handle(); }
  const std::vector<std::string>& Texts() const { return m_texts; }
  void Forget() { m_texts.clear(); }

 private:
  std::vector<std::string> m_texts;
  CMessageTarget m_target{[this](unsigned message, WPARAM wParam, LPARAM lParam) -> LRESULT {
    if (message == WM_STATUS_TEXT && wParam == 0) m_texts.emplace_back(reinterpret_cast<const char*>(lParam));
    return 0;
  }};
};
