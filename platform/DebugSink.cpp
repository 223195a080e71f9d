#include "platform/DebugSink.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "platform/JournalStream.h"

namespace {

struct Sink {
  std::atomic<bool> enabled;
  std::atomic<bool> capturing{false};
  std::mutex mutex;  // guards capture and keeps concurrent lines whole on stderr
  std::function<void(std::string_view)> capture;

  Sink() {
    const char* flag = std::getenv("VANTREL_DEBUG");
    enabled = flag != nullptr && std::strcmp(flag, "1") == 0;
  }
};

// Never destroyed: threads write diagnostics until the very end of the process.
Sink& TheSink() {
  static Sink& sink = *new Sink;
  return sink;
}

}  // namespace

void DebugOutput(std::string_view text) {
  Sink& sink = TheSink();
  const bool enabled = sink.enabled.load(std::memory_order_relaxed);
  if (!enabled && !sink.capturing.load(std::memory_order_relaxed)) return;
  std::lock_guard lock(sink.mutex);
  if (enabled) {
    // Diagnostics are the rest; only those that report a failure are errors.
    const LinePriority priority = text.find("[ERROR]") != std::string_view::npos ? LinePriority::Error : LinePriority::Info;
    const std::string line = ForJournal(stderr, priority, text);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
  }
  if (sink.capture) sink.capture(text);
}

void EnableDebugSink(bool enabled) { TheSink().enabled = enabled; }

bool DebugSinkEnabled() { return TheSink().enabled; }

void SetDebugCapture(std::function<void(std::string_view)> capture) {
  Sink& sink = TheSink();
  std::lock_guard lock(sink.mutex);
  sink.capturing = static_cast<bool>(capture);
  sink.capture = std::move(capture);
}
