#include "serial/CSerialInterface.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstring>

#include "core/CDataCenter.h"
#include "core/CTunnelTable.h"
#include "serial/CStoredResend.h"
#include "model/ReportedItem.h"
#include "model/SettingInfo.h"
#include "model/WindowMessages.h"
#include "platform/CException.h"
#include "platform/WriteDebugLine.h"
#include "platform/CMessageQueue.h"
#include "platform/CMessageTarget.h"
#include "platform/NameThisThread.h"
#include "platform/CScopedLock.h"

using Sockora::Win32::CEvent;
using Sockora::Win32::NameThisThread;
using Sockora::Win32::CException;
using Sockora::Win32::CScopedLock;
using Sockora::Win32::CStoppableThread;

namespace {

// The most chunks read from a port before they are handed on together.
constexpr int kChunksPerHandOff = 4;
// A block in a port's backlog that only wakes its writer for a resend; never written.
constexpr std::int32_t kResendMark = -1;
// How long a resend waits for the records its port failed before it opened to reach the
// store (their reports, then the store's writer); past it, those stay stored for next time.
constexpr auto kStoreSettleBound = std::chrono::seconds(10);

// The decimal value of the leading digits, after optional blanks and a sign; 0 when
// there are none. Out-of-range values are clamped.
long long DecimalValue(const std::string& text) {
  std::size_t at = 0;
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  long long value = 0;
  for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at)
    value = std::min<long long>(value * 10 + (text[at] - '0'), INT_MAX);
  return negative ? -value : value;
}

int LookUp(const std::map<std::string, int>& names, const std::string& text) {
  auto it = names.find(text);
  return it == names.end() ? 0 : it->second;
}

// A failed record's report. The record's unit stays in flight until the host has handed
// the record to the store (or the report is dropped): the device is not let go in between.
class FailedRecord {
 public:
  FailedRecord(const DataItem& item, std::shared_ptr<std::atomic<int>> out)
      : m_item(item), m_deviceId(DeviceIdOf(item)), m_out(std::move(out)) {
    if (m_out) m_out->fetch_add(1, std::memory_order_acq_rel);
  }
  ~FailedRecord() {
    CDataCenter::Instance().FinishInFlight(m_deviceId);
    if (m_out) m_out->fetch_sub(1, std::memory_order_acq_rel);
  }
  FailedRecord(const FailedRecord&) = delete;
  FailedRecord& operator=(const FailedRecord&) = delete;

  const ReportedItem& Item() const { return m_item; }

 private:
  const ReportedItem m_item;
  const std::string m_deviceId;
  const std::shared_ptr<std::atomic<int>> m_out;
};

// Polls `done` until it holds, `bound` passes or `stop` is set (left set); true if it held.
template <typename Condition>
bool WaitUntil(Condition done, std::chrono::steady_clock::duration bound, CEvent& stop) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (stop.Wait(5)) {
      stop.Set();
      return false;
    }
  }
  return true;
}

// Stops a thread and waits for it while handling reports sent to the calling thread.
void StopThread(std::unique_ptr<CStoppableThread>& thread) {
  thread->Stop();
  CMessageQueue::WaitForEnd(*thread);
  thread.reset();
}

}  // namespace

CSerialInterface::CSerialInterface(unsigned reopenPeriodMs)
    : m_stopBitNames{{"1", 0}, {"1.5", 1}, {"2", 2}},
      m_parityNames{{"None", 0}, {"Odd", 1}, {"Even", 2}, {"Mark", 3}, {"Space", 4}},
      m_reopenPeriodMs(reopenPeriodMs) {
  CDataCenter::Instance();  // its queues must outlive the sending thread
  m_sendThread = CStoppableThread::Launch([this](CEvent& stop) { ComSendThread(stop); });
  m_reopenThread = CStoppableThread::Launch([this](CEvent& stop) { ReopenThread(stop); });
}

