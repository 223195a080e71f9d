#pragma once

#include <cstddef>
#include <span>

// Rows of the text tables, shared by the built-in texts and the language modules.
// Texts are UTF-8 and live as long as the table (static storage).
struct StringEntry {
  unsigned id;
  const char* text;
};

struct DialogTextEntry {
  unsigned dialogId;
  unsigned controlId;
  const char* text;
};

struct MenuTextEntry {
  unsigned commandId;
  const char* text;
};

// The text of the first matching row, or nullptr. Tables are a few hundred rows: a
// linear search costs less than keeping them sorted by hand.
inline const char* FindString(std::span<const StringEntry> table, unsigned id) {
  for (const StringEntry& entry : table) {
    if (entry.id == id) return entry.text;
  }
  return nullptr;
}

inline const char* FindDialogText(std::span<const DialogTextEntry> table, unsigned dialogId, unsigned controlId) {
  for (const DialogTextEntry& entry : table) {
    if (entry.dialogId == dialogId && entry.controlId == controlId) return entry.text;
  }
  return nullptr;
}

inline const char* FindMenuText(std::span<const MenuTextEntry> table, unsigned commandId) {
  for (const MenuTextEntry& entry : table) {
    if (entry.commandId == commandId) return entry.text;
  }
  return nullptr;
}
