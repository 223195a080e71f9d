#include "serial/CSerial.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <thread>

#include "model/WindowMessages.h"
#include "platform/WriteDebugLine.h"
#include "platform/AppPaths.h"
#include "platform/CMessageQueue.h"
#include "platform/CMessageTarget.h"
#include "platform/NameThisThread.h"
#include "platform/Notice.h"
#include "platform/CPairRecord.h"

using Sockora::Win32::CManualResetEvent;
using Sockora::Win32::NameThisThread;

namespace {

constexpr int kLowestPort = 1;
constexpr int kHighestPort = 1024;
constexpr int kWriteBoundMs = 5000;
// How often the event thread looks at a write in progress: the bound is kept to within this.
constexpr int kWriteTickMs = 1000;
// What one read asks for at least: the line discipline hands out at most its 4 KB read
// buffer per read, and fewer, fuller reads cost less than reads cut to a chunk's end.
constexpr int kTtyReadSize = 4096;
// How often the event thread looks at the modem lines and line errors of a device that
// counts them (a real UART); a pty has none and is waited on without a period.
constexpr int kLineCheckMs = 100;

// Error flags as WM_SERIAL_ERR carries them.
constexpr unsigned CE_RXOVER = 0x0001;
constexpr unsigned CE_OVERRUN = 0x0002;
constexpr unsigned CE_RXPARITY = 0x0004;
constexpr unsigned CE_FRAME = 0x0008;

// termios knows only a fixed set of rates: the nearest one is used (the lower on a tie),
// so the dialog's 14400, 56000, 128000 and 256000 become 9600, 57600, 115200 and 230400.
// A pty ignores the rate altogether.
speed_t NearestSpeed(unsigned baudRate) {
  struct Rate {
    unsigned baud;
    speed_t speed;
  };
  static constexpr std::array<Rate, 30> kRates{{
      {50, B50},          {75, B75},          {110, B110},        {134, B134},        {150, B150},
      {200, B200},        {300, B300},        {600, B600},        {1200, B1200},      {1800, B1800},
      {2400, B2400},      {4800, B4800},      {9600, B9600},      {19200, B19200},    {38400, B38400},
      {57600, B57600},    {115200, B115200},  {230400, B230400},  {460800, B460800},  {500000, B500000},
      {576000, B576000},  {921600, B921600},  {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
      {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
  }};
  const Rate* best = &kRates[0];
  for (const Rate& rate : kRates) {
    const auto distance = [baudRate](unsigned baud) {
      return baud > baudRate ? baud - baudRate : baudRate - baud;
    };
    if (distance(rate.baud) < distance(best->baud)) best = &rate;
  }
  return best->speed;
}

// Raw mode with the given line. False when the driver refuses the settings or they
// cannot be expressed at all (rate 0, data bits outside 5..8, unknown codes).
bool ApplyState(int fd, unsigned baudRate, unsigned char byteSize, unsigned char stopBits, unsigned char parity) {
  termios line{};
  if (tcgetattr(fd, &line) != 0) return false;
  if (baudRate == 0 || stopBits > 2 || parity > 4) return false;
  cfmakeraw(&line);
  line.c_cflag |= CLOCAL | CREAD;
  line.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR);
  line.c_iflag &= ~INPCK;
  switch (byteSize) {
    case 5: line.c_cflag |= CS5; break;
    case 6: line.c_cflag |= CS6; break;
    case 7: line.c_cflag |= CS7; break;
    case 8: line.c_cflag |= CS8; break;
    default: return false;
  }
  // One and a half stop bits cannot be asked for: a UART asked for two gives one and a
  // half with 5-bit words, and two (the nearest) with longer ones.
  if (stopBits != 0) line.c_cflag |= CSTOPB;
  // Mark and space parity are a sticky parity bit (CMSPAR), set with PARODD for mark.
  switch (parity) {
    case 1: line.c_cflag |= PARENB | PARODD; break;
    case 2: line.c_cflag |= PARENB; break;
    case 3: line.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case 4: line.c_cflag |= PARENB | CMSPAR; break;
    default: break;
  }
  if (parity != 0) line.c_iflag |= INPCK;
  const speed_t speed = NearestSpeed(baudRate);
  if (cfsetispeed(&line, speed) != 0 || cfsetospeed(&line, speed) != 0) return false;
  return tcsetattr(fd, TCSANOW, &line) == 0;
}

// The signal that ends a blocked write (the write returns what it wrote, or EINTR). Its
// handler does nothing: the interruption is the point.
int InterruptSignal() {
  static const int signal = [] {
    const int chosen = SIGRTMIN + 3;
    struct sigaction action{};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the write must return
    if (::sigaction(chosen, &action, nullptr) != 0)
      WriteDebugLine("[ERROR]", "CSerial: no handler for the write interruption (errno %d)\n", errno);
    return chosen;
  }();
  return signal;
}

// Lets the interruption reach the calling thread: a thread that inherited a mask blocking
// it would otherwise wait in a write that nobody can end. Once per thread.
void AcceptInterruption() {
  thread_local const bool accepted = [] {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, InterruptSignal());
    const int error = pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    if (error != 0)
      WriteDebugLine("[ERROR]", "CSerial: a writing thread cannot take the write interruption (%d)\n", error);
    return error == 0;
  }();
  static_cast<void>(accepted);
}

// Waits for the end of a thread; a thread with a message queue keeps handling what is
// sent to its targets, so a thread blocked in a send to it can finish.
void WaitHandlingMessages(CManualResetEvent& ended) {
  if (std::shared_ptr<CMessageQueue> queue = CMessageQueue::IfThisThreadHasOne())
    queue->WaitHandlingMessages(ended, Sockora::Win32::INFINITE);
  else
    ended.Wait(Sockora::Win32::INFINITE);
}

}  // namespace

