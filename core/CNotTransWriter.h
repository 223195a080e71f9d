#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/CDataQueue.h"
#include "core/CDeviceEventWriter.h"
#include "model/NotTransRecord.h"
#include "platform/CEvent.h"
#include "storage/CAccessInterface.h"

// The body of the data center's NotTransWriterThread: takes what has queued up on
// NotTransQueue and writes it to NotTransData in batches, one transaction each, through
// a data store of its own. A batch that meets a busy, locked or full database (or one
// that cannot be opened) is kept and retried after a growing pause; the operator gets a
// warning when storing starts failing and one when it works again, not one per retry. A
// batch the engine rejects for good, and what cannot be written at exit, is dropped with
// a warning that says how many records went. Created, run and destroyed on the writer
// thread.
//
// The store is limited to the setting NotTransMaxBytes of NotTransData's values: a
// record that does not fit is counted, not stored, and so is every later one until a
// new look at the file (after another connection changed it: rows deleted, the limit
// raised) finds room again. The stored size is read once at start and then kept up to
// date by the writer itself; after another connection's commit it is read again when it
// matters: before a record is refused, and while the store is full.
class CNotTransWriter {
 public:
  // What the writer has done, readable from any thread while it writes.
  struct Counters {
    std::atomic<std::uint64_t> Stored{0};     // written to NotTransData
    std::atomic<std::uint64_t> NotStored{0};  // counted, not stored, at the limit
    std::atomic<std::uint64_t> Rejected{0};   // dropped, rejected by the database
    std::atomic<std::int64_t> StoredBytes{-1};  // -1: not known
    std::atomic<std::int64_t> Limit{0};
    // Set from outside when rows were removed from the file: the stored size is read again.
    std::atomic<bool> RowsRemoved{false};
  };

  // Told on the writer thread when storing stops at the limit (full; `figure` is the
  // limit in bytes) and when it resumes (not full; `figure` is how many records were
  // counted, not stored, meanwhile).
  using LimitReport = std::function<void(bool full, std::uint64_t figure)>;

  // At most this many records go into one transaction.
  static constexpr std::size_t kMaxBatch = 5000;
  // Pauses between retries of a kept batch: doubling from the first to the last.
  static constexpr unsigned kFirstRetryMs = 100;
  static constexpr unsigned kLastRetryMs = 10000;
  // While the store is full, the file is looked at this often for room, records or not.
  static constexpr unsigned kFullCheckMs = 2000;
  // Records counted, not stored, are told in one diagnostic line per this period.
  static constexpr std::chrono::seconds kNotStoredLinePeriod{60};

  // Writes to `fileName` in the application directory (the data center's is Info.db).
  CNotTransWriter(CDataQueue<NotTransRecord>& queue, Sockora::Win32::CEvent& stop, std::string fileName,
                  LimitReport report = {});

  // Called for every record once it is written or dropped for good. Set before Run.
  void SetFinishedHook(std::function<void(const NotTransRecord&)> hook) { m_finished = std::move(hook); }
  // Counts kept up to date from Run on; they must outlive the writer. Set before Run.
  void SetCounters(Counters& counters) { m_counters = &counters; }

  // Also writes the device history queued on `events` (whose wake-up must be the queue's
  // Arrived event), through the same connection. Set before Run.
  void SetDeviceEvents(CDeviceEventQueue& events) { m_events = std::make_unique<CDeviceEventWriter>(events, m_store); }

  // Runs until `stop` is set; records already taken or still queued then get one more
  // attempt, so that a clean exit loses nothing the database accepts.
  void Run();

 private:
  enum class Outcome { Written, Kept, Dropped };

  // Moves up to kMaxBatch queued records (in queue order) behind those already held.
  void TakeQueued();
  Outcome WriteBatch();
  // Tells the hook about every record of the batch and empties it.
  void FinishBatch();
  // Reads the limit again when another connection changed the file, and the stored size
  // when it is not known or the store is full; resumes storing when there is room.
  void LookForChanges();
  void Measure();
  // Whether a record of `bytes` fits under the limit behind those already admitted.
  bool Fits(std::int64_t bytes);
  // Counts, instead of keeping, the records taken since the last call that do not fit.
  void ApplyLimit();
  void CountNotStored();
  void WriteNotStoredLine();
  void PublishSize();

  CDataQueue<NotTransRecord>& m_queue;
  Sockora::Win32::CEvent& m_stop;
  const std::string m_fileName;
  CAccessInterface m_store;
  std::vector<NotTransRecord> m_batch;
  // True while the database is known to be unavailable: the notice is shown once.
  bool m_outage = false;
  // Since when batches have been kept for a retry; unset while writes succeed.
  std::optional<std::chrono::steady_clock::time_point> m_failingSince;
  std::function<void(const NotTransRecord&)> m_finished;
  std::unique_ptr<CDeviceEventWriter> m_events;
  Counters* m_counters = nullptr;

  const LimitReport m_report;
  std::int64_t m_limit = 0;
  std::int64_t m_storedBytes = -1;  // -1: not known (the file could not be read)
  std::int64_t m_dataVersion = -1;
  bool m_sizeStale = false;  // another connection committed since the size was read
  bool m_full = false;
  // The first m_admitted records of m_batch passed the limit; they add m_admittedBytes.
  std::size_t m_admitted = 0;
  std::int64_t m_admittedBytes = 0;
  std::uint64_t m_notStored = 0;          // since the store became full
  std::uint64_t m_notStoredUntold = 0;    // since the last diagnostic line
  std::chrono::steady_clock::time_point m_lastNotStoredLine;
};
