#pragma once

#include <functional>
#include <string_view>

// Stands in for the debugger output: silent unless enabled (VANTREL_DEBUG=1, or
// EnableDebugSink from a --debug option), then each text goes to stderr as given.
// Any thread.
void DebugOutput(std::string_view text);

void EnableDebugSink(bool enabled);
bool DebugSinkEnabled();

// Tests: every text also goes to `capture` (enabled or not); an empty function ends it.
void SetDebugCapture(std::function<void(std::string_view)> capture);
