#pragma once

#include <span>

// One column of a report-view list: its caption's string ID and its width in pixels.
struct ListColumn {
  unsigned stringId;
  int width;
};

// The columns of list `controlId` in dialog `dialogId`, left to right; empty for a
// list without fixed columns. Any thread.
std::span<const ListColumn> ListColumns(unsigned dialogId, unsigned controlId);
