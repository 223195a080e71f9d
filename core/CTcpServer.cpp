#include "core/CTcpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <ctime>
#include <utility>
#include <vector>

#include "core/CDataCenter.h"
#include "core/CTunnelTable.h"
#include "core/TlsHandshakeCounts.h"
#include "core/WriteWarning.h"
#include "model/DataText.h"
#include "model/LinkEvent.h"
#include "model/NetworkList.h"
#include "model/ReportedItem.h"
#include "model/SettingInfo.h"
#include "model/WindowMessages.h"
#include "net/WriteTrace.h"
#include "platform/CMessageTarget.h"
#include "platform/CWin32Exception.h"
#include "platform/NameThisThread.h"
#include "platform/CScopedLock.h"
#include "platform/WriteDebugLine.h"
#include "protocol/RegistrationPacket.h"

using Sockora::CIOBuffer;
using Sockora::WriteFrequentTrace;
using Sockora::WriteTrace;
using Sockora::Win32::CEvent;
using Sockora::Win32::NameThisThread;
using Sockora::Win32::CScopedLock;

static_assert(kLinkRegistrationBytes == kRegistrationRecordLength);

namespace {

// A unit stays below the payload size: a record holds fewer than 10240 bytes of user
// data.
constexpr std::uint32_t kUnitLimit = DATA_ITEM_PAYLOAD - 1;

// A replaced connection is read until its socket is empty, but a device that goes on
// sending on it (a second unit with the same ID) holds up its successor only this long
// after its last receive, and this long in all.
constexpr std::chrono::milliseconds kReplacementGrace{100};
constexpr std::chrono::seconds kReplacementLimit{2};
// Connections a reload checks again under one hold of the server lock.
constexpr std::size_t kRecheckSlice = 256;

std::int64_t Now() { return static_cast<std::int64_t>(std::time(nullptr)); }

// A server certificate this close to its end is warned about, once a day.
constexpr std::chrono::hours kCertificateWarningDays{30 * 24};
constexpr std::chrono::hours kCertificateCheckPeriod{24};

// The warning for a server certificate that ends within the warning time, or empty.
std::string CertificateExpiry(const Sockora::CTlsContext& context) {
  const std::time_t now = std::time(nullptr);
  const std::time_t end = context.NotAfter();
  if (end - now > std::chrono::seconds(kCertificateWarningDays).count()) return {};
  std::tm when{};
  gmtime_r(&end, &when);
  char date[32];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", &when);
  if (end <= now)
    return "the TLS server certificate " + context.CertificatePath() + " expired on " + date +
           ": TLS devices that check it cannot connect; replace it and restart";
  const long days = static_cast<long>((end - now) / 86400);
  return "the TLS server certificate " + context.CertificatePath() + " expires on " + date + " (in " +
         std::to_string(days) + (days == 1 ? " day" : " days") + "): replace it before then";
}

// A device certificate names its device: 8 hexadecimal digits, in any case.
bool NamesDevice(const std::string& commonName, const std::string& deviceId) {
  return commonName.size() == deviceId.size() &&
         std::equal(commonName.begin(), commonName.end(), deviceId.begin(), [](char a, char b) {
           return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
         });
}

// Into the device history, as often as the line that tells it is written: a scan of
// addresses must not flood the history any more than the log.
void RecordRefusal(const std::string& line, const std::string& deviceId, const std::string& source,
                   const std::string& why) {
  if (!line.empty()) CDataCenter::Instance().DeviceEvents.Push({"", deviceId, DeviceEventName::kRefused, source, why, ""});
}

// Why a device's binding refuses it, or nothing when it admits it.
const char* BindingRefusal(CTunnelTable::Admission admission) {
  switch (admission) {
    case CTunnelTable::Admission::WrongPhone:
      return "its phone number is not the one bound to the device";
    case CTunnelTable::Admission::WrongNetwork:
      return "it comes from outside the networks bound to the device";
    default:
      return nullptr;
  }
}

constexpr char kOutsideAllowedNetworks[] = "it comes from outside the allowed networks (AllowedNetworks)";
constexpr char kUnconfiguredRefused[] =
    "the device has no tunnel, and unconfigured devices are refused (RefuseUnconfigured)";

// The phone number as a line may show it: the device wrote those bytes.
std::string PrintablePhone(const std::string& phone) {
  return EscapedText(reinterpret_cast<const unsigned char*>(phone.data()), phone.size());
}

// A registration or offline record: `data` (the packet's bytes, or the offline marker),
// then where the connection came from.
void PushLinkEvent(const std::string& deviceId, DataKind kind, const unsigned char* data, const char* source,
                   bool tls = false) {
  DataItem item;
  SetDeviceId(item, deviceId);
  item.Kind = kind;
  std::memcpy(item.Data, data, LinkSourceOffset(kind));
  SetLinkSource(item, source, tls);
  CDataCenter::Instance().TcpRecvQueue.Push(item);
}

void Push(const std::string& deviceId, DataKind kind, const unsigned char* data, std::uint32_t length) {
  // Only the header and the unit are set: the queue copies no more than that.
  DataItem item;
  SetDeviceId(item, deviceId);
  item.Kind = kind;
  item.Length = static_cast<std::int32_t>(length);
  if (length > 0) std::memcpy(item.Data, data, length);
  CDataCenter& center = CDataCenter::Instance();
  // A unit bound for the port is in flight from here to its final disposition.
  if (kind == DATA_USER || kind == DATA_HEARTBEAT) center.CountInFlight(deviceId);
  center.TcpRecvQueue.Push(item);
}

}  // namespace

