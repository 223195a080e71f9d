#include "core/CTcpServer.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "core/CDataCenter.h"
#include "model/WindowMessages.h"
#include "platform/WriteDebugLine.h"
#include "net/WriteTrace.h"
#include "platform/CMessageTarget.h"
#include "platform/CScopedLock.h"
#include "protocol/RegistrationPacket.h"

using Sockora::CIOBuffer;
using Sockora::WriteTrace;
using Sockora::Win32::CEvent;
using Sockora::Win32::CScopedLock;

namespace {

// The buffered bytes of one unit stay below the payload size: a record holds fewer
// than 10240 bytes of user data.
constexpr std::uint32_t kUnitLimit = DATA_ITEM_PAYLOAD - 1;

std::int64_t Now() { return static_cast<std::int64_t>(std::time(nullptr)); }

void Push(const std::string& deviceId, DataKind kind, const unsigned char* data, std::uint32_t length) {
  DataItem item{};
  SetDeviceId(item, deviceId);
  item.Kind = kind;
  item.Length = static_cast<std::int32_t>(length);
  if (length > 0) std::memcpy(item.Data, data, length);
  CDataCenter::Instance().TcpRecvQueue.Push(item);
}

}  // namespace

CTcpServer::CTcpServer(const std::string& localIp, std::uint16_t localPort)
    : CSocketServer(localIp, 0, localPort, 100, 100, DATA_ITEM_PAYLOAD, 0, true, false) {
  m_sendThread = Sockora::Win32::CStoppableThread::Launch([this](CEvent& stop) { TcpSendThread(stop); });
}

CTcpServer::~CTcpServer() { StopAndShutDown(); }

void CTcpServer::StopAndShutDown() {
  if (m_sendThread) {
    m_sendThread->StopAndWait();
    m_sendThread.reset();
  }
  {
    std::lock_guard lock(m_deviceMutex);
    m_deviceSockets.clear();
  }
  WaitForShutdown();
}

void CTcpServer::OnStartAcceptingConnections() { WriteTrace("OnStartAcceptingConnections"); }
void CTcpServer::OnStopAcceptingConnections() { WriteTrace("OnStopAcceptingConnections"); }
void CTcpServer::OnShutdownComplete() { WriteTrace("OnShutdownComplete"); }
void CTcpServer::OnConnectionCreated() { WriteTrace("OnConnectionCreated"); }
void CTcpServer::OnConnectionClientClose(Socket&) { WriteTrace("OnConnectionClientClose"); }
void CTcpServer::OnConnectionReset(Socket&) { WriteTrace("OnConnectionReset"); }
void CTcpServer::OnConnectionDestroyed() { WriteTrace("OnConnectionDestroyed"); }
void CTcpServer::OnThreadDestroyed() { WriteTrace("OnThreadDestroyed"); }
void CTcpServer::OnBufferCreated() { WriteTrace("OnBufferCreated"); }
void CTcpServer::OnBufferAllocated() { WriteTrace("OnBufferAllocated"); }

void CTcpServer::AddConnection(Socket* socket) {
  if (socket == nullptr) return;
  CScopedLock lock(m_serverLock);
  auto& record = m_connectionTable[socket];
  if (record) return;
  record = std::make_unique<LinkRecord>();
  record->ConnectTime = record->LastReceiveTime = Now();
}

void CTcpServer::RemoveConnection(Socket* socket) {
  if (socket == nullptr) return;
  CScopedLock lock(m_serverLock);
  m_connectionTable.erase(socket);
}

void CTcpServer::OnConnectionAccepted(Socket& socket, CIOBuffer&) {
  AddConnection(&socket);
  {
    std::lock_guard lock(m_pendingMutex);
    m_registrationPending[&socket] = true;
  }
  socket.Read();
}

bool CTcpServer::OnConnectionUnreferenced(Socket& socket) {
  RemoveConnection(&socket);
  return true;
}

void CTcpServer::OnConnectionClosed(Socket& socket) {
  // Held throughout, as ReadCompleted holds it: a newer connection registering the same
  // ID meanwhile would otherwise report this one offline a second time, or have its
  // registration overtaken by this offline record.
  CScopedLock lock(m_serverLock);
  RemoveConnection(&socket);
  ReportOffline(&socket);
  std::lock_guard pendingLock(m_pendingMutex);
  m_registrationPending.erase(&socket);
}

std::string CTcpServer::DeviceIdOf(Socket* socket) {
  std::lock_guard lock(m_deviceMutex);
  for (const auto& [id, holder] : m_deviceSockets)
    if (holder == socket) return id;
  return {};
}

void CTcpServer::ReportOffline(Socket* socket) {
  if (socket == nullptr) return;
  const std::string id = DeviceIdOf(socket);
  if (id.empty()) return;
  Push(id, DATA_OFFLINE, nullptr, 0);
  std::lock_guard lock(m_deviceMutex);
  auto it = m_deviceSockets.find(id);
  if (it != m_deviceSockets.end() && it->second == socket) m_deviceSockets.erase(it);
}

