#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "model/DataItem.h"
#include "platform/CEvent.h"

// Sends what NotTransData holds for the devices of one port to that port, oldest first
// across them, through a connection of its own; run on the port's writer thread before
// any newer record of the port. Rows are read and removed in batches, never the whole
// table at once. A row is removed only once the port has taken all of it: a crash in
// between sends it again, it is never lost. Of a row the port took only in part, the rest
// stays stored, and so does every row after it.
class CStoredResend {
 public:
  // Writes `length` bytes; the bytes the port took (fewer: the port failed).
  using WriteBytes = std::function<int(const unsigned char* data, int length)>;
  // Told of each row the port took, as a DATA_RESENT record (valid during the call).
  using RowSent = std::function<void(const DataItem& record)>;
  // Whether the device's tunnel still names the port: a row of a device that moved
  // meanwhile stays stored for its new port.
  using StillOnPort = std::function<bool(const std::string& deviceId)>;

  // Rows read of each device at a time, and removed together once sent.
  static constexpr std::size_t kBatchRows = 64;
  // Sent rows that the store would not let go of (another program holds the file) are
  // kept for another try up to this many bytes; beyond it the resend ends, the rest stays.
  static constexpr std::size_t kMaxUnremovedBytes = std::size_t{4} << 20;

  struct Outcome {
    std::size_t Sent = 0;       // rows the port took
    std::size_t Unremoved = 0;  // of those, rows still stored (they go again next time)
    bool PortFailed = false;
    bool Stopped = false;      // the writer was told to stop
    bool StoreFailed = false;  // the store could not be opened or read, or kept sent rows
  };

  CStoredResend(std::string portName, std::vector<std::string> deviceIds);

  // Until every row is sent, the port fails, the store fails, or `stop` is set (left set).
  Outcome Run(const WriteBytes& write, const RowSent& sent, const StillOnPort& stillOnPort,
              Sockora::Win32::CEvent& stop);

 private:
  const std::string m_portName;
  const std::vector<std::string> m_deviceIds;
};
