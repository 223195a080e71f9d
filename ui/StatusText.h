#pragma once

#include <string>

#include "platform/Messages.h"

// Sends `text` to the main window's status bar pane `pane` (WM_STATUS_TEXT). The
// user-interface thread; the text need only live during the call.
void SendStatusText(TargetHandle mainWindow, int pane, const std::string& text);