CTcpServer::CTcpServer(const std::string& localIp, std::uint16_t localPort,
                       std::chrono::milliseconds registrationTimeout, CAdmission::Limits admissionLimits)
    // Zero-byte reads: a connection waiting for data holds no receive buffer.
    : CSocketServer(localIp, 0, localPort, 100, 100, DATA_ITEM_PAYLOAD, 0, true, true),
      m_admission(admissionLimits),
      m_registrationTimeout(registrationTimeout) {
  m_sendThread = Sockora::Win32::CStoppableThread::Launch([this](CEvent& stop) { TcpSendThread(stop); });
  m_linkTimerThread = Sockora::Win32::CStoppableThread::Launch([this](CEvent& stop) { LinkTimerThread(stop); });
  CDataCenter::Instance().SetDrainListener(this, [this](const std::string& id) { Resume(id); });
}

CTcpServer::~CTcpServer() { StopAndShutDown(); }

void CTcpServer::StopAndShutDown() {
  // No new connection and no further read first: under load the queues would otherwise
  // keep filling while the threads below are waited for.
  m_stopping = true;
  StopAcceptingConnections();
  StopHolding();
  if (m_sendThread) {
    m_sendThread->StopAndWait();
    m_sendThread.reset();
  }
  if (m_linkTimerThread) {
    m_linkTimerThread->StopAndWait();
    m_linkTimerThread.reset();
  }
  DropReplacements();
  {
    std::lock_guard lock(m_deviceMutex);
    m_deviceSockets.clear();
    m_socketDevices.clear();
  }
  WaitForShutdown();
}

void CTcpServer::OnStartAcceptingConnections() { WriteTrace("OnStartAcceptingConnections"); }
void CTcpServer::OnStopAcceptingConnections() { WriteTrace("OnStopAcceptingConnections"); }
void CTcpServer::OnShutdownComplete() { WriteTrace("OnShutdownComplete"); }
void CTcpServer::OnConnectionCreated() { WriteTrace("OnConnectionCreated"); }
void CTcpServer::OnConnectionClientClose(Socket& socket) {
  WriteTrace("OnConnectionClientClose");
  ReplacementFinished(socket);
}
void CTcpServer::OnConnectionReset(Socket&) { WriteTrace("OnConnectionReset"); }
void CTcpServer::OnConnectionDestroyed() { WriteTrace("OnConnectionDestroyed"); }
void CTcpServer::OnThreadDestroyed() { WriteTrace("OnThreadDestroyed"); }
void CTcpServer::OnBufferCreated() { WriteFrequentTrace("OnBufferCreated"); }
void CTcpServer::OnBufferAllocated() { WriteFrequentTrace("OnBufferAllocated"); }

void CTcpServer::OnError(const std::string& message) {
  std::string_view line(message);
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  WriteTrace(line);
}

