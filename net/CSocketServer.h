#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "net/CIOBuffer.h"
#include "net/CIOCompletionPort.h"
#include "net/CIntrusiveList.h"
#include "net/CSequenceData.h"
#include "net/CTlsContext.h"
#include "net/CTlsSession.h"
#include "net/TlsFailure.h"
#include "platform/CCriticalSection.h"
#include "platform/CManualResetEvent.h"
#include "platform/CThread.h"

namespace Sockora {

// A TCP server on one IPv4 address and port. Its own thread (Start) accepts connections;
// a pool of worker threads serves the completion port, issues receives and sends and
// reports what happens to each connection through the virtual notifications below. Each
// connection is a reference-counted Socket from a pool; its count decides when it is
// closed and pooled again. The server is also the allocator of its I/O buffers.
//
// Threads: the owner (construction, Start, Start/StopAcceptingConnections, shutdown,
// destruction), the server thread (accept loop), the workers, and any thread that calls a
// Socket's Read, Write, Close or Shutdown.
//
// A derived class must call WaitForShutdown in its own destructor (or its owner before
// destroying it): notifications stop only then.
//
// Sends never raise SIGPIPE (MSG_NOSIGNAL), so nothing process-wide is set up.
//
// A second listener may take TLS connections (SetTlsListener). Such a connection goes
// through the same workers and packets as a plain one: its socket's receives and sends
// carry ciphertext, and the TLS session between them (CTlsSession, on memory) hands the
// notifications plaintext only, so ReadCompleted, Write and WriteNow look the same to a
// derived class. The handshake runs inside the receives; its outcome is told by
// OnTlsEstablished or OnTlsFailed.
//
// Lock order: list lock, then a connection lock, then the allocator lock, then locks of
// the derived class taken inside notifications.
class CSocketServer : public Win32::CThread, public CIOBuffer::Allocator {
 public:
  class Socket;
  class WorkerThread;

  enum ConnectionErrorSource : std::uint32_t { ZeroByteReadError = 0, ReadError = 1, WriteError = 2 };

  enum IoOperation : std::uint32_t {
    IoZeroByteReadRequest = 0,
    IoZeroByteReadCompleted = 1,
    IoReadRequest = 2,
    IoReadCompleted = 3,
    IoWriteRequest = 4,
    IoWriteCompleted = 5,
  };

  // Owner thread. An empty address text listens on `numericAddress` (host byte order;
  // 0: every local address). workerThreads 0: twice the processors. 0 for either maximum:
  // no limit. Throws the CException of the failing part; nothing is left running then.
  CSocketServer(const std::string& addressText, std::uint32_t numericAddress, std::uint16_t port,
                std::uint32_t maxFreeSockets, std::uint32_t maxFreeBuffers, std::uint32_t bufferSize,
                std::uint32_t workerThreads, bool useSequenceNumbers, bool postZeroByteReads);
  // Owner thread: full shutdown.
  ~CSocketServer() override;

  // Owner thread, before the first StartAcceptingConnections: also listen on `port` (same
  // address) for TLS connections made with `context`; `plainToo` false: the plain port is
  // not opened at all.
  void SetTlsListener(std::uint16_t port, std::shared_ptr<const CTlsContext> context, bool plainToo);

  // Owner thread, after Start. Creates the listening sockets (SO_REUSEADDR, backlog
  // SOMAXCONN; if one fails, none stays open) and lets the accept loop accept. Nothing while already accepting. Throws the
  // CSocket exception of the failing step, or a CException when the address text is not a
  // dotted IPv4 address (OnStartAcceptingConnections has been made then). Accepted
  // connections get TCP_NODELAY and keepalive (idle 60 s, 6 probes 10 s apart).
  void StartAcceptingConnections();
  // Owner thread: listen on `addressText` (empty: every address) and `port`, and for TLS on
  // `tlsPort` with `tls` (null: no TLS listener; `plainToo` false: no plain one) from now
  // on, while open connections stay. While accepting, each listener that changes is
  // opened before the old one closes, so a device connecting meanwhile finds one of them;
  // only one that takes the very port of the old one on another address (which the
  // system refuses beside it) follows it instead. A new TLS context alone takes the new
  // handshakes on the listener as it is. Throws the CSocket exception of the failing step
  // (or a CException for an address text that is not a dotted IPv4 address); the
  // listeners are then as they were. While not accepting, only remembered.
  void ReplaceListeners(const std::string& addressText, std::uint16_t port, std::uint16_t tlsPort,
                        std::shared_ptr<const CTlsContext> tls, bool plainToo);
  // Owner thread (or a notification). Closes the listening socket; open connections stay.
  // Nothing while not accepting.
  void StopAcceptingConnections();

