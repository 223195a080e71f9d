#include "net/WriteTrace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/AppPaths.h"
#include "platform/CCriticalSection.h"
#include "platform/CScopedLock.h"
#include "platform/CWin32Exception.h"
#include "platform/DebugSink.h"

namespace Sockora {

namespace {

// One busy server writes a line per received buffer: past this size the file becomes
// "Sockora.log.1" (one old file kept) and a new one starts.
constexpr off_t kRotateBytes = 4 * 1024 * 1024;
// Per-buffer lines are written to the file in blocks of about this size: a write per
// line cost a busy server more than the rest of a record's way to its port.
constexpr std::size_t kGatherBytes = 4096;
constexpr std::string_view kHeader = "****************New Log*****************\n";

class TraceLog {
 public:
  void Write(std::string_view message, bool gather) {
    const std::string line = LineOf(message);
    Win32::CScopedLock lock(m_lock);
    DebugOutput(line);
    m_gathered += line;
    if (!gather || m_gathered.size() >= kGatherBytes) WriteGathered();
  }

  void Flush() {
    Win32::CScopedLock lock(m_lock);
    if (!m_gathered.empty()) WriteGathered();
  }

 private:
  static std::string LineOf(std::string_view message) {
    // Cached: one system call less for each of the many per-buffer lines.
    thread_local const std::string t_prefix = std::to_string(::syscall(SYS_gettid)) + ": ";
    std::string line;
    line.reserve(t_prefix.size() + message.size() + 1);
    line += t_prefix;
    line += message;
    line += '\n';
    return line;
  }

  // Under the lock.
  void WriteGathered() {
    if (!m_opened) Open();
    if (m_fd >= 0) {
      if (m_size + static_cast<off_t>(m_gathered.size()) > kRotateBytes) Rotate();
      if (m_fd >= 0) WriteAll(m_gathered);
    }
    m_gathered.clear();
  }

  // The first open of a run writes the header; a failed open is not retried this run.
  void Open() {
    m_opened = true;
    m_path = AppFilePath("Sockora.log");
    if (!OpenFile()) {
      DebugOutput("Sockora.log cannot be opened: " + Win32::FormatErrorText(errno));
      return;
    }
    WriteAll(kHeader);
  }

  bool OpenFile() {
    const unsigned mode = DataFileMode(ApplicationDirectory());
    m_fd = ::open(m_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, mode);
    if (m_fd < 0) return false;
    struct stat info {};
    m_size = ::fstat(m_fd, &info) == 0 ? info.st_size : 0;
    // A new log of ours: the umask would take the group's write access off it in a shared folder.
    if (m_size == 0 && info.st_uid == ::geteuid() && ::fchmod(m_fd, mode) != 0)
      DebugOutput("Sockora.log keeps its first access bits: " + Win32::FormatErrorText(errno));
    return true;
  }

  void Rotate() {
    ::close(m_fd);
    m_fd = -1;
    const std::string old = m_path + ".1";
    if (::rename(m_path.c_str(), old.c_str()) != 0)
      DebugOutput("Sockora.log could not be rotated; tracing to the file stops\n");
    else
      OpenFile();
  }

  // A failed write (a full disk) loses the lines at hand but not the log: the next lines are
  // tried again, so tracing comes back by itself once there is room.
  void WriteAll(std::string_view text) {
    while (!text.empty()) {
      const ssize_t written = ::write(m_fd, text.data(), text.size());
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        if (m_failedWrites++ == 0)
          DebugOutput("Sockora.log write failed; lines are lost until it can be written again: " +
                      Win32::FormatErrorText(errno));
        return;
      }
      text.remove_prefix(static_cast<size_t>(written));
      m_size += written;
    }
    if (m_failedWrites > 0) {
      DebugOutput("Sockora.log is written again; " + std::to_string(m_failedWrites) + " writes were lost\n");
      m_failedWrites = 0;
    }
  }

  Win32::CCriticalSection m_lock;
  bool m_opened = false;
  int m_fd = -1;
  off_t m_size = 0;
  unsigned long m_failedWrites = 0;  // since the last write that went
  std::string m_path;
  std::string m_gathered;  // lines not yet in the file, in order
};

// Never destroyed: threads may trace until the very end of the process.
TraceLog& TheTraceLog() {
  static TraceLog& log = *new TraceLog;
  return log;
}

}  // namespace

void WriteTrace(std::string_view message) { TheTraceLog().Write(message, false); }

void WriteFrequentTrace(std::string_view message) { TheTraceLog().Write(message, true); }

void FlushTrace() { TheTraceLog().Flush(); }

}  // namespace Sockora
