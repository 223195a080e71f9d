#include "net/CSocketServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <optional>
#include <thread>
#include <utility>

#include "net/CSocket.h"
#include "net/CTlsSession.h"
#include "net/WriteTrace.h"
#include "platform/CException.h"
#include "platform/CScopedLock.h"
#include "platform/NameThisThread.h"
#include "platform/CWin32Exception.h"

namespace Sockora {

using Win32::CException;
using Win32::CScopedLock;
using Win32::CWin32Exception;
using Win32::FormatErrorText;
using Win32::INFINITE;

namespace {

// After a restart every device reconnects at once; a short queue makes the kernel drop
// most of those attempts, and each dropped one waits a second or more for its retry.
constexpr int kBacklog = SOMAXCONN;

// A device whose mobile link died without a FIN goes offline within about two minutes
// (idle 60 s, then 6 probes 10 s apart) instead of showing online until it reconnects.
constexpr int kKeepAliveIdleSeconds = 60;
constexpr int kKeepAliveIntervalSeconds = 10;
constexpr int kKeepAliveProbes = 6;

std::uint32_t DefaultWorkerCount() {
  return 2 * std::max(1u, std::thread::hardware_concurrency());
}

// "  RX: <used> bytes Seq: <n> : <address>\n", the address zero-padded to pointer width.
std::string TraceLine(const char* direction, const CIOBuffer& buffer) {
  char line[96];
  std::snprintf(line, sizeof line, "  %s: %" PRIu32 " bytes Seq: %" PRIu32 " : %0*" PRIXPTR "\n",
                direction, buffer.GetUsed(), buffer.GetSequenceNumber(),
                static_cast<int>(2 * sizeof(void*)), reinterpret_cast<std::uintptr_t>(&buffer));
  return line;
}

std::string Describe(const CException& error) { return error.GetWhere() + " - " + error.GetMessage(); }

// A reference on a buffer, dropped on every exit path.
struct ReleaseBuffer {
  void operator()(CIOBuffer* buffer) const { buffer->Release(); }
};
using HeldBuffer = std::unique_ptr<CIOBuffer, ReleaseBuffer>;

// Drops the holder's reference on a buffer on every exit path.
class BufferReference {
 public:
  explicit BufferReference(CIOBuffer* buffer) : m_buffer(buffer) {}
  ~BufferReference() { m_buffer->Release(); }
  BufferReference(const BufferReference&) = delete;
  BufferReference& operator=(const BufferReference&) = delete;