CSerialInterface::~CSerialInterface() {
  StopThread(m_sendThread);
  StopThread(m_reopenThread);
  // Each writer ends at its next record; one in the middle of a write ends once its port
  // is closed.
  std::map<std::string, std::unique_ptr<PortBacklog>> backlogs;
  {
    CScopedLock lock(m_backlogsLock);
    backlogs.swap(m_backlogs);
  }
  for (auto& [name, backlog] : backlogs) backlog->Writer->Stop();
  {
    CScopedLock lock(m_portsLock);
    for (auto& [name, port] : m_ports) port->ClosePort();
  }
  for (auto& [name, backlog] : backlogs) StopThread(backlog->Writer);
  // Taken out of the table first: a port's event thread may be in ReadPort, which looks
  // the table up, while its object waits for it below.
  std::map<std::string, std::unique_ptr<CSerial>> ports;
  {
    CScopedLock lock(m_portsLock);
    ports.swap(m_ports);
  }
  for (auto& [name, port] : ports) port->ClosePort();
  ports.clear();
}

void CSerialInterface::SetOwner(TargetHandle owner) {
  m_owner = owner;
  CScopedLock lock(m_portsLock);
  for (auto& [name, port] : m_ports) port->SetOwner(owner);
}

CSerial* CSerialInterface::FindPort(const std::string& name) {
  CScopedLock lock(m_portsLock);
  auto it = m_ports.find(name);
  return it == m_ports.end() ? nullptr : it->second.get();
}

std::string CSerialInterface::NameOf(const CSerial& port) {
  CScopedLock lock(m_portsLock);
  for (const auto& [name, object] : m_ports)
    if (object.get() == &port) return name;
  return {};
}

void CSerialInterface::Report(WPARAM status, LPARAM lParam) {
  CMessageTarget::Send(m_owner, WM_SERIAL_STATUS, status, lParam);
}

void CSerialInterface::Delivered(const DataItem& item) {
  const auto report = std::make_shared<ReportedItem>(item, CDataCenter::Instance().ReportsCarryData());
  CMessageTarget::PostReport(m_owner, WM_SERIAL_STATUS, SERIAL_WRITTEN, reinterpret_cast<LPARAM>(report.get()), report);
  CDataCenter::Instance().FinishInFlight(DeviceIdOf(item));
}

void CSerialInterface::ReportFailed(const DataItem& item, std::shared_ptr<std::atomic<int>> out) {
  const auto report = std::make_shared<FailedRecord>(item, std::move(out));
  CMessageTarget::PostReport(m_owner, WM_SERIAL_STATUS, SERIAL_WRITE_FAILED, reinterpret_cast<LPARAM>(&report->Item()),
                             report);
}

bool CSerialInterface::OpenPort(const PortSettings& settings) {
  CScopedLock opens(m_stateLock);
  CSerial* port = nullptr;
  {
    CScopedLock lock(m_portsLock);
    std::unique_ptr<CSerial>& slot = m_ports[settings.SerialNo];
    if (!slot) {
      slot = std::make_unique<CSerial>(static_cast<CSerial::Listener&>(*this));
      slot->SetOwner(m_owner);
    }
    port = slot.get();
  }
  // Reopening with new settings always goes through a close.
  port->ClosePort();
  ++m_openings[settings.SerialNo];
  port->SetIdleWait(static_cast<unsigned>(std::max(CurrentSettings().DelayComRead, 0)));
  const int number = settings.SerialNo.size() > 3 ? static_cast<int>(DecimalValue(settings.SerialNo.substr(3))) : 0;
  const long long baud = std::max(DecimalValue(settings.BaudRate), 0LL);
  return port->Open(number, static_cast<unsigned>(baud), static_cast<unsigned char>(DecimalValue(settings.DateBit)),
                    static_cast<unsigned char>(LookUp(m_stopBitNames, settings.StopBit)),
                    static_cast<unsigned char>(LookUp(m_parityNames, settings.Parity)));
}

// Also a name never opened before: one that already had a state (device data arrived for
// it before it was ever opened) must not keep "closed" over an open port.
void CSerialInterface::ReopenPort(const PortSettings& settings) {
  bool opened = false;
  {
    CScopedLock lock(m_stateLock);
    opened = OpenForResend(settings);
    m_states[settings.SerialNo] = opened ? PORT_OPEN : PORT_CLOSED;
  }
  Report(opened ? SERIAL_OPENED : SERIAL_OPEN_FAILED, reinterpret_cast<LPARAM>(settings.SerialNo.c_str()));
}

