#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "model/DataItem.h"

// A record as reported to the user-interface thread: its used bytes only, owned by the
// posted report until the report is handled; without `withData` only its device ID and
// kind (Data empty), for a report whose bytes nobody reads. Pure value type: any thread.
struct ReportedItem {
  char DeviceId[16];
  std::int32_t Kind;
  std::vector<unsigned char> Data;

  explicit ReportedItem(const DataItem& item, bool withData = true) : Kind(item.Kind) {
    std::memcpy(DeviceId, item.DeviceId, sizeof DeviceId);
    if (!withData) return;
    const int length = std::clamp(item.Length, 0, DATA_ITEM_PAYLOAD);
    Data.assign(item.Data, item.Data + length);
  }

  // Writes the record into `item`; the bytes of `item` past Length are left as they are.
  void CopyTo(DataItem& item) const {
    std::memcpy(item.DeviceId, DeviceId, sizeof item.DeviceId);
    item.Kind = Kind;
    item.Length = static_cast<std::int32_t>(Data.size());
    std::memcpy(item.Data, Data.data(), Data.size());
  }
};