  // Owner thread: stops accepting, aborts every connection, signals the shutdown.
  void BeginShutdown();
  // Owner thread: BeginShutdown, waits for the server thread and the workers to end (if the
  // server thread was ever started), frees the pools.
  void WaitForShutdown();

  // The port actually listened on (useful with port 0); 0 while not accepting or without
  // that listener. Any thread.
  std::uint16_t ListeningPort();
  std::uint16_t TlsListeningPort();
  // Closed connection objects waiting in the pool for reuse. Any thread.
  std::uint32_t PooledConnectionCount();

 protected:
  int Run() override;

  // Notifications. Base versions do nothing and filters agree, unless said otherwise.
  // Worker thread (or the caller of WriteNow, for a send that left at once), after a send
  // completed. Base: reports a partial send through OnError.
  virtual void WriteCompleted(Socket& socket, CIOBuffer& buffer);
  // Server thread, once per worker. Base: a plain WorkerThread.
  virtual std::unique_ptr<WorkerThread> CreateWorkerThread(CIOCompletionPort& port);
  // Owner thread (StartAcceptingConnections). Base: a non-empty address text must be a
  // dotted IPv4 address (else CException); see the definition.
  virtual int CreateListeningSocket(const std::string& addressText, std::uint32_t numericAddress,
                                    std::uint16_t port);
  virtual int CreateListeningSocket(std::uint32_t address, std::uint16_t port);
  // Owner thread.
  virtual void OnStartAcceptingConnections() {}
  virtual void OnStopAcceptingConnections() {}
  virtual void OnShutdownStarted() {}
  // Server thread, last thing it does.
  virtual void OnShutdownComplete() {}
  // Server thread, under the list lock, when the pool had no Socket object to reuse.
  virtual void OnConnectionCreated() {}
  // Server thread, for every accepted connection; `address` holds the peer's sockaddr_in.
  // The handler starts the first Read.
  virtual void OnConnectionAccepted(Socket& socket, CIOBuffer& address) = 0;
  // Worker thread, once per connection, when the peer has closed its side.
  virtual void OnConnectionClientClose(Socket& /*socket*/) {}
  // Worker thread, under the connection lock, just before a reset connection is closed.
  virtual void OnConnectionReset(Socket& /*socket*/) {}
  // Thread that dropped the last reference of a still-open connection; once per
  // connection. True: the handler deals with it; false (base): closed abortively at once.
  virtual bool OnConnectionUnreferenced(Socket& /*socket*/) { return false; }
  // Any thread that closed the connection, under the connection lock.
  virtual void OnConnectionClosed(Socket& /*socket*/) {}
  // Thread that released the Socket, under the list lock, after deleting it.
  virtual void OnConnectionDestroyed() {}
  // Worker thread: a receive or send could not be issued for a reason other than
  // reset, abort, shutdown or an already-closed connection; `error` is the errno.
  virtual void OnConnectionError(ConnectionErrorSource /*source*/, Socket& /*socket*/,
                                 CIOBuffer* /*buffer*/, unsigned /*error*/) {}
  // Any thread: every message and trace line of the framework.
  virtual void OnError(const std::string& /*message*/) {}
  // Whether OnError also gets a line per buffer received and sent ("  RX: ...", "  TX:
  // ..."). Formatting one per buffer costs on every record, so only a server that reads
  // them asks. Base: false. Any thread; the answer must not change while running.
  virtual bool TracesBuffers() { return false; }
  // Worker thread, when a TLS connection's handshake has finished (before its first
  // ReadCompleted).
  virtual void OnTlsEstablished(Socket& /*socket*/) {}
  // Worker thread (or the thread whose receive completed at once): a TLS connection's
  // handshake failed; the connection is closed right after, once the alert for the client
  // has been sent on its way. Not called for an error after the handshake (OnError then).
  virtual void OnTlsFailed(Socket& /*socket*/, TlsFailure /*failure*/, const std::string& /*reason*/) {}
  // Server thread: accepting failed with errno `error` (after OnError); the connection
  // waiting, if any, stays queued and accepting goes on.
  virtual void OnAcceptError(unsigned /*error*/) {}
  // Server thread: a WorkerThread was constructed / is being destroyed.
  virtual void OnThreadCreated() {}
  virtual void OnThreadDestroyed() {}
  // Worker thread, around each packet it handles.
  virtual void OnThreadWorkStarted() {}
  virtual void OnThreadWorkFinished() {}
  // Worker thread, or the caller of ReadNow (read request) or WriteNow (write filters). A
  // filter may replace the buffer; false drops the step.
  virtual bool FilterReadRequest(Socket& /*socket*/, CIOBuffer*& /*buffer*/) { return true; }
  virtual bool FilterReadCompleted(Socket& /*socket*/, CIOBuffer*& /*buffer*/) { return true; }
  virtual bool FilterWriteRequest(Socket& /*socket*/, CIOBuffer*& /*buffer*/) { return true; }
  virtual bool FilterWriteCompleted(Socket& /*socket*/, CIOBuffer*& /*buffer*/) { return true; }
  // Worker thread, before each receive: the most bytes it may take (at least 1). Base:
  // the buffer size.
  virtual std::uint32_t ReceiveLimit() { return GetBufferSize(); }
  // Thread calling Socket::Shutdown; false makes it do nothing.
  virtual bool FilterSocketShutdown(Socket& /*socket*/, int /*how*/) { return true; }
  // Thread calling Socket::Close, under the connection lock; false leaves it open.
  virtual bool FilterSocketClose(Socket& /*socket*/) { return true; }
  // Worker thread, when a receive delivered at least one byte (also a worker that issued
  // a receive which completed at once). The worker drops its reference on the buffer
  // afterwards.
  virtual void ReadCompleted(Socket& socket, CIOBuffer& buffer) = 0;

