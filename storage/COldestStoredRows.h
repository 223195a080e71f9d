#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

#include "storage/StoredRow.h"

class CAccessInterface;

// The stored rows of a set of devices, oldest first across all of them (by ReceiveTime,
// then in the order stored), read from the store in batches: no more than `perDevice`
// rows of a device are held at once, however many the table has. Rows removed from the
// store meanwhile are not read again; the walk never goes back.
class COldestStoredRows {
 public:
  COldestStoredRows(CAccessInterface& store, const std::vector<std::string>& deviceIds, std::size_t perDevice,
                    std::size_t maxBytes);

  // The next row, false at the end or once the store could not be read (Failed()). A row
  // too large for a record is passed over with a diagnostic line; it stays stored.
  bool Next(StoredRow& row);
  bool Failed() const { return m_failed; }

 private:
  struct Cursor {
    std::string DeviceId;
    std::deque<StoredRow> Rows;
    StoredRow Last;  // the key the next batch starts after
    bool Exhausted = false;
  };
  bool NextAny(StoredRow& row);
  // Reads the device's next batch unless it holds rows or has none left.
  void Refill(Cursor& cursor);

  CAccessInterface& m_store;
  std::vector<Cursor> m_cursors;
  const std::size_t m_perDevice;
  const std::size_t m_maxBytes;
  bool m_failed = false;
};