void CTcpServer::OnAcceptError(unsigned error) {
  // accept fails again at once while the cause lasts: one line a minute says it all.
  constexpr std::chrono::minutes kWarningPeriod{1};
  const auto now = std::chrono::steady_clock::now();
  ++m_acceptFailures;
  if (m_acceptWarned != std::chrono::steady_clock::time_point{} && now - m_acceptWarned < kWarningPeriod) return;
  std::string reason = Sockora::Win32::FormatErrorText(error);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
  std::string text = "devices cannot connect: accepting a connection failed: " + reason;
  if (m_acceptFailures > 1) text += " (" + std::to_string(m_acceptFailures) + " failures in the last minute)";
  if (error == EMFILE || error == ENFILE)
    text += "; every connection takes a file descriptor: raise the service's open-file limit "
            "(LimitNOFILE= in its unit, ulimit -n in a shell)";
  WriteWarning(text);
  m_acceptFailures = 0;
  m_acceptWarned = now;
}

void CTcpServer::AddConnection(Socket* socket) {
  if (socket == nullptr) return;
  CScopedLock lock(m_serverLock);
  auto& record = m_connectionTable[socket];
  if (record) return;
  record = std::make_unique<LinkRecord>();
  record->ConnectTime = record->LastReceiveTime = Now();
  record->Accepted = std::chrono::steady_clock::now();
}

void CTcpServer::RemoveConnection(Socket* socket) {
  if (socket == nullptr) return;
  CScopedLock lock(m_serverLock);
  m_connectionTable.erase(socket);
}

void CTcpServer::OnConnectionAccepted(Socket& socket, CIOBuffer& address) {
  sockaddr_in peer{};
  if (address.GetUsed() >= sizeof peer) std::memcpy(&peer, address.GetBuffer(), sizeof peer);
  const std::uint32_t source = ntohl(peer.sin_addr.s_addr);
  char sourceText[24];
  std::snprintf(sourceText, sizeof sourceText, "%s:%u", CAdmission::AddressText(source).c_str(), ntohs(peer.sin_port));
  const SettingInfo settings = CurrentSettings();
  RefusalReason reason{};
  if (!m_admission.Arrive(source, settings.AllowedNetworks, settings.MaxConnectionsPerAddress, reason)) {
    // Refused before anything is read: no record, no row, nothing forwarded.
    CDataCenter::Instance().CountRefusal(reason);
    std::string why;
    switch (reason) {
      case RefusalReason::Network:
        why = kOutsideAllowedNetworks;
        break;
      case RefusalReason::PerAddressCap:
        why = std::to_string(settings.MaxConnectionsPerAddress) +
              " connections from its address are open, as many as MaxConnectionsPerAddress allows";
        break;
      default:
        why = "its address is refused for a while: registrations from it kept failing their bindings";
        break;
    }
    const std::string line =
        m_admission.RefusalLine(source, true, 1, std::string("connection from ") + sourceText + " refused: " + why);
    RecordRefusal(line, "", sourceText, why);
    Tell({line});
    socket.AbortiveClose();
    return;
  }
  AddConnection(&socket);
  {
    CScopedLock lock(m_serverLock);
    if (auto it = m_connectionTable.find(&socket); it != m_connectionTable.end()) {
      it->second->Address = source;
      it->second->Tls = socket.IsTls();
      std::memcpy(it->second->Source, sourceText, sizeof sourceText);
    }
  }
  {
    std::lock_guard lock(m_pendingMutex);
    m_registrationPending[&socket] = true;
  }
  socket.Read();
}

void CTcpServer::ListenForTls(std::uint16_t port, std::shared_ptr<const Sockora::CTlsContext> context, bool plainToo) {
  SetTlsListener(port, context, plainToo);
  {
    CScopedLock lock(m_serverLock);
    m_tlsContext = std::move(context);
    m_certificateCheck = std::chrono::steady_clock::now();
  }
  // The certificate's end is looked at on the link timer's next pass, at once.
  m_linkTimerWake.Set();
}

void CTcpServer::OnTlsEstablished(Socket& socket) {
  TlsHandshakeCounts::Instance().CountSucceeded();
  const std::string name = socket.TlsPeerName();
  WriteTrace("TLS handshake finished" + (name.empty() ? std::string() : ", client certificate \"" + name + "\""));
}

