#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "model/DataItem.h"

using Bytes = std::vector<unsigned char>;

// A record as the system builds one: all zero, then the device ID, the kind and `data`.
inline DataItem MakeItem(const std::string& deviceId, DataKind kind, const Bytes& data = {}) {
  DataItem item{};
  SetDeviceId(item, deviceId);
  item.Kind = kind;
  item.Length = static_cast<std::int32_t>(data.size());
  std::copy(data.begin(), data.end(), item.Data);
  return item;
}
