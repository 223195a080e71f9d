#include "ui/StatusText.h"

#include "model/WindowMessages.h"
#include "platform/CMessageTarget.h"

void SendStatusText(TargetHandle mainWindow, int pane, const std::string& text) {
  CMessageTarget::Send(mainWindow, WM_STATUS_TEXT, static_cast<WPARAM>(pane), reinterpret_cast<LPARAM>(text.c_str()));
}