std::string CTcpServer::TlsFailureLine(const LinkRecord& record, TlsFailure failure, const std::string& reason) {
  TlsHandshakeCounts::Instance().CountFailed(failure);
  return m_admission.RefusalLine(record.Address, false, 10,
                                 std::string("TLS connection from ") + record.Source + " refused (" +
                                     TlsFailureName(failure) + "): " + reason);
}

void CTcpServer::OnTlsFailed(Socket& socket, TlsFailure failure, const std::string& reason) {
  std::string line;
  {
    CScopedLock lock(m_serverLock);
    auto found = m_connectionTable.find(&socket);
    if (found == m_connectionTable.end()) {
      TlsHandshakeCounts::Instance().CountFailed(failure);
      return;
    }
    // What still arrives is not looked at; the framework closes the connection.
    found->second->Expired = true;
    line = TlsFailureLine(*found->second, failure, reason);
  }
  Tell({line});
}

void CTcpServer::Tell(const std::vector<std::string>& lines) {
  for (const std::string& line : lines)
    if (!line.empty()) WriteWarning(line);
}

// The abortive close that follows removes the record (OnConnectionClosed), once the
// offline record has taken the connection's source from it.
bool CTcpServer::OnConnectionUnreferenced(Socket&) { return true; }

void CTcpServer::OnConnectionClosed(Socket& socket) {
  // Held throughout, as ReadCompleted holds it: a newer connection registering the same
  // ID meanwhile would otherwise report this one offline a second time, or have its
  // registration overtaken by this offline record.
  CScopedLock lock(m_serverLock);
  ReportOffline(&socket);
  // Only an admitted connection has a record, and counts against its address's cap.
  if (auto it = m_connectionTable.find(&socket); it != m_connectionTable.end()) m_admission.Left(it->second->Address);
  RemoveConnection(&socket);
  ReplacementFinished(socket);
  std::lock_guard pendingLock(m_pendingMutex);
  m_registrationPending.erase(&socket);
}

void CTcpServer::ReplacementFinished(Socket& socket) {
  CScopedLock lock(m_serverLock);
  auto it = m_replacements.find(&socket);
  if (it == m_replacements.end() || it->second.Finished) return;
  it->second.Finished = true;
  m_linkTimerWake.Set();
}

std::string CTcpServer::ReceivedByReplaced(Socket* socket) {
  auto it = m_replacements.find(socket);
  if (it == m_replacements.end()) return {};
  Replacement& replacement = it->second;
  replacement.Deadline =
      std::min(std::chrono::steady_clock::now() + kReplacementGrace, replacement.Started + kReplacementLimit);
  return replacement.DeviceId;
}

std::string CTcpServer::DeviceIdOf(Socket* socket) {
  std::lock_guard lock(m_deviceMutex);
  auto it = m_socketDevices.find(socket);
  return it == m_socketDevices.end() ? std::string() : it->second;
}

void CTcpServer::ReportOffline(Socket* socket, bool replaced) {
  if (socket == nullptr) return;
  const std::string id = DeviceIdOf(socket);
  if (id.empty()) return;
  auto record = m_connectionTable.find(socket);
  PushLinkEvent(id, DATA_OFFLINE, replaced ? &OFFLINE_REPLACED : &OFFLINE_ENDED,
                record == m_connectionTable.end() ? "" : record->second->Source);
  std::lock_guard lock(m_deviceMutex);
  m_socketDevices.erase(socket);
  auto it = m_deviceSockets.find(id);
  if (it != m_deviceSockets.end() && it->second == socket) m_deviceSockets.erase(it);
}