// One open descriptor. It is shared by the object, its event thread and any read or
// write in progress, and closed when the last of them lets go, so no call ever uses a
// closed (or already reused) descriptor number.
struct CSerial::Session {
  int fd = -1;
  // A second, blocking descriptor of the device, for Write: the system then waits for
  // room itself, without a poll and a wake-up per refill. The event thread interrupts a
  // write that lasts too long or outlives the session.
  int writeFd = -1;
  int wakeFd = -1;  // an eventfd made readable for good by ClosePort: ends every wait
  int watchFd = -1;  // an eventfd: a write began while the event thread was not timing writes
  std::atomic<bool> stop{false};
  bool hasCounters = false;  // the device counts line events (TIOCGICOUNT)
  // Event thread only: the last chunk filled up, so more input is most likely waiting
  // and the next look reads at once instead of asking poll first.
  bool chunkFilled = false;
  // Event thread only: input read past the end of the last chunk, the start of the next.
  std::array<unsigned char, kTtyReadSize> spill{};
  int spilled = 0;
  serial_icounter_struct lines{};  // the event thread's last look
  std::mutex errorMutex;
  serial_icounter_struct errors{};  // line errors already taken, under errorMutex
  std::shared_ptr<CManualResetEvent> previousEnded;  // the predecessor thread's end

  // The write in progress, under writeMutex (never held across I/O).
  std::mutex writeMutex;
  bool inWrite = false;
  pthread_t writer{};
  std::chrono::steady_clock::time_point writeBegan;
  bool writeTimedOut = false;  // the event thread ended the write for the bound
  bool timingWrites = false;  // the event thread wakes every kWriteTickMs
  bool wroteThisTick = false;
  std::chrono::steady_clock::time_point lastTick;  // event thread only

  ~Session() {
    if (watchFd >= 0) ::close(watchFd);
    if (wakeFd >= 0) ::close(wakeFd);
    if (writeFd >= 0) ::close(writeFd);
    if (fd >= 0) ::close(fd);
  }

  void Stop() {
    stop = true;
    // Gives the device up at once, so that a reopen is not refused as "held elsewhere".
    flock(fd, LOCK_UN);
    const std::uint64_t one = 1;
    if (::write(wakeFd, &one, sizeof one) < 0 && errno != EAGAIN)
      WriteDebugLine("[ERROR]", "CSerial: waking the event thread failed (errno %d)\n", errno);
  }

