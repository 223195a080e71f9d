#pragma once

#include <span>

#include "resources/TextTables.h"

// The built-in (Chinese) texts: the string table, the dialog texts and the menu texts.
// Static tables; any thread.
std::span<const StringEntry> BuiltinStrings();
std::span<const DialogTextEntry> BuiltinDialogTexts();
std::span<const MenuTextEntry> BuiltinMenuTexts();