bool CSerialInterface::OpenForResend(const PortSettings& settings) {
  if (!CurrentSettings().ResendStored) return OpenPort(settings);
  PortBacklog* backlog = BacklogOf(settings.SerialNo);
  if (backlog == nullptr) return OpenPort(settings);
  {
    // A record the sending thread writes itself went before the open; one after it finds
    // the resend due and goes to the writer.
    std::lock_guard hold(backlog->WriteAtOnceLock);
    if (!OpenPort(settings)) return false;
    backlog->ResendsAsked.fetch_add(1, std::memory_order_acq_rel);
  }
  // Wakes a writer with nothing else to do.
  CDataQueue<DataItem>::Block mark = CDataCenter::Instance().ComSendQueue.NewBlock();
  std::memset(static_cast<void*>(mark.get()), 0, offsetof(DataItem, Data));
  mark->Kind = kResendMark;
  backlog->Records.PushBlock(std::move(mark));
  return true;
}

void CSerialInterface::ResendStored(PortBacklog& backlog, CEvent& stop) {
  // An open while this resend runs asks for another one after it.
  const unsigned asked = backlog.ResendsAsked.load(std::memory_order_acquire);
  SendStoredRows(backlog, stop);
  backlog.ResendsDone.store(asked, std::memory_order_release);
}

void CSerialInterface::SendStoredRows(PortBacklog& backlog, CEvent& stop) {
  CDataCenter& center = CDataCenter::Instance();
  // The records this port failed before it opened are older than what is stored after them.
  if (!WaitUntil([&] { return backlog.ReportsOut->load(std::memory_order_acquire) == 0; }, kStoreSettleBound, stop))
    WriteDebugLine("[MSG]", "Com %s: records failed before the open are not stored yet; they go at its next open\n",
                   backlog.Name.c_str());
  const std::uint64_t handedOver = center.StoreHandedOver();
  if (!WaitUntil([&] { return center.StoreFinished() >= handedOver; }, kStoreSettleBound, stop))
    WriteDebugLine("[MSG]", "Com %s: the store has not taken every record yet; those go at the port's next open\n",
                   backlog.Name.c_str());
  if (stop.TryConsume()) {
    stop.Set();
    return;
  }
  int state = PORT_CLOSED;
  unsigned opening = 0;
  {
    CScopedLock lock(m_stateLock);
    auto it = m_states.find(backlog.Name);
    state = it == m_states.end() ? PORT_CLOSED : it->second;
    opening = m_openings[backlog.Name];
  }
  if (state != PORT_OPEN) return;
  CTunnelTable& tunnels = CTunnelTable::Instance();
  CStoredResend resend(backlog.Name, tunnels.IdsOnPort(backlog.Name));
  resend.Run(
      [&](const unsigned char* data, int length) { return WriteThrough(backlog.Name, data, length, 0, opening); },
      [&](const DataItem& record) {
        // Not in flight: its unit ended when it was stored.
        const auto report = std::make_shared<ReportedItem>(record, center.ReportsCarryData());
        CMessageTarget::PostReport(m_owner, WM_SERIAL_STATUS, SERIAL_WRITTEN, reinterpret_cast<LPARAM>(report.get()),
                                   report);
      },
      [&](const std::string& deviceId) { return tunnels.IsOnPort(deviceId, backlog.Name); }, stop);
}

void CSerialInterface::OpenAllPorts() {
  std::map<std::string, PortSettings> ports;
  {
    CScopedLock lock(m_settingsLock);
    m_settings.clear();
    // In device-ID order: of several tunnels on one port, the last one's settings win.
    for (const auto& [id, tunnel] : CTunnelTable::Instance().Snapshot())
      m_settings[tunnel.SerialNo] = PortSettings::FromTunnel(tunnel);
    ports = m_settings;
  }
  // Opening makes the port object of a new name.
  for (const auto& [name, settings] : ports) ReopenPort(settings);
  m_closing = false;
}

void CSerialInterface::CloseAllPorts() {
  m_closing = true;
  CScopedLock states(m_stateLock);
  CScopedLock lock(m_portsLock);
  for (auto& [name, port] : m_ports) {
    auto state = m_states.find(name);
    if (state == m_states.end() || state->second != PORT_OPEN) continue;
    port->ClosePort();
    state->second = PORT_CLOSED;
  }
}