  // Waits up to timeoutMs (-1: no limit) for `events` on the device or for the stop.
  // Returns the device's revents, 0 on time-out or stop.
  // With `writes`, also ends when a write begins that the event thread must time.
  short WaitFor(short events, int timeoutMs, bool writes = false) const {
    pollfd fds[3] = {{fd, events, 0}, {wakeFd, POLLIN, 0}, {watchFd, POLLIN, 0}};
    const int ready = ::poll(fds, writes ? 3 : 2, timeoutMs);
    if (ready <= 0) return 0;  // time-out, or EINTR: the caller looks again
    if (writes && fds[2].revents != 0) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t got = ::read(watchFd, &count, sizeof count);
    }
    return fds[1].revents != 0 ? 0 : fds[0].revents;
  }

  // Writing thread. False once the session is stopping: no write may begin then.
  bool BeginWrite() {
    bool wake = false;
    {
      std::lock_guard lock(writeMutex);
      if (stop) return false;
      inWrite = true;
      writer = pthread_self();
      writeBegan = std::chrono::steady_clock::now();
      writeTimedOut = false;
      wroteThisTick = true;
      wake = !timingWrites;
      timingWrites = true;
    }
    const std::uint64_t one = 1;
    if (wake && ::write(watchFd, &one, sizeof one) < 0 && errno != EAGAIN)
      WriteDebugLine("[ERROR]", "CSerial: waking the event thread for a write failed (errno %d)\n", errno);
    return true;
  }
  // Writing thread. True when the event thread ended the write for the bound.
  bool EndWrite() {
    std::lock_guard lock(writeMutex);
    inWrite = false;
    return writeTimedOut;
  }

  // Event thread. Ends a write that has lasted the bound (or any, once stopping) and
  // stops the ticks when no write began since the last one. The timeout for the next
  // wait: -1 when no write needs timing.
  int TimeWrites() {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(writeMutex);
    if (inWrite && now - writeBegan >= std::chrono::milliseconds(kWriteBoundMs)) {
      writeTimedOut = true;
      pthread_kill(writer, InterruptSignal());
    }
    if (now - lastTick >= std::chrono::milliseconds(kWriteTickMs)) {
      lastTick = now;
      if (!inWrite && !wroteThisTick) timingWrites = false;
      wroteThisTick = false;
    }
    return timingWrites ? kWriteTickMs : -1;
  }
  // Event thread, once stopping (no write begins then): interrupts the write in progress
  // until it has ended, so that none outlives the thread that times it.
  void EndWrites() {
    for (;;) {
      {
        std::lock_guard lock(writeMutex);
        if (!inWrite) return;
        pthread_kill(writer, InterruptSignal());
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
};

CSerial::CSerial(Listener& listener) : m_listener(listener) {}

CSerial::~CSerial() {
  ClosePort();
  std::shared_ptr<CManualResetEvent> ended;
  {
    std::lock_guard lock(m_sessionMutex);
    ended = m_lastThreadEnded;
  }
  // The event thread calls this object's handlers: it must be gone first.
  if (ended) WaitHandlingMessages(*ended);
}

std::string CSerial::DevicePath(int portNumber) {
  const std::string entry = PortDirectory() + "/COM" + std::to_string(portNumber);
  struct stat info{};
  if (::lstat(entry.c_str(), &info) == 0) return entry;
  return "/dev/ttyS" + std::to_string(portNumber - 1);
}

bool CSerial::Open(int portNumber, unsigned baudRate, unsigned char byteSize, unsigned char stopBits,
                   unsigned char parity) {
  if (portNumber < kLowestPort || portNumber > kHighestPort) return false;
  if (IsOpen()) return false;

  auto session = std::make_shared<Session>();
  session->fd = ::open(DevicePath(portNumber).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (session->fd < 0) return false;
  // A setupc pair whose holder is gone is missing: its link leads to a pty number that
  // the system may have handed to another program's terminal.
  if (CPairRecord::IsOrphanedEnd(PortDirectory(), "COM" + std::to_string(portNumber))) {
    WriteDebugLine("[ERROR]", "CSerial: COM%d is an end of a setupc pair whose holder is gone; not opened\n",
                   portNumber);
    return false;
  }
  // Exclusive, as a COM port is: a second port object (another name for the same
  // device) is refused. An advisory lock, because TIOCEXCL does not stop root.
  if (flock(session->fd, LOCK_EX | LOCK_NB) != 0) return false;
  if (!ApplyState(session->fd, baudRate, byteSize, stopBits, parity)) return false;
  session->writeFd = ::open(("/proc/self/fd/" + std::to_string(session->fd)).c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (session->writeFd < 0) {
    WriteDebugLine("[ERROR]", "CSerial: COM%d cannot be opened a second time for writing (errno %d)\n", portNumber,
                   errno);
    return false;
  }
  InterruptSignal();
  session->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  session->watchFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (session->wakeFd < 0 || session->watchFd < 0) {
    ShowNotice(" SetCommMask failed", "", 0);
    return false;
  }
  session->hasCounters = ::ioctl(session->fd, TIOCGICOUNT, &session->lines) == 0;
  session->errors = session->lines;

  auto ended = std::make_shared<CManualResetEvent>();
  {
    std::lock_guard lock(m_sessionMutex);
    session->previousEnded = m_lastThreadEnded;
    m_session = session;
  }
  try {
    std::thread([this, session, ended, portNumber]() mutable {
      NameThisThread(("read COM" + std::to_string(portNumber)).c_str());
      WatchEvents(session);
      session.reset();  // the descriptor closes here unless a read or write still holds it
      ended->Set();
    }).detach();
  } catch (const std::system_error& error) {
    WriteDebugLine("[ERROR]", "CSerial: no event thread for COM%d (%s)\n", portNumber, error.what());
    std::lock_guard lock(m_sessionMutex);
    m_session.reset();
    return false;
  }
  {
    std::lock_guard lock(m_sessionMutex);
    m_lastThreadEnded = ended;
  }
  m_portNumber = portNumber;
  return true;
}

bool CSerial::IsOpen() const { return CurrentSession() != nullptr; }

void CSerial::ClosePort() {
  std::shared_ptr<Session> session;
  {
    std::lock_guard lock(m_sessionMutex);
    session = std::move(m_session);
  }
  if (session) session->Stop();
}

std::shared_ptr<CSerial::Session> CSerial::CurrentSession() const {
  std::lock_guard lock(m_sessionMutex);
  return m_session;
}

void CSerial::WatchEvents(const std::shared_ptr<Session>& session) {
  if (session->previousEnded) session->previousEnded->Wait(Sockora::Win32::INFINITE);
  session->previousEnded.reset();
  int writeTick = -1;
  while (!session->stop) {
    int timeout = session->hasCounters ? kLineCheckMs : -1;
    if (writeTick >= 0 && (timeout < 0 || writeTick < timeout)) timeout = writeTick;
    const short revents = session->chunkFilled ? POLLIN : session->WaitFor(POLLIN, timeout, true);
    session->chunkFilled = false;
    writeTick = session->TimeWrites();
    if (session->stop) break;
    if (session->hasCounters) CheckLines(*session);
    if ((revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      PortGone(session);
      break;
    }
    if ((revents & POLLIN) != 0) OnReceive();
  }
  session->EndWrites();
}

// Reports a change of one kind of line event; several kinds at once report none, as
// the event word of a COM port does.
void CSerial::CheckLines(Session& session) {
  serial_icounter_struct now{};
  if (::ioctl(session.fd, TIOCGICOUNT, &now) != 0) return;
  const serial_icounter_struct before = session.lines;
  session.lines = now;
  const bool cts = now.cts != before.cts;
  const bool dsr = now.dsr != before.dsr;
  const bool ring = now.rng != before.rng;
  const bool rlsd = now.dcd != before.dcd;
  const bool brk = now.brk != before.brk;
  if (cts + dsr + ring + rlsd + brk != 1) return;
  int modem = 0;
  const bool haveModem = ::ioctl(session.fd, TIOCMGET, &modem) == 0;
  if (cts && haveModem) OnCts((modem & TIOCM_CTS) != 0);
  if (dsr && haveModem) OnDsr((modem & TIOCM_DSR) != 0);
  if (ring) OnRing();
  if (rlsd) OnRlsd();
  if (brk) OnBreak();
}

void CSerial::PortGone(const std::shared_ptr<Session>& session) {
  {
    std::lock_guard lock(m_sessionMutex);
    if (m_session != session) return;  // closed meanwhile: nothing of ours is gone
    m_session.reset();
  }
  session->Stop();
  m_listener.OnPortGone(*this);
}

bool CSerial::TakeLineErrors(Session& session) {
  if (!session.hasCounters) return false;
  serial_icounter_struct now{};
  if (::ioctl(session.fd, TIOCGICOUNT, &now) != 0) return false;
  unsigned errors = 0;
  {
    std::lock_guard lock(session.errorMutex);
    if (now.buf_overrun != session.errors.buf_overrun) errors |= CE_RXOVER;
    if (now.overrun != session.errors.overrun) errors |= CE_OVERRUN;
    if (now.parity != session.errors.parity) errors |= CE_RXPARITY;
    if (now.frame != session.errors.frame) errors |= CE_FRAME;
    session.errors = now;
  }
  if (errors == 0) return false;
  tcflush(session.fd, TCIFLUSH);
  OnLineError(errors);
  return true;
}

int CSerial::ReadSome(Session& session, unsigned char* buffer, int size) {
  if (session.stop || TakeLineErrors(session)) return 0;
  for (;;) {
    const ssize_t got = ::read(session.fd, buffer, static_cast<size_t>(size));
    if (got > 0) return static_cast<int>(got);
    if (got < 0 && errno == EINTR) continue;
    // 0 is a hang-up and EAGAIN an empty queue: both an empty look. Anything else
    // (EIO: the device failed) too; the event thread sees the hang-up and reports it.
    if (got < 0 && errno != EAGAIN)
      WriteDebugLine("[ERROR]", "CSerial: read from COM%d failed (errno %d)\n", m_portNumber.load(), errno);
    return 0;
  }
}

int CSerial::ReadBlock(unsigned char* buffer) {
  const std::shared_ptr<Session> session = CurrentSession();
  if (!session) return 0;
  int total = session->spilled;
  std::memcpy(buffer, session->spill.data(), static_cast<std::size_t>(total));
  session->spilled = 0;
  bool idle = false;
  for (;;) {
    const int room = CS_BUFF_LEN - total;
    int got = 0;
    if (room >= kTtyReadSize) {
      got = ReadSome(*session, buffer + total, room);
    } else {
      got = ReadSome(*session, session->spill.data(), kTtyReadSize);
      const int used = std::min(got, room);
      std::memcpy(buffer + total, session->spill.data(), static_cast<std::size_t>(used));
      session->spilled = got - used;
      std::memmove(session->spill.data(), session->spill.data() + used, static_cast<std::size_t>(session->spilled));
      got = used;
    }
    if (got > 0) {
      total += got;
      idle = false;
      if (total >= CS_BUFF_LEN) {
        // Also what brings a spilled rest out when no more input follows it.
        session->chunkFilled = true;
        return total;
      }
      continue;
    }
    const unsigned wait = m_idleWait;
    // Without an idle wait the first empty look ends the chunk; a second would find the
    // same nothing.
    if (idle || wait == 0) return total;
    idle = true;
    // The idle wait ends early when input arrives (it joins the chunk either way) or
    // when the port is closed.
    session->WaitFor(POLLIN, static_cast<int>(wait));
  }
}

int CSerial::Write(const unsigned char* buffer, int length) {
  const std::shared_ptr<Session> session = CurrentSession();
  if (!session || TakeLineErrors(*session)) return 0;
  AcceptInterruption();
  // The bound is on a write that takes nothing: a slow line (a real UART at a low rate)
  // may take longer than the bound for a whole record and still be working, and the
  // interrupted write then returns what it took.
  int written = 0;
  while (written < length && session->BeginWrite()) {
    const ssize_t put = ::write(session->writeFd, buffer + written, static_cast<size_t>(length - written));
    const int error = errno;
    const bool timedOut = session->EndWrite();
    if (put > 0) {
      written += static_cast<int>(put);
      continue;
    }
    // Interrupted while stopping: BeginWrite refuses the next round.
    if (put < 0 && error == EINTR && !timedOut) continue;
    // EIO: the far side is gone (pty hang-up, adapter unplugged); others: a failing device.
    if (put < 0 && error != EINTR)
      WriteDebugLine("[ERROR]", "CSerial: write to COM%d failed (errno %d)\n", m_portNumber.load(), error);
    break;
  }
  return written;
}

int CSerial::WriteNow(const unsigned char* buffer, int length) {
  const std::shared_ptr<Session> session = CurrentSession();
  if (!session || session->hasCounters) return -1;
  for (;;) {
    const ssize_t put = ::write(session->fd, buffer, static_cast<size_t>(length));
    if (put >= 0) return static_cast<int>(put);
    if (errno == EINTR) continue;
    // Failures are left to Write, which reports them.
    return errno == EAGAIN ? 0 : -1;
  }
}

void CSerial::OnCts(bool on) { CMessageTarget::Send(m_owner, WM_SERIAL_CTS, 0, on ? 1 : 0); }
void CSerial::OnDsr(bool on) { CMessageTarget::Send(m_owner, WM_SERIAL_DSR, 0, on ? 1 : 0); }
void CSerial::OnRing() { CMessageTarget::Send(m_owner, WM_SERIAL_RING, 0, 0); }
void CSerial::OnRlsd() { CMessageTarget::Send(m_owner, WM_SERIAL_RLSD, 0, 0); }
void CSerial::OnBreak() { CMessageTarget::Send(m_owner, WM_SERIAL_BREAK, 0, 0); }
void CSerial::OnLineError(unsigned errors) {
  CMessageTarget::Send(m_owner, WM_SERIAL_ERR, 0, static_cast<LPARAM>(errors));
}
void CSerial::OnReceive() { m_listener.OnPortInput(*this); }