void CTcpServer::ReadCompleted(Socket& socket, CIOBuffer& buffer) {
  Socket* replaced = nullptr;
  bool keepReading = true;
  {
    CScopedLock lock(m_serverLock);
    try {
      auto found = m_connectionTable.find(&socket);
      if (found == m_connectionTable.end()) {
        WriteDebugLine("[ERROR]", "没有此Socket");
      } else {
        LinkRecord& record = *found->second;
        record.Received = 1;
        record.LastReceiveTime = Now();
        const std::uint32_t received = buffer.GetUsed();
        const bool oneByteUnit = record.BufferedLength + received == 1;
        // A chunk that does not fit behind what is buffered (a bulk sender fills every
        // read) is taken in parts that do, each handled as a chunk of its own: no byte
        // of the device is dropped.
        for (std::uint32_t offset = 0; offset < received;) {
          const std::uint32_t take = std::min<std::uint32_t>(received - offset, kUnitLimit - record.BufferedLength);
          std::memcpy(record.Buffer + record.BufferedLength, buffer.GetBuffer() + offset, take);
          record.BufferedLength = static_cast<std::uint16_t>(record.BufferedLength + take);
          if (Socket* old = HandleUnit(socket, record, take, oneByteUnit)) replaced = old;
          offset += take;
        }
      }
    } catch (...) {
      WriteDebugLine("[ERROR]", "ReadCompleted - Unexpected exception");
      keepReading = false;
    }
  }
  // Closed only now: the old connection's close notification needs the server lock.
  if (replaced != nullptr) {
    replaced->Close();
    replaced->Release();
  }
  if (keepReading)
    socket.Read();
  else
    socket.Shutdown(SHUT_RDWR);
}

// A full read then makes one record: 10240 bytes would leave a lone byte over for a record
// of its own, and every record costs a pass through the data center and the serial port.
std::uint32_t CTcpServer::ReceiveLimit() { return kUnitLimit; }

CTcpServer::Socket* CTcpServer::HandleUnit(Socket& socket, LinkRecord& record, std::uint32_t length,
                                           bool oneByteUnit) {
  bool pending = false;
  {
    std::lock_guard lock(m_pendingMutex);
    auto it = m_registrationPending.find(&socket);
    pending = it != m_registrationPending.end() && it->second;
  }

  if (pending) {
    if (record.BufferedLength < kRegistrationLength) return nullptr;
    {
      std::lock_guard lock(m_pendingMutex);
      m_registrationPending[&socket] = false;
    }
    const std::string id = RegisteredDeviceId(record.Buffer);
    Socket* old = nullptr;
    {
      std::lock_guard lock(m_deviceMutex);
      auto it = m_deviceSockets.find(id);
      if (it != m_deviceSockets.end() && it->second != &socket) {
        old = it->second;
        // Keeps the object from going back to the pool before it is closed.
        old->AddRef();
      }
    }
    // The old connection's offline record goes before the new registration.
    if (old != nullptr) ReportOffline(old);
    {
      std::lock_guard lock(m_deviceMutex);
      m_deviceSockets[id] = &socket;
    }
    Push(id, DATA_REGISTER, record.Buffer, kRegistrationRecordLength);
    record.BufferedLength = static_cast<std::uint16_t>(record.BufferedLength - kRegistrationLength);
    std::memmove(record.Buffer, record.Buffer + kRegistrationLength, record.BufferedLength);
    return old;
  }

  const std::string id = DeviceIdOf(&socket);
  if (!id.empty()) {
    const bool heartbeat = oneByteUnit && record.BufferedLength == 1 && record.Buffer[0] == 0xFE;
    Push(id, heartbeat ? DATA_HEARTBEAT : DATA_USER, record.Buffer, record.BufferedLength);
    record.BufferedLength = 0;
    return nullptr;
  }

  // The ID was taken over by a newer connection: these bytes belong to nobody.
  record.BufferedLength = static_cast<std::uint16_t>(record.BufferedLength - length);
  std::memmove(record.Buffer, record.Buffer + length, record.BufferedLength);
  return nullptr;
}

void CTcpServer::TcpSendThread(CEvent& stop) {
  CDataCenter& center = CDataCenter::Instance();
  auto item = std::make_unique<DataItem>();
  while (center.TcpSendQueue.WaitForRecord(stop)) {
    if (!center.TcpSendQueue.Pop(*item)) continue;
    const std::string id = ::DeviceIdOf(*item);
    Socket* socket = nullptr;
    {
      std::lock_guard lock(m_deviceMutex);
      auto it = m_deviceSockets.find(id);
      if (it == m_deviceSockets.end()) continue;
      socket = it->second;
      // Held across the write, so the object cannot be pooled and reused for another
      // device's connection meanwhile.
      socket->AddRef();
    }
    const std::size_t length = static_cast<std::size_t>(std::clamp(item->Length, 0, DATA_ITEM_PAYLOAD));
    const bool written = socket->Write(item->Data, length);
    socket->Release();
    const LPARAM itemParam = reinterpret_cast<LPARAM>(item.get());
    if (!written) {
      WriteDebugLine("[ERROR]", "Tcp数据发送失败");
      CMessageTarget::Send(m_notifyWindow, WM_TCP_STATUS, TCP_SEND_FAILED, itemParam);
    } else {
      center.AddDeviceTraffic(id, 0, length);
      CMessageTarget::Send(m_notifyWindow, WM_TCP_STATUS, TCP_SENT, itemParam);
    }
  }
}