CSerialInterface::PortChanges CSerialInterface::ApplyPorts() {
  std::map<std::string, PortSettings> wanted;
  for (const auto& [id, tunnel] : CTunnelTable::Instance().Snapshot())
    wanted[tunnel.SerialNo] = PortSettings::FromTunnel(tunnel);
  std::map<std::string, PortSettings> previous;
  {
    CScopedLock lock(m_settingsLock);
    previous.swap(m_settings);
    // Set before any port opens: a failed open is retried with these.
    m_settings = wanted;
  }
  PortChanges changes;
  for (const auto& [name, settings] : previous) {
    if (wanted.count(name) != 0) continue;
    CScopedLock states(m_stateLock);
    if (CSerial* port = FindPort(name)) port->ClosePort();
    m_states.erase(name);
    changes.Closed.push_back(name);
  }
  const unsigned idleWait = static_cast<unsigned>(std::max(CurrentSettings().DelayComRead, 0));
  for (const auto& [name, settings] : wanted) {
    auto before = previous.find(name);
    if (before == previous.end()) {
      changes.Opened.push_back(name);
    } else if (!before->second.SameAs(settings)) {
      changes.Reopened.push_back(name);
    } else if (!IsPortOpen(name)) {
      changes.Retried.push_back(name);
    } else {
      if (CSerial* port = FindPort(name)) port->SetIdleWait(idleWait);
      continue;
    }
    ReopenPort(settings);
  }
  return changes;
}

bool CSerialInterface::IsPortOpen(const std::string& name) { return PortState(name) == PORT_OPEN; }

int CSerialInterface::PortState(const std::string& name) {
  CScopedLock lock(m_stateLock);
  auto it = m_states.find(name);
  return it == m_states.end() ? -1 : it->second;
}

void CSerialInterface::ReopenThread(CEvent& stop) {
  NameThisThread("reopen");
  while (!stop.Wait(m_reopenPeriodMs)) ReopenPass();
}

// Retries every port that is not open and has settings. The reports go out after the
// state lock is left: the host's handler may itself ask for a port's state.
void CSerialInterface::ReopenPass() {
  std::vector<std::string> reopened;
  {
    CScopedLock lock(m_stateLock);
    for (auto& [name, state] : m_states) {
      if (m_closing) break;
      if (state == PORT_OPEN) continue;
      PortSettings settings;
      {
        CScopedLock settingsLock(m_settingsLock);
        auto it = m_settings.find(name);
        if (it == m_settings.end()) continue;
        settings = it->second;
      }
      if (OpenForResend(settings)) {
        state = PORT_OPEN;
        reopened.push_back(name);
      }
    }
  }
  for (const std::string& name : reopened) Report(SERIAL_OPENED, reinterpret_cast<LPARAM>(name.c_str()));
}

void CSerialInterface::OnPortInput(CSerial& port) { ReadPort(&port); }

// The device went away and the port has closed itself: the port fails like one whose
// write failed, so the reopen thread brings it back once the device is there again.
void CSerialInterface::OnPortGone(CSerial& port) {
  std::string name;
  {
    CScopedLock lock(m_stateLock);
    name = NameOf(port);
    auto state = m_states.find(name);
    if (state != m_states.end() && state->second == PORT_OPEN && !port.IsOpen()) state->second = PORT_FAILED;
  }
  WriteDebugLine("[ERROR]", "Com port %s is gone\n", name.c_str());
}

