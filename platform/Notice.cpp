#include "platform/Notice.h"

#include <cstdio>
#include <mutex>
#include <utility>

#include "platform/JournalStream.h"

namespace {

struct Hook {
  std::mutex mutex;
  NoticeHook hook;
};

// Never destroyed: service threads may raise a notice while the process exits.
Hook& TheHook() {
  static Hook& hook = *new Hook;
  return hook;
}

int ToStderr(const std::string& text, const std::string& caption, int) {
  const std::string line = (caption.empty() ? std::string("Vantrel") : caption) + ": " + text + "\n";
  std::fputs(ForJournal(stderr, LinePriority::Error, line).c_str(), stderr);
  return IDNO;
}

}  // namespace

int ShowNotice(const std::string& text, const std::string& caption, int type) {
  NoticeHook hook;
  {
    Hook& current = TheHook();
    std::lock_guard lock(current.mutex);
    hook = current.hook;
  }
  // Called without the lock: a hook that shows a modal box must not block other notices.
  return hook ? hook(text, caption, type) : ToStderr(text, caption, type);
}

void SetNoticeHook(NoticeHook hook) {
  Hook& current = TheHook();
  std::lock_guard lock(current.mutex);
  current.hook = std::move(hook);
}
