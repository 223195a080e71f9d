#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "core/CTcpServer.h"
#include "platform/CManualResetEvent.h"

// The device link handler on a free loopback port, which also notes the size of every
// chunk it receives: tests wait on the byte count to send their next chunk only once the
// last one has been read, and compare what came out with the chunks as they were read.
class ObservedTcpServer : public CTcpServer {
 public:
  explicit ObservedTcpServer(std::chrono::milliseconds registrationTimeout = std::chrono::seconds(60),
                             CAdmission::Limits limits = {})
      : CTcpServer("127.0.0.1", 0, registrationTimeout, limits) {
    Start();
    StartAcceptingConnections();
  }
  ~ObservedTcpServer() override { StopAndShutDown(); }

  std::uint16_t Port() { return ListeningPort(); }
  // Bytes whose handling has finished.
  std::uint64_t BytesRead() const { return m_bytesRead.load(); }
  std::vector<std::size_t> Chunks() {
    std::lock_guard lock(m_mutex);
    return m_chunks;
  }

  // The next close notification is held under the closed connection's own lock (where
  // the framework makes it) until a chunk has arrived on some connection, and a little
  // longer, so that the chunk's handling holds the server lock when the notification
  // wants it. Bounded: never more than two seconds.
  void HoldNextClose() {
    m_chunkArrived.Reset();
    m_closeHeld.Reset();
    m_holdClose = true;
  }
  // Set once the held notification has started waiting.
  Sockora::Win32::CEvent& CloseHeld() { return m_closeHeld; }

  // The next receive of any connection waits, before it is handled, until ReleaseReceive
  // (never more than ten seconds), as a worker that lost the processor would; the
  // connection's next receive is not issued meanwhile.
  void HoldNextReceive() {
    m_receiveHeld.Reset();
    m_receiveReleased.Reset();
    m_holdReceive = true;
  }
  // Set once the held receive has started waiting.
  Sockora::Win32::CEvent& ReceiveHeld() { return m_receiveHeld; }
  void ReleaseReceive() { m_receiveReleased.Set(); }

 protected:
  void ReadCompleted(Socket& socket, Sockora::CIOBuffer& buffer) override {
    const std::size_t size = buffer.GetUsed();
    if (m_holdReceive.exchange(false)) {
      m_receiveHeld.Set();
      m_receiveReleased.Wait(10000);
    }
    {
      std::lock_guard lock(m_mutex);
      m_chunks.push_back(size);
    }
    m_chunkArrived.Set();
    CTcpServer::ReadCompleted(socket, buffer);
    m_bytesRead += size;
  }

  void OnConnectionClosed(Socket& socket) override {
    if (m_holdClose.exchange(false)) {
      m_closeHeld.Set();
      m_chunkArrived.Wait(2000);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    CTcpServer::OnConnectionClosed(socket);
  }

 private:
  std::atomic<std::uint64_t> m_bytesRead{0};
  std::mutex m_mutex;
  std::vector<std::size_t> m_chunks;
  std::atomic<bool> m_holdClose{false};
  Sockora::Win32::CManualResetEvent m_chunkArrived;
  Sockora::Win32::CManualResetEvent m_closeHeld;
  std::atomic<bool> m_holdReceive{false};
  Sockora::Win32::CManualResetEvent m_receiveHeld;
  Sockora::Win32::CManualResetEvent m_receiveReleased;
};
