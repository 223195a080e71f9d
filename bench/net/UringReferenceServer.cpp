#include "net/UringReferenceServer.h"

#include <fcntl.h>
#include <liburing.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Receives land in a shared ring of provided buffers, so an idle connection costs no
// buffer of its own (as the epoll server's single receive chunk).
constexpr unsigned kBufferCount = 1024;
constexpr unsigned kBufferSize = 16384;
constexpr unsigned kBufferGroup = 0;

enum Op : std::uint64_t { kAccept = 1, kReceive = 2, kSend = 3, kControl = 4 };

// user_data: operation in bits 0-7, descriptor in bits 8-39, the low 24 bits of the
// connection's generation above, so that completions for a closed predecessor on the same
// descriptor number are recognised.
std::uint64_t Tag(Op op, int fd, std::uint32_t generation) {
  return op | (static_cast<std::uint64_t>(static_cast<std::uint32_t>(fd)) << 8) |
         (static_cast<std::uint64_t>(generation & 0xFFFFFFu) << 40);
}

struct Connection {
  std::uint32_t generation = 0;
  bool open = false;
  bool sending = false;
  std::size_t sent = 0;    // bytes of `inFlight` already taken by the socket
  std::string inFlight;    // the send the ring holds
  std::string waiting;     // arrived while a send was in flight
};

[[noreturn]] void Fail(const char* what, int error) {
  std::fprintf(stderr, "io_uring reference: %s: %s\n", what, std::strerror(error));
  std::_Exit(2);
}

class Server {
 public:
  Server(int listener, int controlPipe) : m_listener(listener), m_controlPipe(controlPipe) {
    io_uring_params params{};
    params.flags = IORING_SETUP_CQSIZE | IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN;
    params.cq_entries = 32768;
    int result = io_uring_queue_init_params(4096, &m_ring, &params);
    if (result == -EINVAL) {
      params = io_uring_params{};
      params.flags = IORING_SETUP_CQSIZE;
      params.cq_entries = 32768;
      result = io_uring_queue_init_params(4096, &m_ring, &params);
    }
    if (result < 0) Fail("io_uring_queue_init_params", -result);

    const std::size_t ringBytes = kBufferCount * sizeof(io_uring_buf);
    void* ringMemory = ::mmap(nullptr, ringBytes, PROT_READ | PROT_WRITE, MAP_ANONYMOUS | MAP_PRIVATE, -1, 0);
    if (ringMemory == MAP_FAILED) Fail("mmap", errno);
    m_bufferRing = static_cast<io_uring_buf_ring*>(ringMemory);
    io_uring_buf_reg registration{};
    registration.ring_addr = reinterpret_cast<std::uint64_t>(ringMemory);
    registration.ring_entries = kBufferCount;
    registration.bgid = kBufferGroup;
    result = io_uring_register_buf_ring(&m_ring, &registration, 0);
    if (result < 0) Fail("io_uring_register_buf_ring", -result);
    // Mapped, not allocated, so that only buffers the kernel has filled count as resident.
    void* buffers = ::mmap(nullptr, std::size_t{kBufferCount} * kBufferSize, PROT_READ | PROT_WRITE,
                           MAP_ANONYMOUS | MAP_PRIVATE, -1, 0);
    if (buffers == MAP_FAILED) Fail("mmap", errno);
    m_buffers = static_cast<char*>(buffers);
    io_uring_buf_ring_init(m_bufferRing);
    for (unsigned id = 0; id < kBufferCount; ++id) ReturnBuffer(static_cast<unsigned short>(id));
    io_uring_buf_ring_advance(m_bufferRing, static_cast<int>(m_returned));
    m_returned = 0;

    // The ring waits for the listener and the accepted sockets itself.
    ::fcntl(listener, F_SETFL, ::fcntl(listener, F_GETFL) & ~O_NONBLOCK);
  }

  ~Server() {
    io_uring_queue_exit(&m_ring);
    ::munmap(m_buffers, std::size_t{kBufferCount} * kBufferSize);
    ::munmap(m_bufferRing, kBufferCount * sizeof(io_uring_buf));
  }
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  void Run() {
    io_uring_prep_multishot_accept(Sqe(), m_listener, nullptr, nullptr, SOCK_CLOEXEC);
    io_uring_sqe_set_data64(m_lastSqe, Tag(kAccept, m_listener, 0));
    io_uring_prep_poll_add(Sqe(), m_controlPipe, POLLIN);
    io_uring_sqe_set_data64(m_lastSqe, Tag(kControl, m_controlPipe, 0));
    while (!m_stop) {
      const int result = io_uring_submit_and_wait(&m_ring, 1);
      if (result < 0 && result != -EINTR) Fail("io_uring_submit_and_wait", -result);
      unsigned head;
      unsigned seen = 0;
      io_uring_cqe* cqe;
      io_uring_for_each_cqe(&m_ring, head, cqe) {
        ++seen;
        Handle(*cqe);
      }
      io_uring_cq_advance(&m_ring, seen);
      if (m_returned != 0) {
        io_uring_buf_ring_advance(m_bufferRing, static_cast<int>(m_returned));
        m_returned = 0;
      }
    }
  }

 private:
  io_uring_sqe* Sqe() {
    io_uring_sqe* sqe = io_uring_get_sqe(&m_ring);
    if (sqe == nullptr) {
      io_uring_submit(&m_ring);
      sqe = io_uring_get_sqe(&m_ring);
      if (sqe == nullptr) Fail("io_uring_get_sqe", EBUSY);
    }
    m_lastSqe = sqe;
    return sqe;
  }

