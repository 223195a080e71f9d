#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "model/DataItem.h"
#include "net/CSocketServer.h"
#include "platform/CStoppableThread.h"
#include "platform/Messages.h"

// wParam of WM_TCP_STATUS; lParam points to the DataItem that was to be sent.
constexpr WPARAM TCP_SEND_FAILED = 3;
constexpr WPARAM TCP_SENT = 4;

// The TCP side of every device link. A device's first 21 bytes register it under the
// device ID made of bytes 0 to 3; after that each received chunk is a heartbeat (exactly
// the byte FE) or user data. Everything goes to the data center's TcpRecvQueue; a thread
// of its own writes TcpSendQueue's records to the connection that holds their device ID.
// The newest registration of an ID wins: the older connection is reported offline and
// closed.
//
// Locks: the server lock serialises ReadCompleted and guards the connection table; the
// pending and device tables each have their own mutex, taken briefly inside it and never
// together. No connection is closed while the server lock is held.
class CTcpServer : public Sockora::CSocketServer {
 public:
  // Service thread. Listens on localIp (empty: every address) and localPort once started;
  // the sending thread runs from here on. Throws the framework's exception when the
  // server cannot be built.
  CTcpServer(const std::string& localIp, std::uint16_t localPort);
  // Service thread: stops the sending thread (the owner of NotifyWindow keeps handling
  // its sends meanwhile), then shuts the server down, closing every connection.
  ~CTcpServer() override;

  // Receiver of WM_TCP_STATUS. Any thread; set before Start.
  void SetNotifyWindow(TargetHandle window) { m_notifyWindow = window; }

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
  std::uint32_t ReceiveLimit() override;

  // Owner thread: what the destructor does. The sending thread ends before the framework
  // shuts down, so no write holds a connection that the shutdown frees. A class deriving
  // from this one calls it in its own destructor (as the framework asks of
  // WaitForShutdown), so that no notification reaches a half-destroyed object. Repeating
  // it does nothing more.
  void StopAndShutDown();

  // Any thread. Makes or drops the connection's record; null is ignored.
  void AddConnection(Socket* socket);
  void RemoveConnection(Socket* socket);

 private:
  // What is known of one open connection.
  struct LinkRecord {
    std::uint16_t Received = 0;
    std::uint16_t BufferedLength = 0;
    std::int64_t ConnectTime = 0;
    std::int64_t LastReceiveTime = 0;
    unsigned char Buffer[DATA_ITEM_PAYLOAD];
  };

  // Handles `length` bytes appended to the record's buffer; the caller holds the server
  // lock. Returns a connection that lost its device ID to this one, with a reference
  // taken, for the caller to close once the lock is left; null otherwise.
  Socket* HandleUnit(Socket& socket, LinkRecord& record, std::uint32_t length, bool wholeChunkIsOneByte);
  // Pushes DATA_OFFLINE for the ID the connection holds, if any, and frees the ID.
  void ReportOffline(Socket* socket);
  // The ID that the connection holds, or empty.
  std::string DeviceIdOf(Socket* socket);
  void TcpSendThread(Sockora::Win32::CEvent& stop);

  Sockora::Win32::CCriticalSection m_serverLock;
  std::map<Socket*, std::unique_ptr<LinkRecord>> m_connectionTable;
  std::mutex m_pendingMutex;
  std::map<Socket*, bool> m_registrationPending;
  std::mutex m_deviceMutex;
  std::map<std::string, Socket*> m_deviceSockets;
  std::atomic<TargetHandle> m_notifyWindow{0};
  std::unique_ptr<Sockora::Win32::CStoppableThread> m_sendThread;
};