 private:
  friend class Socket;
  friend class WorkerThread;

  void PostIoOperation(Socket& socket, CIOBuffer* buffer, IoOperation operation);
  // A connection of the TLS listener gets a session on `tls`.
  Socket* AllocateSocket(int handle, const std::shared_ptr<const CTlsContext>& tls);
  void ReleaseSocket(Socket* socket);
  void DestroySocket(Socket* socket);
  void ReleaseSockets();
  void AcceptConnections();
  // The address a listener binds: `addressText` parsed (it must be dotted IPv4, else
  // CException), or `numericAddress` when it is empty.
  static std::uint32_t ListeningAddress(const std::string& addressText, std::uint32_t numericAddress);
  // Owner thread: a non-blocking listener on addressText:port (CreateListeningSocket).
  int OpenListener(const std::string& addressText, std::uint16_t port);
  // Server thread: an accept failed with errno `error` while accepting was in its
  // `generation`.
  void AcceptFailed(int error, std::uint64_t generation);
  // Server thread: sets an accepted connection up and hands it to OnConnectionAccepted.
  void Welcome(int handle, CIOBuffer& address, const std::shared_ptr<const CTlsContext>& tls);
  // Server thread: sets one option of an accepted connection; a failure goes to OnError.
  void SetAcceptedOption(int handle, int level, int option, int value, const char* name);
  void StopWorkers(std::vector<std::unique_ptr<WorkerThread>>& workers);

