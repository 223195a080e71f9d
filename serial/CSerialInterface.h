#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/CDataQueue.h"
#include "model/DataItem.h"
#include "platform/CCriticalSection.h"
#include "platform/CStoppableThread.h"
#include "platform/Messages.h"
#include "serial/CSerial.h"
#include "model/PortSettings.h"

// Port states.
constexpr int PORT_CLOSED = 0;  // not open, or closed by CloseAllPorts
constexpr int PORT_OPEN = 1;
constexpr int PORT_FAILED = 2;  // closed after a failed write or a vanished device

// wParam of WM_SERIAL_STATUS. lParam: the port name text (opened, open failed; sent, valid
// only during the call) or a ReportedItem copy of the record (written, write failed;
// posted as a report). A failed record's unit stays in flight until its report is done.
constexpr WPARAM SERIAL_OPENED = 1;
constexpr WPARAM SERIAL_OPEN_FAILED = 2;
constexpr WPARAM SERIAL_WRITE_FAILED = 3;
constexpr WPARAM SERIAL_WRITTEN = 4;

// Owns every COM port of the service: one port object per port name, opened once however
// many tunnels name it, with the settings of the last such tunnel in device-ID order; a
// state per name; a reopen thread that retries ports that are not open; and the data
// paths between ports and the data center (ReadPort on each port's event thread,
// ComSendThread for device data). ComSendThread hands each record to its port's backlog,
// which a writer thread of that port (started with the port's first record) writes in
// order, so that a port that takes nothing holds up only its own records. With
// ResendStored on, a port that opens has its writer send what the store holds for the
// port's devices first (CStoredResend); their newer records wait in the port's backlog.
//
// Lock order: the state lock first, then the backlog table's lock or a backlog's
// write-at-once lock, then either the port table lock or the settings lock, never those
// two together. No report is sent while any of them is held.
class CSerialInterface : private CSerial::Listener {
 public:
  // Starts the sending thread and the reopen thread, which retries every
  // reopenPeriodMs while the service runs.
  explicit CSerialInterface(unsigned reopenPeriodMs = 10000);
  // Stops the threads (records still waiting for a port go to the not-forwarded store),
  // then closes and frees every port object (waiting for their event threads while
  // handling messages sent to the calling thread).
  ~CSerialInterface() override;
  CSerialInterface(const CSerialInterface&) = delete;
  CSerialInterface& operator=(const CSerialInterface&) = delete;

  // Receiver of WM_SERIAL_STATUS and of the ports' line events. Set it before the first
  // OpenAllPorts. Any thread.
  void SetOwner(TargetHandle owner);

  // Opens (or closes and opens again) the port object of settings.SerialNo, creating it
  // when the name is new, with the idle wait of the current DelayComRead. Records no
  // state and sends nothing. Opens are serialised under the state lock. Any thread
  // holding no lock of this class but the state lock.
  bool OpenPort(const PortSettings& settings);
  // OpenPort, then record the state (open or closed) and report SERIAL_OPENED or
  // SERIAL_OPEN_FAILED with the name; also for a name that has no port object yet. Any
  // thread holding no lock of this class.
  void ReopenPort(const PortSettings& settings);

  // Service start (host thread): rebuilds the settings from the tunnel table, opens or
  // reopens every port named there (one report each) and lets the reopen thread retry.
  void OpenAllPorts();
  // Service stop (host thread): stops retries and closes every open port; no report.
  void CloseAllPorts();

  // What ApplyPorts did, by port name.
  struct PortChanges {
    std::vector<std::string> Opened;    // named by a tunnel for the first time
    std::vector<std::string> Reopened;  // with new line settings
    std::vector<std::string> Retried;   // unchanged, but not open: tried at once
    std::vector<std::string> Closed;    // named by no tunnel any more
  };
  // A reload or a tunnel edit while the service runs (the service thread, while the host
  // thread waits and handles the reports): brings the ports in
  // line with the tunnel table as OpenAllPorts would set them up, touching only what
  // differs. An open port whose settings did not change is left alone, so its devices'
  // bytes flow on; one whose settings changed is reopened alone (a record being written
  // meanwhile goes on with the reopened port); a new name is opened; a name no tunnel uses
  // any more is closed and no longer retried (records still waiting for it are stored). A
  // port that is not open is tried at once. One report per port opened or tried. Every
  // port takes the current DelayComRead.
  PortChanges ApplyPorts();

  // Any thread.
  bool IsPortOpen(const std::string& name);
  // The state of a name, or -1 when it has none. Any thread.
  int PortState(const std::string& name);

  // Reads a chunk from the port (and up to three more while they come full) and queues
  // one DATA_SERIAL record per chunk and device of that port on ComRecvQueue, chunk by
  // chunk in device-ID order. Called on the port's own event thread.
  void ReadPort(CSerial* port);
  // Writes `length` bytes to the named port: the bytes written, fewer when the write fell
  // short (diagnostic line), -1 when the name has no port object or the port is closed.
  // The port's writer thread.
  int WriteToPort(const std::string& name, const unsigned char* data, int length);

