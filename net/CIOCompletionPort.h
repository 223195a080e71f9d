#pragma once

// epoll, not io_uring, underneath, chosen by measurement (bench/net/EchoBench.cpp): at
// 10,000 small-echo connections a minimal io_uring server beat the minimal epoll server by
// only about 5% in rate and CPU per message (up to 1.2x with 1,000 busy ones, slower in
// bulk), far less than what the framework spends per message beyond either of them.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "net/CIOBuffer.h"

namespace Sockora {

// The completion queue of the socket server: packets (key, buffer, bytes transferred,
// success) handed to the worker threads one at a time. Packets come from PostStatus and
// from receives and sends started with Receive and Send on non-blocking sockets, which
// complete here when epoll reports the socket ready (or at once when the call can be
// satisfied on the spot). A worker with nothing to do takes the role of the thread that
// waits in epoll, so a completion needs no extra thread hop.
//
// Handles are identified by their descriptor. Receive, Send and CancelDevice must be
// called by a thread that keeps the handle open and associated for the whole call (the
// socket server holds the connection lock); readiness reported for an earlier use of the
// same descriptor number is recognised and ignored.
class CIOCompletionPort {
 public:
  // Throws CWin32Exception("CIOCompletionPort::CIOCompletionPort() - CreateIoCompletionPort",
  // errno) when epoll or its wake-up descriptor cannot be created.
  CIOCompletionPort();
  ~CIOCompletionPort();
  CIOCompletionPort(const CIOCompletionPort&) = delete;
  CIOCompletionPort& operator=(const CIOCompletionPort&) = delete;

  // Any thread. Completions of `handle` carry `key`. Throws CWin32Exception(
  // "CIOCompletionPort::AssociateDevice() - CreateIoCompletionPort", errno).
  void AssociateDevice(int handle, void* key);

  // Any thread. Queues a packet that reports success.
  void PostStatus(void* key, std::uint32_t bytes, CIOBuffer* buffer);

  // Worker threads. Blocks until a packet arrives. False when the operation the packet
  // describes failed (key and buffer still name it). Throws CWin32Exception(
  // "CIOCompletionPort::GetStatus() - epoll_wait", errno) if epoll itself fails.
  bool GetStatus(void*& key, std::uint32_t& bytes, CIOBuffer*& buffer);

  // Starts a receive into the buffer's WSABUF; a length of 0 waits for data without
  // taking any and completes with 0 bytes (at once after a receive that filled its
  // buffer: data is then taken to be waiting). Receives of one handle complete in the order
  // started. Returns 0 when the receive will complete through the port, else the errno
  // that kept it from starting.
  // With `receivedAtOnce`, a receive satisfied on the spot sets it to the bytes received
  // and completes nowhere else: the caller completes it, and no worker is woken for it.
  int Receive(int handle, CIOBuffer& buffer, std::optional<std::uint32_t>* receivedAtOnce = nullptr);

  // Takes what the socket already holds into the buffer's WSABUF, starting no receive that
  // waits: `received` is 0 when nothing is waiting (or the peer has ended, which the next
  // receive tells). While a receive of the handle is pending it takes nothing, as its bytes
  // would overtake that receive's. Returns 0 or the errno of a receive that failed.
  int ReceiveWaiting(int handle, CIOBuffer& buffer, std::uint32_t& received);

  // Starts sending the buffer's WSABUF. Sends of one handle leave in the order started and
  // each completes once all its bytes are sent. Returns 0 or the errno as Receive does.
  // With `sentAtOnce`, a send that leaves whole on the spot sets it and completes nowhere
  // else: the caller completes it, and no worker is woken for it.
  int Send(int handle, CIOBuffer& buffer, bool* sentAtOnce = nullptr);

  // Before the handle is closed: its pending receives and sends complete as failed.
  void CancelDevice(int handle);

 private:
  struct Packet {
    void* key;
    std::uint32_t bytes;
    CIOBuffer* buffer;
    bool success;
    int error;  // errno of a failed operation
  };

  struct Pending {
    CIOBuffer* buffer;
    std::uint32_t done;  // bytes already sent
  };

  // A first-in first-out list of operations waiting for readiness.
  struct PendingList {
    std::vector<Pending> items;
    std::size_t head = 0;

    bool Empty() const { return head == items.size(); }
    Pending& Front() { return items[head]; }
    void PopFront() {
      if (++head == items.size()) {
        items.clear();
        head = 0;
      }
    }
  };

  // I/O state of one descriptor number; lives as long as the port.
  struct Device {
    std::mutex mutex;
    std::uint32_t generation = 0;
    void* key = nullptr;
    PendingList reads;
    PendingList writes;
    // The last receive filled its buffer, so more is almost surely waiting: the next
    // zero-byte read completes without asking the socket. When the guess is wrong, the
    // read that follows waits for the next edge like any other.
    bool fullLastTime = false;
  };

  static constexpr std::size_t kChunkSize = 1024;
  static constexpr std::size_t kMaxChunks = 1024;

  Device* Lookup(int handle) const;
  Device& Acquire(int handle);

  void Poll(std::vector<Packet>& done);
  void HandleReadiness(std::uint64_t tag, std::uint32_t events, std::vector<Packet>& done);
  // Both return false when the operation at the front must wait for readiness.
  static bool TryReceive(int handle, Device& device, std::vector<Packet>& done);
  static bool TrySend(int handle, Device& device, std::vector<Packet>& done);
  void Queue(const std::vector<Packet>& packets);
  std::size_t Dispatch();
  std::size_t Signal();
  void Wake(std::size_t workers);

  int m_epoll = -1;
  int m_wakeFd = -1;

  std::mutex m_queueMutex;
  std::condition_variable m_packetReady;
  std::deque<Packet> m_queue;
  std::size_t m_idleWorkers = 0;  // waiting and not yet signalled
  std::size_t m_signals = 0;      // signals sent and not yet taken
  bool m_polling = false;
  bool m_wakePending = false;

  std::mutex m_tableMutex;
  std::array<std::atomic<Device*>, kMaxChunks> m_chunks{};
  std::vector<std::unique_ptr<Device[]>> m_chunkOwners;
};

}  // namespace Sockora
