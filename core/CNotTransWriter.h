#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/CDataQueue.h"
#include "model/NotTransRecord.h"
#include "platform/CEvent.h"
#include "storage/CAccessInterface.h"

// The body of the data center's NotTransWriterThread: takes what has queued up on
// NotTransQueue and writes it to NotTransData in batches, one transaction each, through
// a data store of its own. A batch that meets a busy, locked or full database (or one
// that cannot be opened) is kept and retried after a growing pause; a batch the engine
// rejects for good is dropped with a diagnostic line. Created, run and destroyed on the
// writer thread.
class CNotTransWriter {
 public:
  // At most this many records go into one transaction.
  static constexpr std::size_t kMaxBatch = 5000;
  // Pauses between retries of a kept batch: doubling from the first to the last.
  static constexpr unsigned kFirstRetryMs = 100;
  static constexpr unsigned kLastRetryMs = 10000;

  // Writes to `fileName` in the application directory (the data center's is Info.db).
  CNotTransWriter(CDataQueue<NotTransRecord>& queue, Sockora::Win32::CEvent& stop, std::string fileName);

  // Runs until `stop` is set; records already taken or still queued then get one more
  // attempt, so that a clean exit loses nothing the database accepts.
  void Run();

 private:
  enum class Outcome { Written, Kept, Dropped };

  // Moves up to kMaxBatch queued records (in queue order) behind those already held.
  void TakeQueued();
  Outcome WriteBatch();

  CDataQueue<NotTransRecord>& m_queue;
  Sockora::Win32::CEvent& m_stop;
  const std::string m_fileName;
  CAccessInterface m_store;
  std::vector<NotTransRecord> m_batch;
  // True while the database is known to be unavailable: the notice is shown once.
  bool m_outage = false;
};