 private:
  void OnPortInput(CSerial& port) override;
  void OnPortGone(CSerial& port) override;

  // The records of one port name on their way to it, and the thread that writes them.
  struct PortBacklog {
    std::string Name;
    CDataQueue<DataItem> Records;
    // Records handed to the writer and not yet written to their end: only the sending
    // thread adds, only the writer takes away. While there are none, the sending thread
    // writes to the port itself and leaves the writer only what the port did not take.
    std::atomic<int> Unfinished{0};
    // The bytes of the front record that the sending thread wrote before handing it over.
    std::atomic<int> FrontWritten{0};
    // Held by the sending thread while it writes to the port itself, and by an opener
    // while the port opens and asks for a resend: no record can reach a port that has just
    // opened ahead of the stored ones.
    std::mutex WriteAtOnceLock;
    // Opens with ResendStored on, and the resends the writer has finished for them: while
    // they differ, the writer sends the stored records of the port's devices before its next
    // record, and the sending thread leaves every record to it.
    std::atomic<unsigned> ResendsAsked{0};
    std::atomic<unsigned> ResendsDone{0};
    bool ResendDue() const {
      return ResendsAsked.load(std::memory_order_acquire) != ResendsDone.load(std::memory_order_acquire);
    }
    // Records failed on this port whose reports have not yet handed them to the store.
    std::shared_ptr<std::atomic<int>> ReportsOut = std::make_shared<std::atomic<int>>(0);
    std::unique_ptr<Sockora::Win32::CStoppableThread> Writer;
  };

  // OpenPort; with ResendStored on, the port's writer is then told to send what is stored
  // for the port's devices before anything else. Under the state lock.
  bool OpenForResend(const PortSettings& settings);
  // The writer's resend: waits (bounded) until the records this port failed before it
  // opened are in the store, then sends the stored rows of the devices that name the port.
  void ResendStored(PortBacklog& backlog, Sockora::Win32::CEvent& stop);
  void SendStoredRows(PortBacklog& backlog, Sockora::Win32::CEvent& stop);
  void ComSendThread(Sockora::Win32::CEvent& stop);
  void Forward(CDataQueue<DataItem>::Block item);
  // The backlog of a name, made with its writer on first use; null when no thread can be
  // started. The sending thread, and an open that asks for a resend.
  PortBacklog* BacklogOf(const std::string& name);
  // The sending thread's own write, to a port with nothing on its way to it: true when
  // the whole record went (the caller reports it), else FrontWritten holds what did.
  bool WriteAtOnce(PortBacklog& backlog, const DataItem& item);
  void PortWriterThread(PortBacklog& backlog, Sockora::Win32::CEvent& stop);
  // Writes one record from byte `from` on and reports it; a failed write reports (in
  // `rest`) only the bytes that did not reach the port. The port's writer thread.
  void WriteRecord(PortBacklog& backlog, const DataItem& item, int from, DataItem& rest);
  // Writes data[written, length) to the port of `name`, opened as `opening`, going on with
  // the port reopened meanwhile; a write that fails marks the port failed and closes it.
  // The bytes written in all. The port's writer thread.
  int WriteThrough(const std::string& name, const unsigned char* data, int length, int written, unsigned opening);
  void ReopenThread(Sockora::Win32::CEvent& stop);
  void ReopenPass();
  // The port object of a name, or null; objects live as long as the manager.
  CSerial* FindPort(const std::string& name);
  std::string NameOf(const CSerial& port);
  void Report(WPARAM status, LPARAM lParam);
  // Reports the record written and ends its flight.
  void Delivered(const DataItem& item);
  // Also ends the record's flight, once the report is handled or dropped; `out` (when
  // given) counts the report until then.
  void ReportFailed(const DataItem& item, std::shared_ptr<std::atomic<int>> out = nullptr);

  const std::map<std::string, int> m_stopBitNames;
  const std::map<std::string, int> m_parityNames;

  Sockora::Win32::CCriticalSection m_stateLock;
  std::map<std::string, int> m_states;
  // Opens of each name so far: a write cut short by a reopen goes on with the new session.
  std::map<std::string, unsigned> m_openings;
  Sockora::Win32::CCriticalSection m_portsLock;
  std::map<std::string, std::unique_ptr<CSerial>> m_ports;
  Sockora::Win32::CCriticalSection m_settingsLock;
  std::map<std::string, PortSettings> m_settings;
  Sockora::Win32::CCriticalSection m_backlogsLock;
  std::map<std::string, std::unique_ptr<PortBacklog>> m_backlogs;  // never removed while the manager lives

  std::atomic<TargetHandle> m_owner{0};
  // Set from CloseAllPorts until the next OpenAllPorts: the reopen thread rests.
  std::atomic<bool> m_closing{false};
  const unsigned m_reopenPeriodMs;

  std::unique_ptr<Sockora::Win32::CStoppableThread> m_sendThread;
  std::unique_ptr<Sockora::Win32::CStoppableThread> m_reopenThread;
};