  const std::uint32_t m_workerThreads;
  Win32::CCriticalSection m_listLock;
  CIntrusiveList<Socket> m_activeList;
  CIntrusiveList<Socket> m_freeList;
  // Guards m_listeningSocket; the accept loop copies the handle under it and StopAccepting
  // waits for m_acceptIdle before closing, so accept never runs on a reused number.
  Win32::CCriticalSection m_listenLock;
  int m_listeningSocket = -1;
  int m_tlsListeningSocket = -1;
  std::uint64_t m_listenGeneration = 0;  // counts StopAcceptingConnections
  Win32::CManualResetEvent m_acceptIdle{true};
  CIOCompletionPort m_completionPort;
  Win32::CManualResetEvent m_shutdownEvent;
  Win32::CManualResetEvent m_acceptEvent;
  // Where to listen; changed only by the owner thread (ReplaceListeners), under the
  // listen lock, so the owner reads them without it.
  std::string m_addressText;
  std::uint32_t m_numericAddress;
  std::uint16_t m_port;
  // The TLS listener's, set before accepting starts.
  std::uint16_t m_tlsPort = 0;
  std::shared_ptr<const CTlsContext> m_tlsContext;
  bool m_plainListener = true;
  const std::uint32_t m_maxFreeSockets;
  const bool m_useSequenceNumbers;
  const bool m_postZeroByteReads;
  // Data-less buffers that carry a zero-byte read: a connection waiting for data holds one
  // of these, and takes a receive buffer from the pool only once it is readable.
  CIOBuffer::Allocator m_waitBuffers;
};

// One connection. Any thread holding a reference may call its operations; AddRef keeps
// it alive, and the last Release closes it (see CSocketServer::OnConnectionUnreferenced)
// and returns it to the pool.
class CSocketServer::Socket {
 public:
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  void AddRef() { m_ref.fetch_add(1, std::memory_order_relaxed); }
  void Release();

  // Posts a receive into `buffer` (a new one when null; with zero-byte reads, a data-less
  // one that is exchanged for a receive buffer once data is there). False when the
  // connection is closed.
  bool Read(CIOBuffer* buffer = nullptr);
  // Read into a new buffer, but issued on the calling thread instead of a worker's (the
  // read request filter runs here): for a handler that wants the next receive at once, with
  // no thread hand-off. The caller holds a reference.
  bool ReadNow();
  // Copies the bytes and posts a send; sends leave in the order of Write calls. False when
  // the connection is closed, its write side is shut down, or `length` exceeds the buffer
  // size (refused before anything is counted).
  bool Write(const void* data, std::size_t length);
  // Write, but the send starts on the calling thread instead of a worker's (the write
  // request filter and its trace line run here): one thread hand-off fewer for a caller
  // that has nothing else to do meanwhile. Sends still leave in the order of Write and
  // WriteNow calls. A send that leaves at once also completes on the calling thread
  // (WriteCompleted runs here), otherwise through a worker. The caller holds a reference.
  bool WriteNow(const void* data, std::size_t length);
  // A connection of the TLS listener; the rest of the TLS state is read once the
  // handshake has finished (OnTlsEstablished) by the threads that handle its receives.
  bool IsTls() const { return m_tls != nullptr; }
  bool TlsEstablished() const;
  // Whether the client's certificate chains to the client CA bundle, and its common name.
  bool TlsPeerVerified() const;
  std::string TlsPeerName() const;
  // how: SHUT_RD, SHUT_WR or SHUT_RDWR. Sends already posted go out before the write side
  // is shut down.
  void Shutdown(int how);
  // Graceful close, if FilterSocketClose agrees.
  void Close();
  // Resets the connection.
  void AbortiveClose();
  bool IsValid();

 private:
  friend class CSocketServer;
  friend class CIntrusiveList<Socket>;

