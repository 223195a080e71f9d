#include "serial/CStoredResend.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

#include "core/CDataCenter.h"
#include "core/WriteWarning.h"
#include "platform/WriteDebugLine.h"
#include "storage/CAccessInterface.h"
#include "storage/COldestStoredRows.h"

using Sockora::Win32::CEvent;

namespace {

// Removes the rows sent so far; those the store will not let go of are kept for a retry.
class SentRows {
 public:
  SentRows(CAccessInterface& store, const std::string& portName) : m_store(store), m_portName(portName) {}

  void Add(StoredRow row) {
    m_bytes += row.Data.size();
    m_rows.push_back(std::move(row));
  }
  std::size_t Count() const { return m_rows.size(); }
  std::size_t Bytes() const { return m_bytes; }
  bool RemovedAny() const { return m_removedAny; }

  void Remove() {
    if (m_rows.empty()) return;
    if (m_store.DeleteStoredRows(m_rows) != 1) {
      WriteDebugLine("[MSG]", "Com %s: %zu stored records sent again but not yet removed: %s\n", m_portName.c_str(),
                     m_rows.size(), m_store.LastFailureText().c_str());
      return;
    }
    m_rows.clear();
    m_bytes = 0;
    m_removedAny = true;
  }

 private:
  CAccessInterface& m_store;
  const std::string& m_portName;
  std::vector<StoredRow> m_rows;
  std::size_t m_bytes = 0;
  bool m_removedAny = false;
};

}  // namespace

CStoredResend::CStoredResend(std::string portName, std::vector<std::string> deviceIds)
    : m_portName(std::move(portName)), m_deviceIds(std::move(deviceIds)) {}

CStoredResend::Outcome CStoredResend::Run(const WriteBytes& write, const RowSent& sent, const StillOnPort& stillOnPort,
                                          CEvent& stop) {
  Outcome outcome;
  if (m_deviceIds.empty()) return outcome;
  CAccessInterface store;
  // The writer thread retries at the port's next open; no notice for it.
  store.SetOpenFailureNotice(false);
  if (store.OpenDatabase(DATABASE_FILE_NAME) != 1) {
    WriteWarning("port " + m_portName + ": stored records not sent again, the store cannot be opened: " +
                 store.LastFailureText());
    outcome.StoreFailed = true;
    return outcome;
  }
  COldestStoredRows rows(store, m_deviceIds, kBatchRows, DATA_ITEM_PAYLOAD);
  SentRows done(store, m_portName);
  auto record = std::make_unique<DataItem>();
  StoredRow row;
  while (rows.Next(row)) {
    if (stop.TryConsume()) {
      stop.Set();
      outcome.Stopped = true;
      break;
    }
    if (!stillOnPort(row.DeviceId)) continue;
    const int length = static_cast<int>(row.Data.size());
    const int taken = write(reinterpret_cast<const unsigned char*>(row.Data.data()), length);
    if (taken < length) {
      // What reached the port stays written: only the rest is kept.
      if (taken > 0 && store.KeepStoredRest(row, static_cast<std::size_t>(taken)) != 1)
        WriteDebugLine("[MSG]", "Com %s: a stored record of %s that the port took in part stays whole: %s\n",
                       m_portName.c_str(), row.DeviceId.c_str(), store.LastFailureText().c_str());
      outcome.PortFailed = true;
      break;
    }
    std::memset(record.get(), 0, offsetof(DataItem, Data));
    SetDeviceId(*record, row.DeviceId);
    record->Kind = DATA_RESENT;
    record->Length = length;
    std::memcpy(record->Data, row.Data.data(), row.Data.size());
    sent(*record);
    ++outcome.Sent;
    done.Add(std::move(row));
    if (done.Count() >= kBatchRows) done.Remove();
    if (done.Bytes() > kMaxUnremovedBytes) break;
  }
  outcome.StoreFailed = rows.Failed() || done.Bytes() > kMaxUnremovedBytes;
  done.Remove();
  outcome.Unremoved = done.Count();
  if (done.RemovedAny()) CDataCenter::Instance().StoredRowsRemoved();
  if (outcome.PortFailed || outcome.StoreFailed || outcome.Unremoved > 0) {
    WriteWarning("port " + m_portName + ": " + std::to_string(outcome.Sent) + " stored records sent again" +
                 (outcome.PortFailed ? "; the port failed, the rest stays stored" : "") +
                 (outcome.StoreFailed ? "; the store failed, the rest stays stored" : "") +
                 (outcome.Unremoved > 0 ? "; " + std::to_string(outcome.Unremoved) +
                                              " of them are still stored and go again at the next open"
                                        : ""));
  } else {
    WriteDebugLine("[MSG]", "Com %s: %zu stored records sent again%s\n", m_portName.c_str(), outcome.Sent,
                   outcome.Stopped ? "; stopped, the rest stays stored" : "");
  }
  return outcome;
}
