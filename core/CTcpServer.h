#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/CAdmission.h"
#include "model/DataItem.h"
#include "net/CSocketServer.h"
#include "platform/CAutoResetEvent.h"
#include "platform/CStoppableThread.h"
#include "platform/Messages.h"
#include "protocol/RegistrationPacket.h"

// wParam of WM_TCP_STATUS; lParam points to a ReportedItem, a copy of the record that
// was to be sent (posted as a report).
constexpr WPARAM TCP_SEND_FAILED = 3;
constexpr WPARAM TCP_SENT = 4;

// The TCP side of every device link. A device's first 21 bytes register it under the
// device ID made of bytes 0 to 3; whatever follows them, in the same chunk or in later
// ones, is a unit as soon as it arrives: a heartbeat (exactly the byte FE) or user data.
// Everything goes to the data center's TcpRecvQueue; a thread of its own writes
// TcpSendQueue's records to the connection that holds their device ID. The newest
// registration of an ID wins: the older connection is reported offline at once, and closed
// once what it had already received has been handed on as the device's data (see
// Replacement). A connection that has not registered within the registration timeout is
// closed by a second thread; a registered one is never closed for being quiet (keepalive,
// set by the framework, finds dead links).
//
// A device with too many units in flight (see CDataCenter) is held: its connection's next
// receive is not issued, so TCP flow control slows the device, until the data center says
// the device has drained; a held connection is kept referenced until then.
//
// Locks: the server lock serialises ReadCompleted and guards the connection table and the
// replacements; the pending and device tables each have their own mutex, taken briefly
// inside it and never together. No connection is closed, shut down or read while the
// server lock is held. The held table's mutex is taken alone or inside the server lock,
// and never across a call into the framework.
class CTcpServer : public Sockora::CSocketServer {
 public:
  // Service thread. Listens on localIp (empty: every address) and localPort once started;
  // the sending thread and the registration timeout's thread run from here on. Throws the
  // framework's exception when the server cannot be built.
  CTcpServer(const std::string& localIp, std::uint16_t localPort,
             std::chrono::milliseconds registrationTimeout = std::chrono::seconds(60),
             CAdmission::Limits admissionLimits = {});
  // Service thread: stops accepting and reading, stops the sending thread (the owner of
  // NotifyWindow keeps handling its sends meanwhile), then shuts the server down, closing
  // every connection.
  ~CTcpServer() override;

  // Receiver of WM_TCP_STATUS. Any thread; set before Start.
  void SetNotifyWindow(TargetHandle window) { m_notifyWindow = window; }

  // Service thread, before StartAcceptingConnections: TLS devices connect to `port` (on
  // the same address) with `context`; `plainToo` false: the plain port is not opened. A
  // TLS device is a device like any other once its handshake is done; with a client CA,
  // its certificate's common name must be the device ID it registers. The server
  // certificate's end is checked now and once a day (a warning from 30 days before).
  void ListenForTls(std::uint16_t port, std::shared_ptr<const Sockora::CTlsContext> context, bool plainToo);

  // After a reload (any thread while the server lives): closes each registered connection
  // that a registration now would be refused for, by the tunnel table and settings in
  // effect: a binding it no longer meets, an address outside AllowedNetworks, or no tunnel
  // under RefuseUnconfigured. Each close gets a refusal line, as a refused registration
  // does. Returns how many were closed.
  std::size_t CloseNowRefused();