void CSerialInterface::ReadPort(CSerial* port) {
  if (port == nullptr) return;
  CDataQueue<DataItem>& queue = CDataCenter::Instance().ComRecvQueue;
  std::string name;
  std::vector<std::string> ids;
  std::vector<CDataQueue<DataItem>::Block> ready;
  // A full chunk leaves more input waiting, most likely: a few are read and handed on
  // together, so that the stages after this wake once for all of them. A chunk that is
  // not full goes on at once. Each is read straight into a queue block: the last device
  // on the port gets the block itself, the others a copy of no more than the chunk.
  static_assert(CS_BUFF_LEN <= DATA_ITEM_PAYLOAD);
  for (int chunk = 0; chunk < kChunksPerHandOff; ++chunk) {
    CDataQueue<DataItem>::Block block = queue.NewBlock();
    const int length = port->ReadBlock(block->Data);
    if (length > 0 && chunk == 0) {
      name = NameOf(*port);
      if (!name.empty()) ids = CTunnelTable::Instance().IdsOnPort(name);
    }
    if (length <= 0 || ids.empty()) {
      queue.Recycle(std::move(block));
    } else {
      block->Kind = DATA_SERIAL;
      block->Length = length;
      for (std::size_t i = 0; i + 1 < ids.size(); ++i) {
        SetDeviceId(*block, ids[i]);
        ready.push_back(queue.CopyOf(*block));
      }
      SetDeviceId(*block, ids.back());
      ready.push_back(std::move(block));
    }
    if (length < CS_BUFF_LEN) break;
  }
  queue.PushBlocks(ready);
}

// No purge before the write: it would throw away device data already reported as
// written, and input from the local program that nobody has read yet.
int CSerialInterface::WriteToPort(const std::string& name, const unsigned char* data, int length) {
  CSerial* port = FindPort(name);
  if (port == nullptr || !port->IsOpen()) return -1;
  const int written = port->Write(data, length);
  if (written < length) WriteDebugLine("[ERROR]", "Com 数据发送失败");
  return written;
}

void CSerialInterface::ComSendThread(CEvent& stop) {
  NameThisThread("com-send");
  CDataQueue<DataItem>& queue = CDataCenter::Instance().ComSendQueue;
  // The stop wins over waiting records.
  while (queue.WaitForRecord(stop)) {
    if (stop.TryConsume()) return;
    if (CDataQueue<DataItem>::Block item = queue.PopBlock()) Forward(std::move(item));
  }
}

void CSerialInterface::Forward(CDataQueue<DataItem>::Block item) {
  CDataQueue<DataItem>& queue = CDataCenter::Instance().ComSendQueue;
  const std::string id = DeviceIdOf(*item);
  CTunnelTable& tunnels = CTunnelTable::Instance();
  if (!tunnels.Contains(id)) {
    CDataCenter::Instance().FinishInFlight(id);
  } else if (PortBacklog* backlog = BacklogOf(tunnels.Get(id).SerialNo)) {
    // Written here when the port has nothing else to write: no hand-over to its writer.
    bool written = false;
    {
      std::lock_guard hold(backlog->WriteAtOnceLock);
      written = !backlog->ResendDue() &&
                backlog->Unfinished.load(std::memory_order_acquire) == 0 && WriteAtOnce(*backlog, *item);
    }
    if (written) {
      // Reported after the lock: a report may wait for room at the host, which may be opening a port.
      Delivered(*item);
      queue.Recycle(std::move(item));
      return;
    }
    backlog->Unfinished.fetch_add(1, std::memory_order_relaxed);
    backlog->Records.PushBlock(std::move(item));
    return;
  } else {
    ReportFailed(*item);
  }
  queue.Recycle(std::move(item));
}

CSerialInterface::PortBacklog* CSerialInterface::BacklogOf(const std::string& name) {
  CScopedLock lock(m_backlogsLock);
  std::unique_ptr<PortBacklog>& slot = m_backlogs[name];
  if (slot) return slot.get();
  auto backlog = std::make_unique<PortBacklog>();
  backlog->Name = name;
  try {
    backlog->Writer = CStoppableThread::Launch(
        [this, records = backlog.get()](CEvent& stop) { PortWriterThread(*records, stop); });
  } catch (const CException& error) {
    WriteDebugLine("[ERROR]", "No writer thread for %s: %s\n", name.c_str(), error.GetMessage().c_str());
    m_backlogs.erase(name);
    return nullptr;
  }
  slot = std::move(backlog);
  return slot.get();
}