 private:
  CIOBuffer* m_buffer;
};

}  // namespace

// ---------------------------------------------------------------------------------------
// CSocketServer

CSocketServer::CSocketServer(const std::string& addressText, std::uint32_t numericAddress,
                             std::uint16_t port, std::uint32_t maxFreeSockets,
                             std::uint32_t maxFreeBuffers, std::uint32_t bufferSize,
                             std::uint32_t workerThreads, bool useSequenceNumbers,
                             bool postZeroByteReads)
    : CIOBuffer::Allocator(bufferSize, maxFreeBuffers),
      m_workerThreads(workerThreads != 0 ? workerThreads : DefaultWorkerCount()),
      m_addressText(addressText),
      m_numericAddress(numericAddress),
      m_port(port),
      m_maxFreeSockets(maxFreeSockets),
      m_useSequenceNumbers(useSequenceNumbers),
      m_postZeroByteReads(postZeroByteReads),
      m_waitBuffers(0, maxFreeBuffers) {}

CSocketServer::~CSocketServer() { WaitForShutdown(); }

namespace {

std::uint16_t BoundPort(int handle) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (handle < 0 || ::getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

}  // namespace

std::uint16_t CSocketServer::ListeningPort() {
  CScopedLock lock(m_listenLock);
  return BoundPort(m_listeningSocket);
}

std::uint16_t CSocketServer::TlsListeningPort() {
  CScopedLock lock(m_listenLock);
  return BoundPort(m_tlsListeningSocket);
}

void CSocketServer::SetTlsListener(std::uint16_t port, std::shared_ptr<const CTlsContext> context, bool plainToo) {
  CScopedLock lock(m_listenLock);
  m_tlsPort = port;
  m_tlsContext = std::move(context);
  m_plainListener = plainToo || !m_tlsContext;
}

std::uint32_t CSocketServer::PooledConnectionCount() {
  CScopedLock lock(m_listLock);
  return m_freeList.Count();
}

int CSocketServer::CreateListeningSocket(const std::string& addressText,
                                         std::uint32_t numericAddress, std::uint16_t port) {
  return CreateListeningSocket(ListeningAddress(addressText, numericAddress), port);
}

std::uint32_t CSocketServer::ListeningAddress(const std::string& addressText, std::uint32_t numericAddress) {
  if (addressText.empty()) return numericAddress;
  // Dotted decimal only, no name lookup. Anything else fails here: Linux would bind the
  // 255.255.255.255 that inet_addr makes of it, and nobody could reach the server.
  in_addr address{};
  if (::inet_pton(AF_INET, addressText.c_str(), &address) != 1)
    throw CException("CSocket::CreateListeningSocket()",
                     "\"" + addressText + "\" is not a dotted IPv4 address (four numbers from 0 to 255, as in 192.168.1.10)");
  return ntohl(address.s_addr);
}

int CSocketServer::OpenListener(const std::string& addressText, std::uint16_t port) {
  const int handle = CreateListeningSocket(addressText, m_numericAddress, port);
  // The accept loop waits in poll() on every listener, so none may block an accept.
  ::fcntl(handle, F_SETFL, ::fcntl(handle, F_GETFL) | O_NONBLOCK);
  return handle;
}

int CSocketServer::CreateListeningSocket(std::uint32_t address, std::uint16_t port) {
  const int handle = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (handle < 0) throw CWin32Exception("CSocket::CreateListeningSocket()", static_cast<unsigned>(errno));
  CSocket socket(handle);
  // Without it a restart soon after the last run, or accepting again while connections
  // stay open, fails with "address in use". It never lets two listeners share a port.
  const int on = 1;
  if (::setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
    throw CWin32Exception("CSocket::CreateListeningSocket()", static_cast<unsigned>(errno));
  sockaddr_in bindAddress{};
  bindAddress.sin_family = AF_INET;
  bindAddress.sin_port = htons(port);
  bindAddress.sin_addr.s_addr = htonl(address);
  socket.Bind(bindAddress);
  socket.Listen(kBacklog);
  return socket.Detach();
}

void CSocketServer::StartAcceptingConnections() {
  bool plain, tls;
  {
    CScopedLock lock(m_listenLock);
    if (m_listeningSocket >= 0 || m_tlsListeningSocket >= 0) return;
    plain = m_plainListener;
    tls = m_tlsContext != nullptr;
  }
  OnStartAcceptingConnections();
  const int plainHandle = plain ? OpenListener(m_addressText, m_port) : -1;
  int tlsHandle = -1;
  if (tls) {
    try {
      tlsHandle = OpenListener(m_addressText, m_tlsPort);
    } catch (...) {
      if (plainHandle >= 0) ::close(plainHandle);
      throw;
    }
  }
  {
    CScopedLock lock(m_listenLock);
    m_listeningSocket = plainHandle;
    m_tlsListeningSocket = tlsHandle;
  }
  m_acceptEvent.Set();
}

void CSocketServer::ReplaceListeners(const std::string& addressText, std::uint16_t port, std::uint16_t tlsPort,
                                     std::shared_ptr<const CTlsContext> tls, bool plainToo) {
  // Refused here also while not accepting, when nothing is opened yet.
  ListeningAddress(addressText, m_numericAddress);
  const bool plain = plainToo || !tls;
  bool accepting = false;
  int oldHandles[2] = {-1, -1};
  {
    CScopedLock lock(m_listenLock);
    accepting = m_listeningSocket >= 0 || m_tlsListeningSocket >= 0;
    oldHandles[0] = m_listeningSocket;
    oldHandles[1] = m_tlsListeningSocket;
  }
  const bool sameAddress = addressText == m_addressText;
  const std::uint16_t oldPorts[2] = {m_port, m_tlsPort};
  const bool wanted[2] = {plain, tls != nullptr};
  const std::uint16_t ports[2] = {port, tlsPort};
  // A listener that stays where it is keeps its socket.
  bool keep[2];
  for (int i = 0; i < 2; ++i) keep[i] = wanted[i] && oldHandles[i] >= 0 && sameAddress && ports[i] == oldPorts[i];
  int newHandles[2] = {-1, -1};
  int closedFirst[2] = {-1, -1};
  const auto open = [&](std::uint16_t onPort) { return OpenListener(addressText, onPort); };
  const auto closeNew = [&] {
    for (int& handle : newHandles)
      if (handle >= 0) ::close(std::exchange(handle, -1));
  };
  if (accepting) {
    for (int i = 0; i < 2; ++i) {
      if (!wanted[i] || keep[i]) continue;
      try {
        newHandles[i] = open(ports[i]);
      } catch (const CWin32Exception& error) {
        // The old listener holds this very port on another address: it must go first.
        if (error.GetError() != EADDRINUSE || oldHandles[i] < 0 || ports[i] != oldPorts[i]) {
          closeNew();
          throw;
        }
        closedFirst[i] = oldHandles[i];
      }
    }
  }
  // Those that must close before their successor opens go now; if the successor then
  // cannot open, the old one is opened again where it was.
  for (int i = 0; i < 2; ++i) {
    if (closedFirst[i] < 0) continue;
    {
      CScopedLock lock(m_listenLock);
      (i == 0 ? m_listeningSocket : m_tlsListeningSocket) = -1;
      ++m_listenGeneration;
    }
    ::shutdown(closedFirst[i], SHUT_RDWR);
    m_acceptIdle.Wait(INFINITE);
    ::close(closedFirst[i]);
    oldHandles[i] = -1;
    try {
      newHandles[i] = open(ports[i]);
    } catch (...) {
      const int restored = open(oldPorts[i]);
      CScopedLock lock(m_listenLock);
      (i == 0 ? m_listeningSocket : m_tlsListeningSocket) = restored;
      m_acceptEvent.Set();
      closeNew();
      throw;
    }
  }
  int retired[2] = {-1, -1};
  {
    CScopedLock lock(m_listenLock);
    m_addressText = addressText;
    m_port = port;
    m_tlsPort = tlsPort;
    m_tlsContext = std::move(tls);
    m_plainListener = plain;
    if (accepting) {
      int* slots[2] = {&m_listeningSocket, &m_tlsListeningSocket};
      for (int i = 0; i < 2; ++i) {
        if (keep[i]) continue;
        retired[i] = std::exchange(*slots[i], newHandles[i]);
      }
      ++m_listenGeneration;
      m_acceptEvent.Set();
    }
  }
  // As StopAcceptingConnections does: the accept loop leaves the old sockets before they close.
  for (int handle : retired)
    if (handle >= 0) ::shutdown(handle, SHUT_RDWR);
  m_acceptIdle.Wait(INFINITE);
  for (int handle : retired)
    if (handle >= 0) ::close(handle);
}

void CSocketServer::StopAcceptingConnections() {
  int handles[2];
  {
    CScopedLock lock(m_listenLock);
    handles[0] = std::exchange(m_listeningSocket, -1);
    handles[1] = std::exchange(m_tlsListeningSocket, -1);
    if (handles[0] < 0 && handles[1] < 0) return;
    ++m_listenGeneration;
    m_acceptEvent.Reset();
  }
  // close() does not wake a poll or accept waiting on the socket; shutdown() does. The
  // handles are closed only once the accept loop has left them, so their numbers cannot
  // be reused under it.
  for (int handle : handles)
    if (handle >= 0) ::shutdown(handle, SHUT_RDWR);
  m_acceptIdle.Wait(INFINITE);
  for (int handle : handles)
    if (handle >= 0 && ::close(handle) != 0)
      OnError("CSocketServer::StopAcceptingConnections() - closesocket - " + FormatErrorText(static_cast<unsigned>(errno)));
  OnStopAcceptingConnections();
}

void CSocketServer::BeginShutdown() {
  StopAcceptingConnections();
  {
    CScopedLock lock(m_listLock);
    for (Socket* socket = m_activeList.Head(); socket != nullptr;) {
      Socket* next = CIntrusiveList<Socket>::Next(socket);
      socket->AbortiveClose();
      socket = next;
    }
  }
  m_shutdownEvent.Set();
  OnShutdownStarted();
}

void CSocketServer::WaitForShutdown() {
  BeginShutdown();
  // A server whose thread never started has no accept loop or workers to wait for.
  if (Started()) Wait();
  ReleaseSockets();
  Flush();
  m_waitBuffers.Flush();
}

int CSocketServer::Run() {
  Win32::NameThisThread("accept");
  std::vector<std::unique_ptr<WorkerThread>> workers;
  try {
    for (std::uint32_t i = 0; i < m_workerThreads; ++i) {
      workers.push_back(CreateWorkerThread(m_completionPort));
      workers.back()->Start();
    }
    AcceptConnections();
  } catch (const CException& error) {
    OnError("CSocketServer::Run() - Exception: " + Describe(error));
  } catch (...) {
    OnError("CSocketServer::Run() - Unexpected exception");
  }
  // Also when an exception ended the accept loop: no worker may still wait on the port
  // when it is destroyed.
  StopWorkers(workers);
  OnShutdownComplete();
  return 0;
}

void CSocketServer::StopWorkers(std::vector<std::unique_ptr<WorkerThread>>& workers) {
  for (auto& worker : workers)
    if (worker->Started()) worker->RequestStop();
  for (auto& worker : workers) {
    if (worker->Started()) worker->StopAndWait();
    worker.reset();
  }
}

void CSocketServer::AcceptConnections() {
  while (!m_shutdownEvent.Wait(0)) {
    if (Win32::CEvent::WaitAny(m_shutdownEvent, m_acceptEvent, INFINITE) == 0) {
      OnError("Time to shutdown");
      break;
    }
    while (!m_shutdownEvent.Wait(0) && m_acceptEvent.Wait(0)) {
      pollfd listening[2] = {{-1, POLLIN, 0}, {-1, POLLIN, 0}};
      std::shared_ptr<const CTlsContext> contexts[2];
      std::uint64_t generation;
      {
        CScopedLock lock(m_listenLock);
        listening[0].fd = m_listeningSocket;
        listening[1].fd = m_tlsListeningSocket;
        contexts[1] = m_tlsContext;
        generation = m_listenGeneration;
        if (listening[0].fd < 0 && listening[1].fd < 0) break;
        m_acceptIdle.Reset();
      }
      // Woken by a connection, or by StopAcceptingConnections shutting the sockets down.
      // The handles are used only until m_acceptIdle is set again.
      HeldBuffer addresses[2];
      int handles[2] = {-1, -1};
      int errors[2] = {0, 0};
      if (::poll(listening, 2, -1) > 0) {
        for (int i = 0; i < 2; ++i) {
          if (listening[i].revents == 0) continue;
          addresses[i].reset(Allocate());
          socklen_t length = addresses[i]->GetSize();
          handles[i] = ::accept4(listening[i].fd, reinterpret_cast<sockaddr*>(addresses[i]->GetBuffer()), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
          errors[i] = errno;
          if (handles[i] >= 0) addresses[i]->Use(length);
        }
      }
      m_acceptIdle.Set();
      for (int i = 0; i < 2; ++i) {
        if (!addresses[i]) continue;
        if (handles[i] >= 0)
          Welcome(handles[i], *addresses[i], contexts[i]);
        else
          AcceptFailed(errors[i], generation);
      }
    }
  }
}

void CSocketServer::AcceptFailed(int error, std::uint64_t generation) {
  // Taken back by the client before it could be accepted: not an error.
  if (error == EAGAIN || error == EWOULDBLOCK) return;
  {
    // Accepting was stopped (and maybe started again) meanwhile: not an error.
    CScopedLock lock(m_listenLock);
    if (generation != m_listenGeneration) return;
  }
  OnError("CSocketServer::Run() - WSAAccept:" + FormatErrorText(static_cast<unsigned>(error)));
  OnAcceptError(static_cast<unsigned>(error));
  // Out of descriptors or memory: accept would fail again at once with the same
  // connection waiting; give the system a moment instead of spinning.
  if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) m_shutdownEvent.Wait(100);
}

void CSocketServer::Welcome(int handle, CIOBuffer& address, const std::shared_ptr<const CTlsContext>& tls) {
  // A device waiting for the reply to a short message must not wait for Nagle's
  // acknowledgement delay; the bytes go out as they are written.
  SetAcceptedOption(handle, IPPROTO_TCP, TCP_NODELAY, 1, "TCP_NODELAY");
  SetAcceptedOption(handle, SOL_SOCKET, SO_KEEPALIVE, 1, "SO_KEEPALIVE");
  SetAcceptedOption(handle, IPPROTO_TCP, TCP_KEEPIDLE, kKeepAliveIdleSeconds, "TCP_KEEPIDLE");
  SetAcceptedOption(handle, IPPROTO_TCP, TCP_KEEPINTVL, kKeepAliveIntervalSeconds, "TCP_KEEPINTVL");
  SetAcceptedOption(handle, IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveProbes, "TCP_KEEPCNT");
  Socket* socket = AllocateSocket(handle, tls);
  try {
    OnConnectionAccepted(*socket, address);
  } catch (...) {
    // The loop ends, but the connection does not stay open without an owner.
    socket->Release();
    throw;
  }
  socket->Release();
}

void CSocketServer::SetAcceptedOption(int handle, int level, int option, int value, const char* name) {
  // The connection works without it, only less well: reported and kept.
  if (::setsockopt(handle, level, option, &value, sizeof value) != 0)
    OnError(std::string("CSocketServer::Run() - setsockopt(") + name + ") - " +
            FormatErrorText(static_cast<unsigned>(errno)));
}

void CSocketServer::PostIoOperation(Socket& socket, CIOBuffer* buffer, IoOperation operation) {
  buffer->SetOperation(operation);
  buffer->AddRef();
  socket.AddRef();
  m_completionPort.PostStatus(&socket, 0, buffer);
}

CSocketServer::Socket* CSocketServer::AllocateSocket(int handle, const std::shared_ptr<const CTlsContext>& tls) {
  // Made before the lock: a pooled object carries no session.
  std::unique_ptr<CTlsSession> session = tls ? std::make_unique<CTlsSession>(tls, *this) : nullptr;
  CScopedLock lock(m_listLock);
  Socket* socket = m_freeList.PopFront();
  if (socket == nullptr) {
    // The connection pool: Socket objects are created here and deleted only by DestroySocket.
    socket = new Socket(*this, handle, m_useSequenceNumbers);
    OnConnectionCreated();
  } else {
    socket->Attach(handle);
    socket->AddRef();
  }
  socket->m_tls = std::move(session);
  m_activeList.PushFront(socket);
  try {
    m_completionPort.AssociateDevice(handle, socket);
  } catch (const CException&) {
    {
      CScopedLock socketLock(socket->m_lock);
      socket->m_socket = CSocket::InvalidSocket;
    }
    ::close(handle);
    socket->m_ref.store(0);
    ReleaseSocket(socket);
    throw;
  }
  return socket;
}

void CSocketServer::ReleaseSocket(Socket* socket) {
  if (socket == nullptr) throw CException("CSocketServer::ReleaseSocket()", "pSocket is null");
  CScopedLock lock(m_listLock);
  // Nobody holds the connection any more: its TLS state goes now, not when it is reused.
  socket->m_tls.reset();
  if (socket->m_node.list != nullptr) socket->m_node.list->Remove(socket);
  if (m_maxFreeSockets != 0 && m_freeList.Count() >= m_maxFreeSockets)
    DestroySocket(socket);
  else
    m_freeList.PushFront(socket);
}

void CSocketServer::DestroySocket(Socket* socket) {
  delete socket;
  OnConnectionDestroyed();
}

void CSocketServer::ReleaseSockets() {
  CScopedLock lock(m_listLock);
  // After the workers have ended, a connection still handed out is one whose reference
  // somebody kept.
  const bool leaked = !m_activeList.Empty();
  while (Socket* socket = m_activeList.Head()) ReleaseSocket(socket);
  while (Socket* socket = m_freeList.PopFront()) DestroySocket(socket);
  if (leaked) OnError("CSocketServer::ReleaseSockets() - Leaked sockets");
}

void CSocketServer::WriteCompleted(Socket& /*socket*/, CIOBuffer& buffer) {
  if (buffer.GetUsed() != buffer.GetWSABUF().len)
    OnError("CSocketServer::WorkerThread::WriteCompleted - Socket write where not all data was written");
}

std::unique_ptr<CSocketServer::WorkerThread> CSocketServer::CreateWorkerThread(CIOCompletionPort& port) {
  return std::make_unique<WorkerThread>(*this, port);
}

// ---------------------------------------------------------------------------------------
// CSocketServer::Socket

CSocketServer::Socket::Socket(CSocketServer& server, int handle, bool useSequenceNumbers)
    : m_server(server), m_socket(handle) {
  if (handle == CSocket::InvalidSocket) throw CException("CSocketServer::Socket::Socket()", "Invalid socket");
  if (useSequenceNumbers) m_sequenceData = std::make_unique<CSequenceData>(m_lock);
}

void CSocketServer::Socket::Attach(int handle) {
  CScopedLock lock(m_lock);
  if (m_socket != CSocket::InvalidSocket)
    throw CException("CSocketServer::Socket::Attach()", "Socket already attached");
  m_socket = handle;
  m_outstandingWrites = 0;
  m_writeShutdown = false;
  m_closing = false;
  m_clientClosed = 0;
  if (m_sequenceData) m_sequenceData->Reset();
}

bool CSocketServer::Socket::IsValid() {
  CScopedLock lock(m_lock);
  return m_socket != CSocket::InvalidSocket;
}

void CSocketServer::Socket::Release() {
  if (m_ref.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  if (!IsValid()) {
    m_server.ReleaseSocket(this);
    return;
  }
  // Still open: the handler is asked once; the pass after that closes it abortively.
  AddRef();
  if (m_closing.exchange(true))
    AbortiveClose();
  else if (!m_server.OnConnectionUnreferenced(*this))
    AbortiveClose();
  Release();
}

bool CSocketServer::Socket::Read(CIOBuffer* buffer) {
  if (!IsValid()) return false;
  if (buffer != nullptr)
    buffer->AddRef();
  else if (m_server.m_postZeroByteReads)
    buffer = m_server.m_waitBuffers.Allocate();
  else
    buffer = m_server.Allocate();
  BufferReference reference(buffer);
  m_server.PostIoOperation(*this, buffer, m_server.m_postZeroByteReads ? IoZeroByteReadRequest : IoReadRequest);
  return true;
}

bool CSocketServer::Socket::ReadNow() {
  if (!IsValid()) return false;
  if (m_server.m_postZeroByteReads) {
    CIOBuffer* buffer = m_server.m_waitBuffers.Allocate();
    BufferReference reference(buffer);
    IssueZeroByteRead(buffer);
    return true;
  }
  CIOBuffer* buffer = m_server.Allocate();
  BufferReference reference(buffer);
  if (m_server.FilterReadRequest(*this, buffer)) IssueRead(buffer);
  return true;
}

CIOBuffer* CSocketServer::Socket::PrepareWrite(const void* data, std::size_t length) {
  // Refused before it is counted as outstanding: a count that no send ever finishes would
  // keep a later Shutdown(SHUT_WR) waiting for ever.
  if (length > m_server.GetBufferSize()) return nullptr;
  if (!IsValid() || !WritePending()) return nullptr;
  CIOBuffer* buffer = nullptr;
  try {
    buffer = m_server.Allocate();
    buffer->AddData(data, static_cast<std::uint32_t>(length));
  } catch (const CException&) {
    if (buffer != nullptr) buffer->Release();
    WriteFinished();
    throw;
  }
  // Numbered under the lock so that writers on several threads never share a number.
  CScopedLock lock(m_lock);
  buffer->SetSequenceNumber(NextSequenceNumber(true));
  return buffer;
}

bool CSocketServer::Socket::Write(const void* data, std::size_t length) {
  if (m_tls) return TlsWrite(data, length);
  CIOBuffer* buffer = PrepareWrite(data, length);
  if (buffer == nullptr) return false;
  BufferReference reference(buffer);
  m_server.PostIoOperation(*this, buffer, IoWriteRequest);
  return true;
}

bool CSocketServer::Socket::WriteNow(const void* data, std::size_t length) {
  if (m_tls) return TlsWrite(data, length);
  CIOBuffer* buffer = PrepareWrite(data, length);
  if (buffer == nullptr) return false;
  BufferReference reference(buffer);
  if (m_server.TracesBuffers()) m_server.OnError(TraceLine("TX", *buffer));
  if (m_server.FilterWriteRequest(*this, buffer)) IssueWrite(buffer, true);
  return true;
}

void CSocketServer::Socket::Shutdown(int how) {
  try {
    if (!m_server.FilterSocketShutdown(*this, how)) return;
    if (how == SHUT_WR || how == SHUT_RDWR) m_writeShutdown = true;
    if (m_outstandingWrites.load() > 0) {
      // The last write to finish shuts the write side down (WriteFinished).
      if (how == SHUT_WR) return;
      if (how == SHUT_RDWR) how = SHUT_RD;
    }
    CScopedLock lock(m_lock);
    if (m_socket != CSocket::InvalidSocket && ::shutdown(m_socket, how) != 0)
      m_server.OnError("CSocketServer::Server::Shutdown() - " + FormatErrorText(static_cast<unsigned>(errno)));
  } catch (const CException& error) {
    m_server.OnError("CSocketServer::Socket::Shutdown() - Exception: " + Describe(error));
  }
}

void CSocketServer::Socket::Close() {
  if (m_tls && IsValid()) {
    // The client learns that nothing was cut off.
    CScopedLock lock(m_tlsLock);
    m_tls->Close();
    SendTlsOutput();
  }
  try {
    CScopedLock lock(m_lock);
    if (m_socket != CSocket::InvalidSocket && m_server.FilterSocketClose(*this)) InternalClose();
  } catch (const CException& error) {
    m_server.OnError("CSocketServer::Socket::Close() - Exception: " + Describe(error));
  }
}

void CSocketServer::Socket::AbortiveClose() {
  CScopedLock lock(m_lock);
  if (m_socket != CSocket::InvalidSocket) {
    const linger option{1, 0};
    if (::setsockopt(m_socket, SOL_SOCKET, SO_LINGER, &option, sizeof option) != 0)
      m_server.OnError("CSocketServer::Socket::AbortiveClose() - setsockopt(SO_LINGER) - " +
                       FormatErrorText(static_cast<unsigned>(errno)));
  }
  InternalClose();
}

void CSocketServer::Socket::InternalClose() {
  CScopedLock lock(m_lock);
  if (!IsValid()) return;
  // Pending receives and sends complete as failed, as a closed handle's would.
  m_server.m_completionPort.CancelDevice(m_socket);
  if (::close(m_socket) != 0)
    m_server.OnError("CSocketServer::Socket::InternalClose() - closesocket - " +
                     FormatErrorText(static_cast<unsigned>(errno)));
  m_socket = CSocket::InvalidSocket;
  m_writeShutdown = true;
  m_server.OnConnectionClosed(*this);
}

void CSocketServer::Socket::OnClientClose() {
  if (m_clientClosed.exchange(1) != 0) return;
  Shutdown(SHUT_RD);
  m_server.OnConnectionClientClose(*this);
}

bool CSocketServer::Socket::WritePending() {
  if (m_writeShutdown) return false;
  m_outstandingWrites.fetch_add(1);
  return true;
}

void CSocketServer::Socket::WriteFinished() {
  if (m_outstandingWrites.fetch_sub(1) == 1 && m_writeShutdown) Shutdown(SHUT_WR);
}

std::uint32_t CSocketServer::Socket::NextSequenceNumber(bool write) {
  if (!m_sequenceData) return 0;
  return write ? m_sequenceData->nextWrite++ : m_sequenceData->nextRead++;
}

CIOBuffer* CSocketServer::Socket::NextWriteBuffer(CIOBuffer* buffer) {
  if (!m_sequenceData) return buffer;
  return m_sequenceData->orderedWrites.NextWriteBuffer(buffer);
}

// The errno stand-ins for the cases the Winsock codes told apart:
//   connection aborted or reset: ECONNABORTED, ECONNRESET, and EPIPE on a send whose write
//     side this end has not shut down (the peer reset the connection);
//   shut down: ESHUTDOWN, and EPIPE on a send after this end shut its write side down;
//   not a socket: ENOTSOCK and EBADF, which mean the handle was closed before the
//     operation could be issued.
void CSocketServer::Socket::OnConnectionError(ConnectionErrorSource source, CIOBuffer* buffer, int error) {
  if (error == ECONNABORTED || error == ECONNRESET || (error == EPIPE && !m_writeShutdown)) {
    CScopedLock lock(m_lock);
    if (IsValid()) {
      m_server.OnConnectionReset(*this);
      InternalClose();
    }
    return;
  }
  if (error == ESHUTDOWN || error == EPIPE) {
    OnClientClose();
    return;
  }
  if ((error == ENOTSOCK || error == EBADF) && !IsValid()) return;
  m_server.OnConnectionError(source, *this, buffer, static_cast<unsigned>(error));
}

void CSocketServer::Socket::IssueZeroByteRead(CIOBuffer* buffer) {
  buffer->SetupZeroByteRead();
  // On a worker with a free slot, data already waiting is taken over by that worker.
  IssueReceive(buffer, IoZeroByteReadCompleted, ZeroByteReadError, false, WorkerThread::FreeTakeOverSlot() != nullptr);
}

void CSocketServer::Socket::IssueRead(CIOBuffer* buffer, bool completeHere) {
  buffer->SetupRead();
  CIOBuffer::WSABUF& span = buffer->GetWSABUF();
  span.len = std::min(span.len, m_server.ReceiveLimit());
  IssueReceive(buffer, IoReadCompleted, ReadError, true, completeHere);
}

void CSocketServer::Socket::IssueReceive(CIOBuffer* buffer, IoOperation operation, ConnectionErrorSource source,
                                         bool numbered, bool completeHere) {
  AddRef();
  buffer->SetOperation(operation);
  buffer->AddRef();
  int error = 0;
  std::optional<std::uint32_t> receivedAtOnce;
  // A TLS session that still holds received bytes delivers them before the socket is
  // asked again.
  bool kept = false;
  {
    // Numbering and issuing under one lock: receive numbers follow the issue order.
    CScopedLock lock(m_lock);
    if (numbered) buffer->SetSequenceNumber(NextSequenceNumber(false));
    if (m_socket == CSocket::InvalidSocket)
      error = ENOTSOCK;
    else if (m_tls && m_tls->HasPendingInput())
      kept = true;
    else
      error = m_server.m_completionPort.Receive(m_socket, *buffer, completeHere ? &receivedAtOnce : nullptr);
    if (error != 0) OnConnectionError(source, buffer, error);
  }
  if (kept && operation == IoZeroByteReadCompleted) {
    // As data waiting on the socket would: this worker takes it over, or another one.
    if (completeHere)
      *WorkerThread::FreeTakeOverSlot() = {this, buffer};
    else
      m_server.m_completionPort.PostStatus(this, 0, buffer);
    return;
  }
  if (kept) {
    TlsReceiveDone(nullptr, 0);
    Release();
    buffer->Release();
    return;
  }
  if (error == 0 && !receivedAtOnce) return;
  if (receivedAtOnce && operation == IoZeroByteReadCompleted) {
    // Only issued so on a worker with a free slot; it keeps both references.
    *WorkerThread::FreeTakeOverSlot() = {this, buffer};
    return;
  }
  // Refused, or completed here as a worker would complete it, outside the lock.
  if (receivedAtOnce) ReceiveDone(buffer, *receivedAtOnce);
  Release();
  buffer->Release();
}

void CSocketServer::Socket::ReceiveDone(CIOBuffer*& buffer, std::uint32_t bytes) {
  if (m_tls) {
    TlsReceiveDone(buffer, bytes);
    return;
  }
  buffer->Use(bytes);
  if (m_server.TracesBuffers()) m_server.OnError(TraceLine("RX", *buffer));
  if (m_server.FilterReadCompleted(*this, buffer) && bytes != 0) m_server.ReadCompleted(*this, *buffer);
  if (bytes == 0) {
    m_server.OnError("ReadCompleted - 0 bytes - client connection dropped");
    OnClientClose();
  }
}

void CSocketServer::Socket::SendDone(CIOBuffer* buffer, std::uint32_t bytes) {
  buffer->Use(bytes);
  if (m_server.FilterWriteCompleted(*this, buffer)) {
    m_server.WriteCompleted(*this, *buffer);
    WriteFinished();
  }
}

void CSocketServer::Socket::IssueWrite(CIOBuffer* buffer, bool completeHere) {
  AddRef();
  buffer->SetOperation(IoWriteCompleted);
  buffer->SetupWrite();
  buffer->AddRef();
  std::vector<CIOBuffer*> sent;
  {
    // The lock also keeps the handle open (and its number ours) while the sends start.
    CScopedLock lock(m_lock);
    for (CIOBuffer* next = NextWriteBuffer(buffer); next != nullptr; next = NextWriteBuffer(nullptr)) {
      bool sentAtOnce = false;
      const int error = m_socket == CSocket::InvalidSocket
                            ? ENOTSOCK
                            : m_server.m_completionPort.Send(m_socket, *next, completeHere ? &sentAtOnce : nullptr);
      if (error == 0) {
        if (sentAtOnce) sent.push_back(next);
        continue;
      }
      OnConnectionError(WriteError, next, error);
      WriteFinished();
      // The request being handled (or the caller of WriteNow) still holds a reference:
      // this is never the last one.
      Release();
      next->Release();
    }
  }
  // As a worker completes a send, outside the lock (the last write to finish may shut
  // the write side down).
  for (CIOBuffer* done : sent) {
    SendDone(done, done->GetWSABUF().len);
    Release();
    done->Release();
  }
}

bool CSocketServer::Socket::TlsEstablished() const { return m_tls && m_tls->Established(); }

bool CSocketServer::Socket::TlsPeerVerified() const { return TlsEstablished() && m_tls->PeerVerified(); }

std::string CSocketServer::Socket::TlsPeerName() const { return TlsEstablished() ? m_tls->PeerName() : std::string(); }

void CSocketServer::Socket::TlsReceiveDone(CIOBuffer* received, std::uint32_t bytes) {
  if (received != nullptr) {
    received->Use(bytes);
    if (m_server.TracesBuffers()) m_server.OnError(TraceLine("RX", *received));
    if (bytes == 0) {
      // A connection that sent nothing had no handshake to fail (a port check).
      if (m_tls->Started() && !m_tls->Established())
        m_server.OnTlsFailed(*this, TlsFailure::Closed, "the client closed the connection during the handshake");
      m_server.OnError("ReadCompleted - 0 bytes - client connection dropped");
      OnClientClose();
      return;
    }
  }
  HeldBuffer plain(m_server.Allocate());
  const std::uint32_t limit = std::min(m_server.ReceiveLimit(), plain->GetSize());
  CTlsSession::Outcome outcome;
  int readError = 0;
  {
    CScopedLock lock(m_tlsLock);
    outcome = m_tls->Decrypt(received, plain->GetBuffer(), limit);
    readError = TopUpPlaintext(outcome, plain->GetBuffer(), limit);
    // The handshake's replies, or the alert that tells the client why it failed.
    SendTlsOutput();
  }
  if (outcome.established) m_server.OnTlsEstablished(*this);
  if (outcome.failure) {
    if (m_tls->Established())
      m_server.OnError("TLS error on an established connection: " + outcome.reason);
    else
      m_server.OnTlsFailed(*this, *outcome.failure, outcome.reason);
    // Gracefully: the alert already handed to the socket leaves before the close.
    Close();
    return;
  }
  if (outcome.plaintext > 0) {
    plain->Use(outcome.plaintext);
    CIOBuffer* delivered = plain.get();
    if (m_server.FilterReadCompleted(*this, delivered)) m_server.ReadCompleted(*this, *delivered);
  }
  if (readError != 0) {
    OnConnectionError(ReadError, plain.get(), readError);
    return;
  }
  if (outcome.closed) {
    if (!m_tls->Established())
      m_server.OnTlsFailed(*this, TlsFailure::Closed, "the client ended the TLS session during the handshake");
    OnClientClose();
    return;
  }
  // Only handshake or a part of a record came: no handler saw it, so the next receive is
  // issued here.
  if (outcome.plaintext == 0) ReadNow();
}

int CSocketServer::Socket::TopUpPlaintext(CTlsSession::Outcome& outcome, std::uint8_t* plain, std::uint32_t limit) {
  // Enough for a unit that starts near the end of a 16 KB record.
  constexpr int kReads = 3;
  for (int read = 0; read < kReads; ++read) {
    if (outcome.failure || outcome.closed || !m_tls->Established() || outcome.plaintext >= limit ||
        m_tls->HasPendingInput())
      return 0;
    HeldBuffer more(m_server.Allocate());
    more->SetupRead();
    CIOBuffer::WSABUF& span = more->GetWSABUF();
    span.len = std::min(span.len, m_server.ReceiveLimit());
    std::uint32_t got = 0;
    {
      CScopedLock lock(m_lock);
      if (m_socket == CSocket::InvalidSocket) return 0;
      if (const int error = m_server.m_completionPort.ReceiveWaiting(m_socket, *more, got); error != 0) return error;
    }
    if (got == 0) return 0;
    more->Use(got);
    if (m_server.TracesBuffers()) m_server.OnError(TraceLine("RX", *more));
    CTlsSession::Outcome next = m_tls->Decrypt(more.get(), plain + outcome.plaintext, limit - outcome.plaintext);
    outcome.plaintext += next.plaintext;
    outcome.closed = next.closed;
    outcome.failure = next.failure;
    outcome.reason = std::move(next.reason);
  }
  return 0;
}

bool CSocketServer::Socket::TlsWrite(const void* data, std::size_t length) {
  if (length > m_server.GetBufferSize() || !IsValid() || m_writeShutdown) return false;
  CScopedLock lock(m_tlsLock);
  const bool encrypted = m_tls->Encrypt(data, length);
  // Also after a failure: the session may have made an alert.
  const bool sent = SendTlsOutput();
  return encrypted && sent;
}

bool CSocketServer::Socket::SendTlsOutput() {
  bool sent = true;
  for (CIOBuffer* made : m_tls->TakeOutput()) {
    HeldBuffer buffer(made);
    // A record that cannot go makes the ones after it useless to the client.
    if (!sent || !IsValid() || !WritePending()) {
      sent = false;
      continue;
    }
    {
      CScopedLock lock(m_lock);
      buffer->SetSequenceNumber(NextSequenceNumber(true));
    }
    if (m_server.TracesBuffers()) m_server.OnError(TraceLine("TX", *buffer));
    IssueWrite(buffer.get(), true);
  }
  return sent;
}

// ---------------------------------------------------------------------------------------
// CSocketServer::WorkerThread

namespace {

thread_local CSocketServer::WorkerThread::TakenOver* t_takeOverSlot = nullptr;  // a worker's own

}  // namespace

CSocketServer::WorkerThread::TakenOver* CSocketServer::WorkerThread::FreeTakeOverSlot() {
  return t_takeOverSlot != nullptr && t_takeOverSlot->socket == nullptr ? t_takeOverSlot : nullptr;
}

CSocketServer::WorkerThread::WorkerThread(CSocketServer& server, CIOCompletionPort& port)
    : m_server(server), m_port(port) {
  m_server.OnThreadCreated();
}

CSocketServer::WorkerThread::~WorkerThread() {
  try {
    m_server.OnThreadDestroyed();
  } catch (const CException& error) {
    WriteTrace("CSocketServer::WorkerThread::~WorkerThread() - Exception: " + Describe(error));
  }
}

void CSocketServer::WorkerThread::RequestStop() { m_port.PostStatus(nullptr, 0, nullptr); }

void CSocketServer::WorkerThread::StopAndWait() {
  RequestStop();
  Wait();
}

int CSocketServer::WorkerThread::Run() {
  Win32::NameThisThread("worker");
  TakenOver takenOver;
  t_takeOverSlot = &takenOver;
  try {
    for (;;) {
      void* key = nullptr;
      std::uint32_t bytes = 0;
      CIOBuffer* buffer = nullptr;
      if (!m_port.GetStatus(key, bytes, buffer)) {
        // The operation failed on its connection (reset while pending, or closed): only
        // the references go; the count decides what happens to the connection.
        if (key != nullptr) static_cast<Socket*>(key)->Release();
        if (buffer != nullptr) buffer->Release();
        continue;
      }
      if (key == nullptr) {
        m_server.OnError("A completion key of 0 is posted to the iocp to request us to shut down...");
        break;
      }
      m_server.OnThreadWorkStarted();
      ProcessOperation(static_cast<Socket*>(key), buffer, bytes);
      // A busy connection stays on this worker while its data keeps arriving (its
      // device's flow control ends the run).
      while (takenOver.socket != nullptr) {
        const TakenOver next = std::exchange(takenOver, {});
        ProcessOperation(next.socket, next.buffer, 0);
      }
      m_server.OnThreadWorkFinished();
    }
  } catch (const CException& error) {
    m_server.OnError("CSocketServer::WorkerThread::Run() - Exception: " + Describe(error));
  } catch (...) {
    m_server.OnError("CSocketServer::WorkerThread::Run() - Unexpected exception");
  }
  t_takeOverSlot = nullptr;
  return 0;
}

void CSocketServer::WorkerThread::ProcessOperation(Socket* socket, CIOBuffer* buffer, std::uint32_t bytes) {
  if (buffer == nullptr) {
    m_server.OnError("CSocketServer::WorkerThread::Run() - Unexpected - pBuffer is 0");
    return;
  }
  switch (buffer->GetOperation()) {
    case IoZeroByteReadRequest:
      socket->IssueZeroByteRead(buffer);
      break;
    case IoZeroByteReadCompleted:
      // The data is there: the receive completes at once, and this worker handles it
      // rather than hand it to another.
      if (buffer->GetSize() == 0) {
        // Readable now: the receive buffer is taken from the pool only at this point.
        CIOBuffer* receive = m_server.Allocate();
        BufferReference reference(receive);
        if (m_server.FilterReadRequest(*socket, receive)) socket->IssueRead(receive, true);
        break;
      }
      if (m_server.FilterReadRequest(*socket, buffer)) socket->IssueRead(buffer, true);
      break;
    case IoReadRequest:
      if (m_server.FilterReadRequest(*socket, buffer)) socket->IssueRead(buffer);
      break;
    case IoReadCompleted:
      socket->ReceiveDone(buffer, bytes);
      break;
    case IoWriteRequest:
      if (m_server.TracesBuffers()) m_server.OnError(TraceLine("TX", *buffer));
      if (m_server.FilterWriteRequest(*socket, buffer)) socket->IssueWrite(buffer);
      break;
    case IoWriteCompleted:
      socket->SendDone(buffer, bytes);
      break;
    default:
      m_server.OnError("CSocketServer::WorkerThread::Run() - Unexpected operation");
      return;
  }
  socket->Release();
  buffer->Release();
}

}  // namespace Sockora