void CTcpServer::ReadCompleted(Socket& socket, CIOBuffer& buffer) {
  Socket* replaced = nullptr;
  bool keepReading = true;
  std::vector<std::string> refusal;
  // Looked up once per receive, for the units and for the hold.
  std::string id;
  {
    CScopedLock lock(m_serverLock);
    try {
      auto found = m_connectionTable.find(&socket);
      if (found == m_connectionTable.end()) {
        WriteDebugLine("[ERROR]", "没有此Socket");
        WriteTrace("A receive of " + std::to_string(buffer.GetUsed()) + " bytes for a closed connection was dropped");
      } else if (LinkRecord& record = *found->second; !record.Expired) {
        record.Received = 1;
        record.LastReceiveTime = Now();
        const unsigned char* data = buffer.GetBuffer();
        std::uint32_t length = buffer.GetUsed();
        if (IsPending(socket)) {
          const std::uint32_t take = std::min<std::uint32_t>(length, kRegistrationLength - record.BufferedLength);
          std::memcpy(record.Buffer + record.BufferedLength, data, take);
          record.BufferedLength = static_cast<std::uint16_t>(record.BufferedLength + take);
          data += take;
          length -= take;
          if (record.BufferedLength == kRegistrationLength) replaced = Register(socket, record, refusal);
        }
        // Refused: nothing it sent goes anywhere.
        if (record.Expired) length = 0;
        // A live connection holds its ID; only one without is looked for among the replaced.
        id = DeviceIdOf(&socket);
        if (id.empty() && length > 0) id = ReceivedByReplaced(&socket);
        if (replaced != nullptr) {
          // After whatever the replaced connection still delivers.
          m_replacements[replaced].Waiting.assign(data, data + length);
        } else if (length > 0) {
          // What follows the registration in its own chunk goes at once: a device that
          // sends both in one write and then waits for an answer would wait for ever.
          PushUnits(id, data, length);
        }
      }
    } catch (...) {
      WriteDebugLine("[ERROR]", "ReadCompleted - Unexpected exception");
      keepReading = false;
    }
  }
  // Shut down only now: the framework's notifications for it need the server lock. Its
  // receives then end with what its socket holds, and its successor's are issued after.
  if (replaced != nullptr) {
    replaced->Shutdown(SHUT_RD);
    replaced->Release();
    m_linkTimerWake.Set();
    return;
  }
  if (!refusal.empty()) {
    Tell(refusal);
    socket.AbortiveClose();
    return;
  }
  if (!keepReading)
    socket.Shutdown(SHUT_RDWR);
  else if (!m_stopping && !HoldWhileBacklogged(socket, id))
    socket.ReadNow();  // on this worker: posting it would wake another one only to issue it
}

bool CTcpServer::HoldWhileBacklogged(Socket& socket, const std::string& id) {
  if (id.empty()) return false;
  CDataCenter& center = CDataCenter::Instance();
  // The common case, without listing the connection: far from the mark, nothing to hold.
  if (center.InFlight(id) < CDataCenter::kHighWater) return false;
  // Listed before the data center is asked: a drain right after the answer finds it.
  socket.AddRef();
  {
    std::lock_guard lock(m_heldMutex);
    m_held.emplace(&socket, id);
  }
  if (center.HoldWhileBacklogged(id)) return true;
  bool stillListed = false;
  {
    std::lock_guard lock(m_heldMutex);
    stillListed = m_held.erase(&socket) != 0;
  }
  // Not listed any more: a drain of the device took it and issued its receive.
  if (!stillListed) return true;
  socket.Release();
  return false;
}

void CTcpServer::Resume(const std::string& deviceId) {
  std::vector<Socket*> resumed;
  {
    std::lock_guard lock(m_heldMutex);
    for (auto it = m_held.begin(); it != m_held.end();) {
      if (it->second != deviceId) {
        ++it;
        continue;
      }
      resumed.push_back(it->first);
      it = m_held.erase(it);
    }
  }
  // A connection closed meanwhile refuses the receive; the release then pools it.
  for (Socket* socket : resumed) {
    socket->Read();
    socket->Release();
  }
}

void CTcpServer::StopHolding() {
  CDataCenter::Instance().SetDrainListener(this, nullptr);
  std::map<Socket*, std::string> held;
  {
    std::lock_guard lock(m_heldMutex);
    held.swap(m_held);
  }
  for (auto& [socket, id] : held) socket->Release();
}

// A full read then makes one record: 10240 bytes would leave a lone byte over for a record
// of its own, and every record costs a pass through the data center and the serial port.
std::uint32_t CTcpServer::ReceiveLimit() { return kUnitLimit; }

bool CTcpServer::IsPending(Socket& socket) {
  std::lock_guard lock(m_pendingMutex);
  auto it = m_registrationPending.find(&socket);
  return it != m_registrationPending.end() && it->second;
}

