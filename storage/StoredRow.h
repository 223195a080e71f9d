#pragma once

#include <cstdint>
#include <limits>
#include <string>

// A NotTransData row as stored, with the key that finds it again: the resend reads rows
// in the order they were received and removes each one once its port has taken it.
struct StoredRow {
  std::int64_t RowId = std::numeric_limits<std::int64_t>::min();
  std::string ReceiveTime;  // the stored bytes, untrimmed
  std::string DeviceId;
  std::string Data;  // every byte of ReceiveData
  bool TooLarge = false;  // more bytes than a record holds: Data is empty, the row stays
};
