#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "net/CSocketServer.h"
#include "platform/CException.h"

// A socket server that echoes what it receives (unless told otherwise) and records every
// notification in order. Notifications come from the framework's threads; the test thread
// reads the record through the locked accessors.
class TestServer : public Sockora::CSocketServer {
 public:
  using Socket = Sockora::CSocketServer::Socket;

  struct Options {
    std::uint32_t workers = 4;
    std::uint32_t bufferSize = 10240;
    std::uint32_t maxFreeSockets = 100;
    bool readOnAccept = true;
    bool echo = true;
    bool holdSockets = false;       // keep a reference to every accepted connection
    bool unreferencedAnswer = false;
    bool throwOnAccept = false;
    bool zeroByteReads = false;
    bool readNow = false;  // the next receive issued by ReadNow on the worker
  };

  explicit TestServer(Options options, std::uint16_t port = 0)
      : CSocketServer("127.0.0.1", 0, port, options.maxFreeSockets, 100, options.bufferSize,
                      options.workers, true, options.zeroByteReads),
        m_options(options) {}

  ~TestServer() override { WaitForShutdown(); }

  void StartListening() {
    Start();
    StartAcceptingConnections();
  }

  // Hooks run on the worker: inside FilterWriteRequest with the buffer's sequence number,
  // and after each packet. Set them before Start.
  std::function<void(std::uint32_t)> onWriteRequest;
  std::function<void()> onWorkFinished;

  int Count(const std::string& event) {
    std::lock_guard lock(m_mutex);
    return static_cast<int>(std::count(m_events.begin(), m_events.end(), event));
  }
  std::vector<std::string> Events() {
    std::lock_guard lock(m_mutex);
    return m_events;
  }
  std::string Received() {
    std::lock_guard lock(m_mutex);
    return m_received;
  }
  // Waits (bounded) until `event` has been recorded `times` times.
  bool WaitCount(const std::string& event, int times, std::chrono::seconds bound = std::chrono::seconds(20)) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, bound, [&] {
      return std::count(m_events.begin(), m_events.end(), event) >= times;
    });
  }
  // Buffers of the pool handed out and not yet given back.
  int BuffersOut() const { return m_buffersOut.load(); }
  // The connections kept with holdSockets, each with one reference the test must Release.
  std::vector<Socket*> TakeHeldSockets() {
    std::lock_guard lock(m_mutex);
    return std::exchange(m_held, {});
  }

 protected:
  void OnConnectionAccepted(Socket& socket, Sockora::CIOBuffer& address) override {
    if (m_options.holdSockets) {
      socket.AddRef();
      std::lock_guard lock(m_mutex);
      m_held.push_back(&socket);
    }
    Record(address.GetUsed() == sizeof(sockaddr_in) ? "Accepted" : "Accepted-bad-address");
    if (m_options.throwOnAccept) throw Sockora::Win32::CException("TestServer::OnConnectionAccepted()", "refused");
    if (m_options.readOnAccept) socket.Read();
  }
  void ReadCompleted(Socket& socket, Sockora::CIOBuffer& buffer) override {
    {
      std::lock_guard lock(m_mutex);
      m_received.append(reinterpret_cast<const char*>(buffer.GetBuffer()), buffer.GetUsed());
    }
    Record("ReadCompleted");
    if (m_options.echo) socket.Write(buffer.GetBuffer(), buffer.GetUsed());
    if (m_options.readNow)
      socket.ReadNow();
    else
      socket.Read();
  }
  bool FilterWriteRequest(Socket&, Sockora::CIOBuffer*& buffer) override {
    if (onWriteRequest) onWriteRequest(buffer->GetSequenceNumber());
    return true;
  }
  bool FilterReadRequest(Socket&, Sockora::CIOBuffer*&) override {
    t_readRequest = true;
    return true;
  }
  // "ReadIssued": a worker has issued a receive (it is pending unless data was there).
  void OnThreadWorkFinished() override {
    if (t_readRequest) Record("ReadIssued");
    t_readRequest = false;
    if (onWorkFinished) onWorkFinished();
  }
  void OnStartAcceptingConnections() override { Record("StartAccepting"); }
  void OnStopAcceptingConnections() override { Record("StopAccepting"); }
  void OnShutdownStarted() override { Record("ShutdownStarted"); }
  void OnShutdownComplete() override { Record("ShutdownComplete"); }
  void OnConnectionCreated() override { Record("Created"); }
  void OnConnectionClientClose(Socket&) override { Record("ClientClose"); }
  void OnConnectionReset(Socket&) override { Record("Reset"); }
  bool OnConnectionUnreferenced(Socket&) override {
    Record("Unreferenced");
    return m_options.unreferencedAnswer;
  }
  void OnConnectionClosed(Socket&) override { Record("Closed"); }
  void OnConnectionDestroyed() override { Record("Destroyed"); }
  void OnConnectionError(ConnectionErrorSource, Socket&, Sockora::CIOBuffer*, unsigned error) override {
    Record("ConnectionError " + std::to_string(error));
  }
  void OnThreadDestroyed() override { Record("ThreadDestroyed"); }
  void OnBufferAllocated() override { ++m_buffersOut; }
  void OnBufferReleased() override { --m_buffersOut; }
  void OnError(const std::string& message) override { Record(message); }

 private:
  void Record(const std::string& event) {
    std::lock_guard lock(m_mutex);
    m_events.push_back(event);
    m_changed.notify_all();
  }

  static inline thread_local bool t_readRequest = false;
  const Options m_options;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<std::string> m_events;
  std::string m_received;
  std::atomic<int> m_buffersOut{0};
  std::vector<Socket*> m_held;
};