CTcpServer::Socket* CTcpServer::Register(Socket& socket, LinkRecord& record, std::vector<std::string>& refusal) {
  {
    std::lock_guard lock(m_pendingMutex);
    m_registrationPending[&socket] = false;
  }
  const std::string id = RegisteredDeviceId(record.Buffer);
  const std::string phone = RegisteredPhone(record.Buffer);
  CTunnelTable& tunnels = CTunnelTable::Instance();
  std::string why;
  bool binding = true;
  if (const char* refused = BindingRefusal(tunnels.Admit(id, phone, record.Address))) {
    why = refused;
  } else if (socket.TlsPeerVerified() && !NamesDevice(socket.TlsPeerName(), id)) {
    // The certificate is the device's identity: another device's cannot register this ID.
    const std::string name = socket.TlsPeerName();
    why = "its TLS certificate is issued to \"" +
          EscapedText(reinterpret_cast<const unsigned char*>(name.data()), name.size()) + "\", not to " + id;
  } else if (CurrentSettings().RefuseUnconfigured && !tunnels.Contains(id)) {
    why = kUnconfiguredRefused;
    binding = false;
  }
  if (!why.empty()) {
    // The live connection of the ID, if any, keeps its link: nothing is reported.
    CDataCenter::Instance().CountRefusal(binding ? RefusalReason::Binding : RefusalReason::Unconfigured);
    record.Expired = true;
    record.BufferedLength = 0;
    refusal.push_back(m_admission.RefusalLine(record.Address, false, 10,
                                              "device " + id + " refused: registration from " + record.Source +
                                                  ", phone \"" + PrintablePhone(phone) + "\": " + why));
    RecordRefusal(refusal.back(), id, record.Source, why);
    if (binding) {
      refusal.push_back(m_admission.BindingRefused(record.Address));
      // A throttle that starts wakes the link timer, which ends it on time.
      if (!refusal.back().empty()) m_linkTimerWake.Set();
    }
    return nullptr;
  }
  Socket* old = nullptr;
  {
    std::lock_guard lock(m_deviceMutex);
    auto it = m_deviceSockets.find(id);
    if (it != m_deviceSockets.end() && it->second != &socket) {
      old = it->second;
      // One reference for the replacement, one for the caller: the replacement may end
      // (and let the object go back to the pool) before the caller has shut it down.
      old->AddRef();
      old->AddRef();
    }
  }
  // The old connection's offline record goes before the new registration; its bytes still
  // go on under the ID until its replacement ends.
  if (old != nullptr) {
    ReportOffline(old, true);
    socket.AddRef();
    Replacement& replacement = m_replacements[old];
    replacement.DeviceId = id;
    replacement.Successor = &socket;
    replacement.Started = std::chrono::steady_clock::now();
    replacement.Deadline = replacement.Started + kReplacementGrace;
  }
  {
    std::lock_guard lock(m_deviceMutex);
    m_deviceSockets[id] = &socket;
    m_socketDevices[&socket] = id;
  }
  PushLinkEvent(id, DATA_REGISTER, record.Buffer, record.Source, record.Tls);
  record.BufferedLength = 0;
  return old;
}

std::size_t CTcpServer::CloseNowRefused() {
  const SettingInfo settings = CurrentSettings();
  std::vector<Ipv4Network> allowed;
  std::string bad;
  // A text that does not parse admits every address, as CAdmission reads it.
  if (!ParseNetworks(settings.AllowedNetworks, allowed, bad)) allowed.clear();
  CTunnelTable& tunnels = CTunnelTable::Instance();
  struct Refused {
    Socket* Connection;  // referenced
    RefusalReason Reason;
    std::string Line;
  };
  std::vector<Refused> refused;
  std::vector<Socket*> registered;
  {
    // Taken under the server lock: a registration checked against the old table has
    // finished and is among them.
    CScopedLock lock(m_serverLock);
    std::lock_guard deviceLock(m_deviceMutex);
    registered.reserve(m_socketDevices.size());
    for (const auto& entry : m_socketDevices) registered.push_back(entry.first);
  }
  // A slice at a time under the server lock, which every receive takes: with 10,000 devices
  // one pass would hold up all their receives for as long as it lasts. A connection that
  // registers meanwhile was checked against the new table by its registration.
  for (std::size_t from = 0; from < registered.size(); from += kRecheckSlice) {
    CScopedLock lock(m_serverLock);
    for (std::size_t at = from; at < std::min(registered.size(), from + kRecheckSlice); ++at) {
      Socket* socket = registered[at];
      // Asked again: the connection may have gone since, its object even serve a newer one.
      const std::string id = DeviceIdOf(socket);
      auto found = m_connectionTable.find(socket);
      if (id.empty() || found == m_connectionTable.end()) continue;
      const LinkRecord& record = *found->second;
      const std::string phone = RegisteredPhone(record.Buffer);
      std::string why;
      RefusalReason reason = RefusalReason::Binding;
      if (!allowed.empty() && !InNetworks(allowed, record.Address)) {
        reason = RefusalReason::Network;
        why = kOutsideAllowedNetworks;
      } else if (const char* refused = BindingRefusal(tunnels.Admit(id, phone, record.Address))) {
        why = refused;
      } else if (settings.RefuseUnconfigured && !tunnels.Contains(id)) {
        reason = RefusalReason::Unconfigured;
        why = kUnconfiguredRefused;
      } else {
        continue;
      }
      socket->AddRef();
      refused.push_back({socket, reason,
                         "device " + id + " closed by the reload: connection from " + record.Source + ", phone \"" +
                             PrintablePhone(phone) + "\": " + why});
    }
  }
  for (Refused& entry : refused) {
    CDataCenter::Instance().CountRefusal(entry.Reason);
    Tell({entry.Line});
    entry.Connection->Close();
    entry.Connection->Release();
  }
  return refused.size();
}

