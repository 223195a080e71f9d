#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

// What a record of device traffic is.
enum DataKind : std::int32_t {
  DATA_SERIAL = 0,     // bytes read from a COM port, at most 5120
  DATA_REGISTER = 1,   // the first 20 bytes of a registration packet
  DATA_USER = 2,       // user data from a device
  DATA_HEARTBEAT = 3,  // the single byte 0xFE
  DATA_OFFLINE = 4,    // a registered device's connection ended or was replaced
  DATA_RESENT = 5,     // stored not-forwarded data, written to its port once it was back
};

constexpr int DATA_ITEM_PAYLOAD = 10240;

// The one data byte of an offline record whose connection a newer connection of the same
// device replaced; the offline record of a connection that ended has no data.
inline constexpr unsigned char OFFLINE_REPLACED = 'R';

// One record of device traffic, copied by value across every boundary.
struct DataItem {
  char DeviceId[16];  // zero-terminated, at most 15 characters
  std::int32_t Kind;
  std::int32_t Length;  // valid bytes in Data
  unsigned char Data[DATA_ITEM_PAYLOAD];
};
static_assert(sizeof(DataItem) == 10264, "DataItem is a fixed 10264-byte record");

// Writes `id` into DeviceId with the 16-byte bound (at most 15 characters, zero-filled).
inline void SetDeviceId(DataItem& item, std::string_view id) {
  std::memset(item.DeviceId, 0, sizeof item.DeviceId);
  std::memcpy(item.DeviceId, id.data(), id.size() < sizeof item.DeviceId ? id.size() : sizeof item.DeviceId - 1);
}

// The header and the valid bytes of Data: what a queue copies of a record.
inline std::size_t RecordBytes(const DataItem& item) {
  const std::size_t header = offsetof(DataItem, Data);
  if (item.Length <= 0) return header;
  return header + (item.Length < DATA_ITEM_PAYLOAD ? static_cast<std::size_t>(item.Length) : sizeof item.Data);
}

// The device ID of a record that carries one (DataItem, ReportedItem), up to its zero.
template <typename Record>
  requires std::is_same_v<decltype(Record::DeviceId), char[16]>
std::string DeviceIdOf(const Record& record) {
  return std::string(record.DeviceId, strnlen(record.DeviceId, sizeof record.DeviceId));
}