  Socket(CSocketServer& server, int handle, bool useSequenceNumbers);
  void Attach(int handle);
  // A receive of `bytes` ciphertext (or of none, when `buffer` is null: what the session
  // kept) on a TLS connection: its plaintext to ReadCompleted, the handshake's replies
  // sent, a failure told and the connection closed.
  void TlsReceiveDone(CIOBuffer* buffer, std::uint32_t bytes);
  // Fills `plain` (which holds `outcome.plaintext` bytes) up to `limit` with what the socket
  // already holds, once the handshake is done: a receive's ciphertext ends inside nearly
  // every 16 KB record, which would otherwise make two small units of each. Reads a few
  // times at most and never waits; the caller holds m_tlsLock. Returns 0 or the errno of a
  // receive that failed.
  int TopUpPlaintext(CTlsSession::Outcome& outcome, std::uint8_t* plain, std::uint32_t limit);
  // Encrypts and sends (Write and WriteNow of a TLS connection).
  bool TlsWrite(const void* data, std::size_t length);
  // Sends what the session made, in order; the caller holds m_tlsLock.
  bool SendTlsOutput();
  std::uint32_t NextSequenceNumber(bool write);
  // The numbered buffer of a Write or WriteNow, counted as outstanding; null when refused.
  CIOBuffer* PrepareWrite(const void* data, std::size_t length);
  CIOBuffer* NextWriteBuffer(CIOBuffer* buffer);
  void InternalClose();
  void OnClientClose();
  bool WritePending();
  void WriteFinished();
  void OnConnectionError(ConnectionErrorSource source, CIOBuffer* buffer, int error);

  void IssueZeroByteRead(CIOBuffer* buffer);
  // `completeHere`: a receive satisfied at once is completed on the calling thread.
  void IssueRead(CIOBuffer* buffer, bool completeHere = false);
  // Posts a receive into a set-up buffer, holding a reference on this and on the buffer
  // for the packet; `numbered` receives take the next read sequence number.
  void IssueReceive(CIOBuffer* buffer, IoOperation operation, ConnectionErrorSource source, bool numbered,
                    bool completeHere = false);
  // A receive of `bytes` into `buffer` completed: ReadCompleted, or the peer's close. A
  // filter may replace the buffer.
  void ReceiveDone(CIOBuffer*& buffer, std::uint32_t bytes);
  // A send of `bytes` from `buffer` completed: WriteCompleted, and the write is finished.
  void SendDone(CIOBuffer* buffer, std::uint32_t bytes);
  // `completeHere`: sends that leave whole at once are completed on the calling thread.
  void IssueWrite(CIOBuffer* buffer, bool completeHere = false);

  CIntrusiveList<Socket>::Node m_node;
  Win32::CCriticalSection m_lock;
  CSocketServer& m_server;
  int m_socket;
  std::atomic<long> m_ref{1};
  std::atomic<long> m_outstandingWrites{0};
  std::atomic<bool> m_writeShutdown{false};
  std::atomic<bool> m_closing{false};
  std::atomic<long> m_clientClosed{0};
  std::unique_ptr<CSequenceData> m_sequenceData;
  // Set while the connection is attached to a TLS listener's socket. Every call into the
  // session, and the sending of what it makes, happens under m_tlsLock (taken before
  // m_lock), so records leave in the order the session made them.
  std::unique_ptr<CTlsSession> m_tls;
  mutable Win32::CCriticalSection m_tlsLock;
};

// A worker: takes packets from the completion port and handles them until it gets one
// with key 0.
class CSocketServer::WorkerThread : public Win32::CThread {
 public:
  // Server thread.
  WorkerThread(CSocketServer& server, CIOCompletionPort& port);
  ~WorkerThread() override;

  // Any thread: asks one worker to end.
  void RequestStop();
  // Server thread: RequestStop, then waits for this worker to end.
  void StopAndWait();

  // A receive that completed on the spot on a worker (its zero-byte read found data
  // waiting), with the references its issue took: that worker handles it next, instead
  // of queueing it to the port, which woke another worker for every record of a busy
  // connection.
  struct TakenOver {
    Socket* socket = nullptr;
    CIOBuffer* buffer = nullptr;
  };
  // The calling worker's slot while it is empty; null when taken, or on any other thread.
  static TakenOver* FreeTakeOverSlot();

 protected:
  int Run() override;
  virtual void ProcessOperation(Socket* socket, CIOBuffer* buffer, std::uint32_t bytes);

 private:
  CSocketServer& m_server;
  CIOCompletionPort& m_port;
};

}  // namespace Sockora