bool CSerialInterface::WriteAtOnce(PortBacklog& backlog, const DataItem& item) {
  backlog.FrontWritten.store(0, std::memory_order_relaxed);
  // A port that is not open refuses the write; the writer then fails the record.
  CSerial* port = FindPort(backlog.Name);
  if (port == nullptr) return false;
  const int length = std::clamp(item.Length, 0, DATA_ITEM_PAYLOAD);
  const int written = port->WriteNow(item.Data, length);
  if (written < length) {
    backlog.FrontWritten.store(std::max(written, 0), std::memory_order_relaxed);
    return false;
  }
  return true;
}

void CSerialInterface::PortWriterThread(PortBacklog& backlog, CEvent& stop) {
  NameThisThread(("write " + backlog.Name).c_str());
  auto rest = std::make_unique<DataItem>();
  // The blocks came from the send queue, and go back to it.
  CDataQueue<DataItem>& sendQueue = CDataCenter::Instance().ComSendQueue;
  // As in ComSendThread, the stop wins over waiting records; those go to the store.
  while (backlog.Records.WaitForRecord(stop) && !stop.TryConsume()) {
    if (CDataQueue<DataItem>::Block item = backlog.Records.PopBlock()) {
      if (backlog.ResendDue()) ResendStored(backlog, stop);
      if (item->Kind == kResendMark) {
        sendQueue.Recycle(std::move(item));
        continue;
      }
      WriteRecord(backlog, *item, backlog.FrontWritten.exchange(0, std::memory_order_relaxed), *rest);
      // After the record's report: a record the sending thread writes next reports later.
      backlog.Unfinished.fetch_sub(1, std::memory_order_release);
      sendQueue.Recycle(std::move(item));
    }
  }
  std::vector<DataItem> unwritten = backlog.Records.TakeAll();
  std::erase_if(unwritten, [](const DataItem& item) { return item.Kind == kResendMark; });
  // What reached the port of the front record stays written.
  if (const int from = backlog.FrontWritten.exchange(0); from > 0 && !unwritten.empty()) {
    DataItem& front = unwritten.front();
    front.Length = std::clamp(front.Length, 0, DATA_ITEM_PAYLOAD) - from;
    std::memmove(front.Data, front.Data + from, static_cast<std::size_t>(front.Length));
  }
  CDataCenter::Instance().StoreUnwritten(std::move(unwritten), "Com port writer stopped");
}

void CSerialInterface::WriteRecord(PortBacklog& backlog, const DataItem& item, int from, DataItem& rest) {
  const std::string& name = backlog.Name;
  int state = PORT_CLOSED;
  unsigned opening = 0;
  {
    CScopedLock lock(m_stateLock);
    state = m_states.try_emplace(name, PORT_CLOSED).first->second;
    opening = m_openings[name];
  }
  const int length = std::clamp(item.Length, 0, DATA_ITEM_PAYLOAD);
  int written = std::clamp(from, 0, length);
  // Its device moved to another port after the record was routed here: the record is
  // stored rather than written to a port the device no longer uses.
  if (state == PORT_OPEN && CTunnelTable::Instance().IsOnPort(::DeviceIdOf(item), name)) {
    written = WriteThrough(name, item.Data, length, written, opening);
    if (written == length) {
      Delivered(item);
      return;
    }
  }
  // What reached the port stays written: only the rest is reported, and so stored.
  const DataItem* failed = &item;
  if (written > 0) {
    std::memcpy(rest.DeviceId, item.DeviceId, sizeof rest.DeviceId);
    rest.Kind = item.Kind;
    rest.Length = length - written;
    std::memcpy(rest.Data, item.Data + written, static_cast<std::size_t>(rest.Length));
    failed = &rest;
  }
  ReportFailed(*failed, backlog.ReportsOut);
}

int CSerialInterface::WriteThrough(const std::string& name, const unsigned char* data, int length, int written,
                                   unsigned opening) {
  for (;;) {
    written += std::max(WriteToPort(name, data + written, length - written), 0);
    if (written == length) return written;
    CScopedLock lock(m_stateLock);
    // Reopened meanwhile with new line settings: the rest goes to the port as it is now.
    if (const unsigned now = m_openings[name]; now != opening && m_states[name] == PORT_OPEN) {
      opening = now;
      continue;
    }
    // Marked and closed before the report, so that the host already sees the failed state.
    m_states[name] = PORT_FAILED;
    if (CSerial* port = FindPort(name)) port->ClosePort();
    return written;
  }
}
