#include "net/CIOCompletionPort.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/CWin32Exception.h"

namespace Sockora {

using Win32::CWin32Exception;

namespace {

constexpr std::uint64_t kWakeTag = ~std::uint64_t{0};
constexpr int kEventsPerPoll = 256;

std::uint64_t Tag(int handle, std::uint32_t generation) {
  return static_cast<std::uint32_t>(handle) | (std::uint64_t{generation} << 32);
}

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

}  // namespace

CIOCompletionPort::CIOCompletionPort() {
  m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
  if (m_epoll < 0)
    throw CWin32Exception("CIOCompletionPort::CIOCompletionPort() - CreateIoCompletionPort",
                          static_cast<unsigned>(errno));
  m_wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kWakeTag;
  if (m_wakeFd < 0 || ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wakeFd, &event) != 0) {
    const unsigned error = static_cast<unsigned>(errno);
    if (m_wakeFd >= 0) ::close(m_wakeFd);
    ::close(m_epoll);
    throw CWin32Exception("CIOCompletionPort::CIOCompletionPort() - CreateIoCompletionPort", error);
  }
}

CIOCompletionPort::~CIOCompletionPort() {
  ::close(m_wakeFd);
  ::close(m_epoll);
}

CIOCompletionPort::Device* CIOCompletionPort::Lookup(int handle) const {
  const std::size_t index = static_cast<std::size_t>(handle);
  if (handle < 0 || index >= kChunkSize * kMaxChunks) return nullptr;
  Device* chunk = m_chunks[index / kChunkSize].load(std::memory_order_acquire);
  return chunk == nullptr ? nullptr : &chunk[index % kChunkSize];
}

CIOCompletionPort::Device& CIOCompletionPort::Acquire(int handle) {
  if (Device* device = Lookup(handle)) return *device;
  if (handle < 0 || static_cast<std::size_t>(handle) >= kChunkSize * kMaxChunks)
    throw CWin32Exception("CIOCompletionPort::AssociateDevice() - CreateIoCompletionPort", EMFILE);
  std::lock_guard lock(m_tableMutex);
  std::atomic<Device*>& slot = m_chunks[static_cast<std::size_t>(handle) / kChunkSize];
  if (slot.load(std::memory_order_relaxed) == nullptr) {
    m_chunkOwners.push_back(std::make_unique<Device[]>(kChunkSize));
    slot.store(m_chunkOwners.back().get(), std::memory_order_release);
  }
  return *Lookup(handle);
}

void CIOCompletionPort::AssociateDevice(int handle, void* key) {
  Device& device = Acquire(handle);
  std::lock_guard lock(device.mutex);
  ++device.generation;
  device.key = key;
  device.fullLastTime = false;
  epoll_event event{};
  // Edge triggered: every receive or send is tried first, and waits for an edge only
  // after the system said it would block, under the device lock that readiness takes too.
  event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
  event.data.u64 = Tag(handle, device.generation);
  if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, handle, &event) != 0)
    throw CWin32Exception("CIOCompletionPort::AssociateDevice() - CreateIoCompletionPort",
                          static_cast<unsigned>(errno));
}

void CIOCompletionPort::PostStatus(void* key, std::uint32_t bytes, CIOBuffer* buffer) {
  Queue({Packet{key, bytes, buffer, true, 0}});
}

void CIOCompletionPort::Queue(const std::vector<Packet>& packets) {
  if (packets.empty()) return;
  std::size_t wakes = 0;
  {
    std::lock_guard lock(m_queueMutex);
    m_queue.insert(m_queue.end(), packets.begin(), packets.end());
    wakes = Dispatch();
  }
  Wake(wakes);
}

// Under m_queueMutex. Every queued packet gets a worker (an idle one signalled, or the
// one waiting in epoll woken), and somebody watches the sockets when nobody does.
// Returns how many signalled workers the caller must wake once it has left the mutex.
std::size_t CIOCompletionPort::Dispatch() {
  std::size_t wakes = 0;
  while (m_queue.size() > m_signals && m_idleWorkers > 0) wakes += Signal();
  if (m_queue.size() > m_signals && m_polling && !m_wakePending) {
    m_wakePending = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_wakeFd, &one, sizeof one);
  }
  if (!m_polling && m_signals == 0 && m_idleWorkers > 0) wakes += Signal();
  return wakes;
}

