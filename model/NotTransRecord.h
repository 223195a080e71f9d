#pragma once

#include "model/DataItem.h"

// A record that could not be written to its COM port, stamped with its receive time
// ("%04d/%02d/%02d %02d:%02d:%02d", local time).
struct NotTransRecord {
  char ReceiveTime[20];
  DataItem Item;
};
static_assert(sizeof(NotTransRecord) == 10284, "NotTransRecord is a fixed 10284-byte record");
