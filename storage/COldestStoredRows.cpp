#include "storage/COldestStoredRows.h"

#include <algorithm>
#include <tuple>
#include <utility>

#include "platform/WriteDebugLine.h"
#include "storage/CAccessInterface.h"

COldestStoredRows::COldestStoredRows(CAccessInterface& store, const std::vector<std::string>& deviceIds,
                                     std::size_t perDevice, std::size_t maxBytes)
    : m_store(store), m_perDevice(std::max<std::size_t>(perDevice, 1)), m_maxBytes(maxBytes) {
  for (const std::string& id : deviceIds) m_cursors.push_back(Cursor{id, {}, {}, false});
}

void COldestStoredRows::Refill(Cursor& cursor) {
  if (!cursor.Rows.empty() || cursor.Exhausted || m_failed) return;
  std::vector<StoredRow> rows;
  const std::int64_t read = m_store.ReadStoredRows(cursor.DeviceId, cursor.Last, m_perDevice, m_maxBytes, rows);
  if (read < 0) {
    m_failed = true;
    return;
  }
  cursor.Exhausted = static_cast<std::size_t>(read) < m_perDevice;
  if (rows.empty()) return;
  cursor.Last.ReceiveTime = rows.back().ReceiveTime;
  cursor.Last.RowId = rows.back().RowId;
  for (StoredRow& row : rows) cursor.Rows.push_back(std::move(row));
}

bool COldestStoredRows::Next(StoredRow& row) {
  do {
    if (!NextAny(row)) return false;
    // Left for the operator to read out: a record cannot carry it.
    if (row.TooLarge)
      WriteDebugLine("[MSG]", "Not-forwarded data of %s at %s stays stored: more bytes than a record holds\n",
                     row.DeviceId.c_str(), row.ReceiveTime.c_str());
  } while (row.TooLarge);
  return true;
}

bool COldestStoredRows::NextAny(StoredRow& row) {
  Cursor* oldest = nullptr;
  for (Cursor& cursor : m_cursors) {
    Refill(cursor);
    if (m_failed) return false;
    if (cursor.Rows.empty()) continue;
    const StoredRow& front = cursor.Rows.front();
    if (oldest == nullptr || std::tie(front.ReceiveTime, front.RowId) <
                                 std::tie(oldest->Rows.front().ReceiveTime, oldest->Rows.front().RowId))
      oldest = &cursor;
  }
  if (oldest == nullptr) return false;
  row = std::move(oldest->Rows.front());
  oldest->Rows.pop_front();
  return true;
}