std::size_t CIOCompletionPort::Signal() {
  --m_idleWorkers;
  ++m_signals;
  return 1;
}

// Outside m_queueMutex, so that a woken worker does not at once block on it. A signal
// is counted under the mutex and every idle worker is inside its wait there, so none
// is lost.
void CIOCompletionPort::Wake(std::size_t workers) {
  for (; workers > 0; --workers) m_packetReady.notify_one();
}

bool CIOCompletionPort::GetStatus(void*& key, std::uint32_t& bytes, CIOBuffer*& buffer) {
  std::unique_lock lock(m_queueMutex);
  for (;;) {
    if (!m_queue.empty()) {
      const Packet packet = m_queue.front();
      m_queue.pop_front();
      const std::size_t wakes = Dispatch();
      lock.unlock();
      Wake(wakes);
      key = packet.key;
      bytes = packet.bytes;
      buffer = packet.buffer;
      return packet.success;
    }
    if (!m_polling) {
      m_polling = true;
      lock.unlock();
      std::vector<Packet> done;
      try {
        Poll(done);
      } catch (...) {
        lock.lock();
        m_polling = false;
        const std::size_t wakes = Dispatch();
        lock.unlock();
        Wake(wakes);
        throw;
      }
      lock.lock();
      m_polling = false;
      m_wakePending = false;
      m_queue.insert(m_queue.end(), done.begin(), done.end());
      continue;
    }
    // Woken only by Signal: a spurious wake-up does not take another worker's turn.
    ++m_idleWorkers;
    m_packetReady.wait(lock, [this] { return m_signals > 0; });
    --m_signals;
  }
}

void CIOCompletionPort::Poll(std::vector<Packet>& done) {
  epoll_event events[kEventsPerPoll];
  const int count = ::epoll_wait(m_epoll, events, kEventsPerPoll, -1);
  if (count < 0) {
    if (errno == EINTR) return;
    throw CWin32Exception("CIOCompletionPort::GetStatus() - epoll_wait", static_cast<unsigned>(errno));
  }
  for (int i = 0; i < count; ++i) {
    if (events[i].data.u64 == kWakeTag) {
      std::uint64_t value;
      [[maybe_unused]] const ssize_t got = ::read(m_wakeFd, &value, sizeof value);
      continue;
    }
    HandleReadiness(events[i].data.u64, events[i].events, done);
  }
}

void CIOCompletionPort::HandleReadiness(std::uint64_t tag, std::uint32_t events,
                                        std::vector<Packet>& done) {
  const int handle = static_cast<int>(tag & 0xFFFFFFFFu);
  Device* device = Lookup(handle);
  if (device == nullptr) return;
  std::lock_guard lock(device->mutex);
  if (device->generation != static_cast<std::uint32_t>(tag >> 32)) return;
  if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))
    while (!device->reads.Empty() && TryReceive(handle, *device, done)) {
    }
  if (events & (EPOLLOUT | EPOLLHUP | EPOLLERR))
    while (!device->writes.Empty() && TrySend(handle, *device, done)) {
    }
}