 protected:
  void OnStartAcceptingConnections() override;
  void OnStopAcceptingConnections() override;
  void OnShutdownComplete() override;
  void OnConnectionCreated() override;
  void OnConnectionAccepted(Socket& socket, Sockora::CIOBuffer& address) override;
  void OnConnectionClientClose(Socket& socket) override;
  void OnConnectionReset(Socket& socket) override;
  bool OnConnectionUnreferenced(Socket& socket) override;
  void OnConnectionClosed(Socket& socket) override;
  void OnConnectionDestroyed() override;
  void OnThreadDestroyed() override;
  void OnBufferCreated() override;
  void OnBufferAllocated() override;
  void ReadCompleted(Socket& socket, Sockora::CIOBuffer& buffer) override;
  // Counted (TlsHandshakeCounts); a failure is also told, as a refusal is.
  void OnTlsEstablished(Socket& socket) override;
  void OnTlsFailed(Socket& socket, TlsFailure failure, const std::string& reason) override;
  std::uint32_t ReceiveLimit() override;
  // Writes refusal lines (the operator must see them, also with --quiet). Any thread, no
  // lock held.
  static void Tell(const std::vector<std::string>& lines);
  // The framework's messages go to the trace log (and so to the debug sink).
  void OnError(const std::string& message) override;
  // Devices cannot connect: the operator is told, at once and then at most once a minute
  // with the count since.
  void OnAcceptError(unsigned error) override;

  // Owner thread: what the destructor does. Accepting and reading stop first, so no new
  // record is made while the threads are waited for. The sending thread ends before the framework
  // shuts down, so no write holds a connection that the shutdown frees. A class deriving
  // from this one calls it in its own destructor (as the framework asks of
  // WaitForShutdown), so that no notification reaches a half-destroyed object. Repeating
  // it does nothing more.
  void StopAndShutDown();

  // Any thread. Makes or drops the connection's record; null is ignored.
  void AddConnection(Socket* socket);
  void RemoveConnection(Socket* socket);

 private:
  // What is known of one open connection. Only registration bytes ever wait in Buffer:
  // everything after them is handed on as it arrives.
  struct LinkRecord {
    std::uint16_t Received = 0;
    std::uint16_t BufferedLength = 0;
    std::int64_t ConnectTime = 0;
    std::int64_t LastReceiveTime = 0;
    std::chrono::steady_clock::time_point Accepted;
    // Closed for not registering in time, or refused: what still arrives is not looked at.
    bool Expired = false;
    std::uint32_t Address = 0;  // the source address, host byte order
    bool Tls = false;           // accepted by the TLS listener
    char Source[24] = {};  // "address:port" the connection came from
    // The registration as it arrives; once complete it stays, for a reload to check again.
    unsigned char Buffer[kRegistrationLength];
  };

  // A connection whose device ID a newer registration took, from then until it is closed.
  // Its read side is shut down, so its receives end with what its socket already held
  // (the system reports end of stream once that is taken); those bytes go on as the
  // device's data. The newer connection's bytes wait here meanwhile, and its receives are
  // not issued, so the port gets the device's bytes in the order they were sent.
  struct Replacement {
    std::string DeviceId;
    Socket* Successor = nullptr;  // referenced until the replacement ends
    std::vector<unsigned char> Waiting;  // what the successor sent meanwhile
    std::chrono::steady_clock::time_point Started;
    // Extended by every receive and while the connection is held or itself waits for its
    // predecessor; then it is closed whatever its socket still holds.
    std::chrono::steady_clock::time_point Deadline;
    bool Finished = false;  // its receives have ended (end of stream or closed)
  };