void CTcpServer::PushUnits(const std::string& id, const unsigned char* data, std::uint32_t length) {
  // The ID was taken over by a newer connection: these bytes belong to nobody.
  if (id.empty()) return;
  // More than a record holds (a receive larger than the limit) is split, not dropped.
  for (std::uint32_t offset = 0; offset < length;) {
    const std::uint32_t take = std::min(length - offset, kUnitLimit);
    const bool heartbeat = take == 1 && data[offset] == 0xFE;
    Push(id, heartbeat ? DATA_HEARTBEAT : DATA_USER, data + offset, take);
    offset += take;
  }
}

struct CTcpServer::DueLinks {
  std::vector<std::pair<Socket*, std::uint16_t>> overdue;  // referenced, with the bytes it sent
  std::vector<std::pair<Socket*, Socket*>> ended;          // replaced and successor, referenced
  std::vector<std::string> lines;                          // throttles that ended
};

void CTcpServer::LinkTimerThread(CEvent& stop) {
  NameThisThread("link-timer");
  for (;;) {
    DueLinks due;
    const std::chrono::steady_clock::time_point next = CollectDueLinks(due);
    for (const auto& [socket, received] : due.overdue) {
      WriteTrace("Closing a connection that sent " + std::to_string(received) + " of " +
                 std::to_string(kRegistrationLength) + " registration bytes in " +
                 std::to_string(m_registrationTimeout.count()) + " ms");
      socket->Close();
      socket->Release();
    }
    Tell(due.lines);
    for (const auto& [replaced, successor] : due.ended) {
      replaced->Close();
      replaced->Release();
      if (!m_stopping) successor->Read();
      successor->Release();
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - std::chrono::steady_clock::now());
    const unsigned waitMs = static_cast<unsigned>(std::max<std::chrono::milliseconds::rep>(wait.count(), 0));
    if (CEvent::WaitAny(stop, m_linkTimerWake, waitMs) == 0) return;
  }
}