bool CIOCompletionPort::TryReceive(int handle, Device& device, std::vector<Packet>& done) {
  CIOBuffer* buffer = device.reads.Front().buffer;
  const CIOBuffer::WSABUF& span = buffer->GetWSABUF();
  ssize_t received;
  do {
    if (span.len == 0 && device.fullLastTime) {
      received = 0;
    } else if (span.len == 0) {
      std::uint8_t probe;
      received = ::recv(handle, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
      if (received > 0) received = 0;
    } else {
      received = ::recv(handle, span.buf, span.len, MSG_DONTWAIT);
    }
  } while (received < 0 && errno == EINTR);
  if (received < 0 && WouldBlock(errno)) return false;
  device.fullLastTime = span.len != 0 && received == static_cast<ssize_t>(span.len);
  device.reads.PopFront();
  const int error = received < 0 ? errno : 0;
  done.push_back(Packet{device.key, received < 0 ? 0u : static_cast<std::uint32_t>(received),
                        buffer, received >= 0, error});
  return true;
}

bool CIOCompletionPort::TrySend(int handle, Device& device, std::vector<Packet>& done) {
  Pending& front = device.writes.Front();
  const CIOBuffer::WSABUF& span = front.buffer->GetWSABUF();
  while (front.done < span.len) {
    const ssize_t sent =
        ::send(handle, span.buf + front.done, span.len - front.done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) {
      front.done += static_cast<std::uint32_t>(sent);
      continue;
    }
    if (errno == EINTR) continue;
    if (WouldBlock(errno)) return false;
    const int error = errno;
    done.push_back(Packet{device.key, front.done, front.buffer, false, error});
    device.writes.PopFront();
    return true;
  }
  done.push_back(Packet{device.key, front.done, front.buffer, true, 0});
  device.writes.PopFront();
  return true;
}

int CIOCompletionPort::Receive(int handle, CIOBuffer& buffer, std::optional<std::uint32_t>* receivedAtOnce) {
  Device* device = Lookup(handle);
  if (device == nullptr) return ENOTSOCK;
  std::vector<Packet> done;
  {
    std::lock_guard lock(device->mutex);
    const bool first = device->reads.Empty();
    device->reads.items.push_back(Pending{&buffer, 0});
    if (first && TryReceive(handle, *device, done)) {
      if (!done.back().success) {
        // Refused on the spot: the caller reports it, nothing completes through the port.
        const int error = done.back().error;
        done.pop_back();
        return error;
      }
      if (receivedAtOnce != nullptr) {
        *receivedAtOnce = done.back().bytes;
        done.pop_back();
      }
    }
  }
  Queue(done);
  return 0;
}

int CIOCompletionPort::ReceiveWaiting(int handle, CIOBuffer& buffer, std::uint32_t& received) {
  received = 0;
  Device* device = Lookup(handle);
  if (device == nullptr) return ENOTSOCK;
  std::lock_guard lock(device->mutex);
  if (!device->reads.Empty()) return 0;
  const CIOBuffer::WSABUF& span = buffer.GetWSABUF();
  ssize_t got;
  do {
    got = ::recv(handle, span.buf, span.len, MSG_DONTWAIT);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return WouldBlock(errno) ? 0 : errno;
  device->fullLastTime = got > 0 && got == static_cast<ssize_t>(span.len);
  received = static_cast<std::uint32_t>(got);
  return 0;
}

int CIOCompletionPort::Send(int handle, CIOBuffer& buffer, bool* sentAtOnce) {
  Device* device = Lookup(handle);
  if (device == nullptr) return ENOTSOCK;
  std::vector<Packet> done;
  {
    std::lock_guard lock(device->mutex);
    const bool first = device->writes.Empty();
    device->writes.items.push_back(Pending{&buffer, 0});
    if (first && TrySend(handle, *device, done)) {
      if (!done.back().success && done.back().bytes == 0) {
        const int error = done.back().error;
        done.pop_back();
        return error;
      }
      if (sentAtOnce != nullptr && done.back().success) {
        *sentAtOnce = true;
        done.pop_back();
      }
    }
  }
  Queue(done);
  return 0;
}

void CIOCompletionPort::CancelDevice(int handle) {
  Device* device = Lookup(handle);
  if (device == nullptr) return;
  std::vector<Packet> done;
  {
    std::lock_guard lock(device->mutex);
    ++device->generation;
    for (PendingList* list : {&device->reads, &device->writes}) {
      for (; !list->Empty(); list->PopFront())
        done.push_back(Packet{device->key, 0, list->Front().buffer, false, ECANCELED});
    }
    device->key = nullptr;
  }
  Queue(done);
}

}  // namespace Sockora