  // Counts a failed TLS handshake of the connection and returns its line (empty while its
  // address has had its share of lines); the caller holds the server lock.
  std::string TlsFailureLine(const LinkRecord& record, TlsFailure failure, const std::string& reason);
  // Whether the connection still waits for (the rest of) its registration.
  bool IsPending(Socket& socket);
  // The registration in the record's buffer is complete: registers the connection under
  // its device ID; the caller holds the server lock. Returns a connection that lost the
  // ID to this one, now being replaced, with a reference taken for the caller to shut its
  // read side down once the lock is left and then release; null otherwise. A registration
  // that its device's binding (or RefuseUnconfigured) refuses registers nothing and
  // replaces nothing: the record expires and `refusal` gets the lines to write once the
  // lock is left, for the caller to close the connection.
  Socket* Register(Socket& socket, LinkRecord& record, std::vector<std::string>& refusal);
  // Pushes received bytes of the connection that holds `deviceId` as units (nothing for
  // an empty ID: the bytes belong to nobody); the caller holds the server lock.
  void PushUnits(const std::string& deviceId, const unsigned char* data, std::uint32_t length);
  // Pushes DATA_OFFLINE for the ID the connection holds, if any, and frees the ID;
  // `replaced` marks the record with OFFLINE_REPLACED. The caller holds the server lock.
  void ReportOffline(Socket* socket, bool replaced = false);
  // The ID that the connection holds, or empty.
  std::string DeviceIdOf(Socket* socket);
  // A receive of a connection that holds no ID: the ID a newer registration took from it
  // while it is being replaced (its time then runs on from this receive), else empty.
  // The caller holds the server lock.
  std::string ReceivedByReplaced(Socket* socket);
  // A replaced connection's receives have ended; its replacement is ended by the link
  // timer thread. Any thread.
  void ReplacementFinished(Socket& socket);
  void TcpSendThread(Sockora::Win32::CEvent& stop);
  // Closes connections whose registration is overdue and ends replacements that have
  // finished or are overdue, waking at the earliest deadline or when woken.
  void LinkTimerThread(Sockora::Win32::CEvent& stop);
  // One pass of it under the server lock: marks and lists what is due, returns when the
  // next deadline falls.
  struct DueLinks;
  std::chrono::steady_clock::time_point CollectDueLinks(DueLinks& due);
  // Writes one TcpSendQueue record to its device's connection and reports it. The
  // sending thread.
  void SendRecord(const DataItem& item);
  // Worker thread, after a receive was handled: true when the connection's device
  // (`deviceId`, empty for none) is backlogged and its next receive is left to Resume.
  bool HoldWhileBacklogged(Socket& socket, const std::string& deviceId);
  // Any thread (the data center's drain listener): issues the receives of the device's
  // held connections.
  void Resume(const std::string& deviceId);
  // Owner thread, before the shutdown: no more resumes; held connections are let go.
  void StopHolding();
  // Owner thread, once the link timer has ended: replacements still open are let go.
  void DropReplacements();

  Sockora::Win32::CCriticalSection m_serverLock;
  std::map<Socket*, std::unique_ptr<LinkRecord>> m_connectionTable;
  std::map<Socket*, Replacement> m_replacements;  // by the replaced connection, referenced
  std::mutex m_pendingMutex;
  std::map<Socket*, bool> m_registrationPending;
  std::mutex m_deviceMutex;
  std::map<std::string, Socket*> m_deviceSockets;
  // The same pairs the other way round: every receive asks which device a connection holds.
  std::map<Socket*, std::string> m_socketDevices;
  CAdmission m_admission;
  std::mutex m_heldMutex;
  std::map<Socket*, std::string> m_held;  // each with a reference taken, by device ID
  std::atomic<TargetHandle> m_notifyWindow{0};
  const std::chrono::milliseconds m_registrationTimeout;
  // Accept failures since the last warning, and when it was written; the server thread's.
  std::uint64_t m_acceptFailures = 0;
  std::chrono::steady_clock::time_point m_acceptWarned{};
  // Set by StopAndShutDown: a completed read issues no further one.
  std::atomic<bool> m_stopping{false};
  std::unique_ptr<Sockora::Win32::CStoppableThread> m_sendThread;
  // The TLS listener's, and when its certificate's end is looked at next; under the server
  // lock.
  std::shared_ptr<const Sockora::CTlsContext> m_tlsContext;
  std::chrono::steady_clock::time_point m_certificateCheck{};
  // Wakes the link timer thread when a replacement begins or finishes.
  Sockora::Win32::CAutoResetEvent m_linkTimerWake;
  std::unique_ptr<Sockora::Win32::CStoppableThread> m_linkTimerThread;
};