std::chrono::steady_clock::time_point CTcpServer::CollectDueLinks(DueLinks& due) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point now = Clock::now();
  // With nothing pending, no connection accepted from now on is due any earlier.
  Clock::time_point next = now + m_registrationTimeout;
  due.lines = m_admission.EndThrottles(now, next);
  CScopedLock lock(m_serverLock);
  if (m_tlsContext) {
    if (now >= m_certificateCheck) {
      m_certificateCheck = now + kCertificateCheckPeriod;
      due.lines.push_back(CertificateExpiry(*m_tlsContext));
    }
    next = std::min(next, m_certificateCheck);
  }
  {
    std::lock_guard pendingLock(m_pendingMutex);
    for (auto& [socket, record] : m_connectionTable) {
      auto pending = m_registrationPending.find(socket);
      if (record->Expired || pending == m_registrationPending.end() || !pending->second) continue;
      const Clock::time_point deadline = record->Accepted + m_registrationTimeout;
      if (deadline > now) {
        next = std::min(next, deadline);
        continue;
      }
      // Decided under the lock: a registration completing meanwhile cannot be closed.
      record->Expired = true;
      if (record->Tls && !socket->TlsEstablished())
        due.lines.push_back(TlsFailureLine(*record, TlsFailure::Timeout,
                                           "the handshake had not finished when the registration time (" +
                                               std::to_string(m_registrationTimeout.count()) + " ms) ran out"));
      socket->AddRef();
      due.overdue.emplace_back(socket, record->BufferedLength);
    }
  }
  const auto isSuccessor = [this](Socket* socket) {
    return std::any_of(m_replacements.begin(), m_replacements.end(),
                       [socket](const auto& entry) { return entry.second.Successor == socket; });
  };
  for (auto it = m_replacements.begin(); it != m_replacements.end();) {
    Replacement& replacement = it->second;
    // A successor replaced in turn ends after its own predecessor, whose end issues its
    // receives: its bytes keep their place before those of the connection after it.
    if (isSuccessor(it->first)) {
      replacement.Deadline = std::max(replacement.Deadline, now + kReplacementGrace);
      next = std::min(next, replacement.Deadline);
      ++it;
      continue;
    }
    if (!replacement.Finished) {
      bool held = false;
      {
        std::lock_guard heldLock(m_heldMutex);
        held = m_held.count(it->first) != 0;
      }
      // Held by its device's backlog it cannot read: its time runs once it can.
      if (held) replacement.Deadline = std::max(replacement.Deadline, now + kReplacementGrace);
      if (replacement.Deadline > now) {
        next = std::min(next, replacement.Deadline);
        ++it;
        continue;
      }
      WriteTrace("Closing a replaced connection of " + replacement.DeviceId + " that still delivers");
    }
    PushUnits(replacement.DeviceId, replacement.Waiting.data(), static_cast<std::uint32_t>(replacement.Waiting.size()));
    due.ended.emplace_back(it->first, replacement.Successor);
    it = m_replacements.erase(it);
    // What waited for this one may end now.
    next = now;
  }
  return next;
}

void CTcpServer::DropReplacements() {
  std::map<Socket*, Replacement> replacements;
  {
    CScopedLock lock(m_serverLock);
    replacements.swap(m_replacements);
  }
  for (auto& [replaced, replacement] : replacements) {
    replaced->Release();
    replacement.Successor->Release();
  }
}

void CTcpServer::TcpSendThread(CEvent& stop) {
  NameThisThread("tcp-send");
  CDataQueue<DataItem>& queue = CDataCenter::Instance().TcpSendQueue;
  // The stop wins over waiting records: while the ports keep delivering the queue may
  // never run empty, and what is left is emptied with the service state anyway.
  while (queue.WaitForRecord(stop)) {
    if (stop.TryConsume()) return;
    if (CDataQueue<DataItem>::Block item = queue.PopBlock()) {
      SendRecord(*item);
      queue.Recycle(std::move(item));
    }
  }
}

void CTcpServer::SendRecord(const DataItem& item) {
  const std::string id = ::DeviceIdOf(item);
  Socket* socket = nullptr;
  {
    std::lock_guard lock(m_deviceMutex);
    auto it = m_deviceSockets.find(id);
    if (it == m_deviceSockets.end()) return;
    socket = it->second;
    // Held across the write, so the object cannot be pooled and reused for another
    // device's connection meanwhile.
    socket->AddRef();
  }
  const std::size_t length = static_cast<std::size_t>(std::clamp(item.Length, 0, DATA_ITEM_PAYLOAD));
  // Sent from this thread: a worker would only be one more hand-off on the way.
  const bool written = socket->WriteNow(item.Data, length);
  socket->Release();
  if (!written)
    WriteDebugLine("[ERROR]", "Tcp数据发送失败");
  else
    CDataCenter::Instance().AddDeviceTraffic(id, 0, length);
  const std::shared_ptr<ReportedItem> report =
      std::make_shared<ReportedItem>(item, !written || CDataCenter::Instance().ReportsCarryData());
  CMessageTarget::PostReport(m_notifyWindow, WM_TCP_STATUS, written ? TCP_SENT : TCP_SEND_FAILED,
                             reinterpret_cast<LPARAM>(report.get()), report);
}