  void ReturnBuffer(unsigned short id) {
    io_uring_buf_ring_add(m_bufferRing, &m_buffers[std::size_t{id} * kBufferSize], kBufferSize, id,
                          io_uring_buf_ring_mask(kBufferCount), static_cast<int>(m_returned));
    ++m_returned;
  }

  Connection* Find(std::uint64_t tag) {
    const std::size_t fd = (tag >> 8) & 0xFFFFFFFFu;
    if (fd >= m_connections.size()) return nullptr;
    Connection& connection = m_connections[fd];
    return connection.open && (connection.generation & 0xFFFFFFu) == (tag >> 40) ? &connection : nullptr;
  }

  void ArmReceive(int fd, const Connection& connection) {
    io_uring_prep_recv_multishot(Sqe(), fd, nullptr, 0, 0);
    m_lastSqe->flags |= IOSQE_BUFFER_SELECT;
    m_lastSqe->buf_group = kBufferGroup;
    io_uring_sqe_set_data64(m_lastSqe, Tag(kReceive, fd, connection.generation));
  }

  void ArmSend(int fd, Connection& connection) {
    connection.sending = true;
    io_uring_prep_send(Sqe(), fd, connection.inFlight.data() + connection.sent,
                       connection.inFlight.size() - connection.sent, MSG_NOSIGNAL);
    io_uring_sqe_set_data64(m_lastSqe, Tag(kSend, fd, connection.generation));
  }

  void Close(int fd, Connection& connection) {
    // Shutting down ends the multishot receive, which otherwise keeps the socket alive.
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
    connection.open = false;
    connection.sending = false;
    connection.inFlight = std::string();
    connection.waiting = std::string();
  }

  void Handle(const io_uring_cqe& cqe) {
    const std::uint64_t tag = io_uring_cqe_get_data64(&cqe);
    const int fd = static_cast<int>((tag >> 8) & 0xFFFFFFFFu);
    switch (static_cast<Op>(tag & 0xFF)) {
      case kControl:
        m_stop = true;
        return;
      case kAccept:
        if (cqe.res >= 0) Accepted(cqe.res);
        if (!(cqe.flags & IORING_CQE_F_MORE)) {
          io_uring_prep_multishot_accept(Sqe(), m_listener, nullptr, nullptr, SOCK_CLOEXEC);
          io_uring_sqe_set_data64(m_lastSqe, tag);
        }
        return;
      case kReceive:
        Received(fd, tag, cqe);
        return;
      case kSend:
        Sent(fd, tag, cqe.res);
        return;
    }
  }

  void Accepted(int fd) {
    if (static_cast<std::size_t>(fd) >= m_connections.size()) m_connections.resize(static_cast<std::size_t>(fd) * 2 + 1);
    Connection& connection = m_connections[static_cast<std::size_t>(fd)];
    ++connection.generation;
    connection.open = true;
    connection.sent = 0;
    ArmReceive(fd, connection);
  }

  void Received(int fd, std::uint64_t tag, const io_uring_cqe& cqe) {
    Connection* connection = Find(tag);
    if (cqe.flags & IORING_CQE_F_BUFFER) {
      const auto id = static_cast<unsigned short>(cqe.flags >> IORING_CQE_BUFFER_SHIFT);
      if (connection != nullptr && cqe.res > 0) {
        const char* data = &m_buffers[std::size_t{id} * kBufferSize];
        if (connection->sending) {
          connection->waiting.append(data, static_cast<std::size_t>(cqe.res));
        } else {
          connection->inFlight.assign(data, static_cast<std::size_t>(cqe.res));
          connection->sent = 0;
          ArmSend(fd, *connection);
        }
      }
      ReturnBuffer(id);
    }
    if (connection == nullptr) return;
    if (cqe.res == 0 || (cqe.res < 0 && cqe.res != -ENOBUFS)) {
      Close(fd, *connection);
      return;
    }
    // Out of buffers, or the kernel ended the multishot receive: start it again.
    if (!(cqe.flags & IORING_CQE_F_MORE)) ArmReceive(fd, *connection);
  }

  void Sent(int fd, std::uint64_t tag, int result) {
    Connection* connection = Find(tag);
    if (connection == nullptr) return;
    if (result < 0) {
      Close(fd, *connection);
      return;
    }
    connection->sent += static_cast<std::size_t>(result);
    if (connection->sent < connection->inFlight.size()) {
      ArmSend(fd, *connection);
      return;
    }
    connection->inFlight.swap(connection->waiting);
    connection->waiting.clear();
    connection->sent = 0;
    if (connection->inFlight.empty())
      connection->sending = false;
    else
      ArmSend(fd, *connection);
  }

  const int m_listener;
  const int m_controlPipe;
  io_uring m_ring{};
  io_uring_sqe* m_lastSqe = nullptr;
  io_uring_buf_ring* m_bufferRing = nullptr;
  unsigned m_returned = 0;  // buffers added since the last advance
  char* m_buffers = nullptr;
  std::vector<Connection> m_connections;
  bool m_stop = false;
};

}  // namespace

void RunUringReferenceServer(int listener, int controlPipe) {
  Server server(listener, controlPipe);
  server.Run();
}
