#include "platform/CMessageQueue.h"

#include <chrono>
#include <utility>

#include "platform/CMessageTarget.h"

namespace {

// Closes the queue when its thread ends, so that nobody waits for a dead thread.
struct ThreadQueueHolder {
  std::shared_ptr<CMessageQueue> queue;
  ~ThreadQueueHolder() {
    if (queue) queue->Close();
  }
};

thread_local ThreadQueueHolder t_holder;

void Complete(CMessageQueue::Pending& message, LRESULT result) {
  message.result = result;
  message.done.Set();
}

}  // namespace

std::shared_ptr<CMessageQueue> CMessageQueue::ForThisThread() {
  if (!t_holder.queue) t_holder.queue = std::make_shared<CMessageQueue>();
  return t_holder.queue;
}

std::shared_ptr<CMessageQueue> CMessageQueue::IfThisThreadHasOne() { return t_holder.queue; }

CMessageQueue::~CMessageQueue() { Close(); }

bool CMessageQueue::Enqueue(const std::shared_ptr<Pending>& message) {
  std::function<void()> hook;
  bool wake = false;
  {
    std::lock_guard lock(m_signal.mutex);
    if (m_closed) return false;
    // The owner sleeps only on an empty queue (Run) or with `fired` cleared
    // (WaitHandlingMessages): a wake-up is owed only then, and a busy owner gets none.
    wake = m_pending.empty() || !m_signal.fired;
    m_pending.push_back(message);
    m_signal.fired = true;
    if (!message->backlog) {
      m_urgentArrived = true;
      wake = true;  // ends a gathering pause in Run
    }
    hook = m_wakeHook;
  }
  // Outside the lock, so that the woken owner does not at once block on it; the caller
  // holds the queue alive.
  if (wake) m_signal.cv.notify_all();
  if (hook) hook();
  return true;
}

void CMessageQueue::DropMessagesFor(TargetHandle target) {
  std::deque<std::shared_ptr<Pending>> dropped;
  {
    std::lock_guard lock(m_signal.mutex);
    for (auto it = m_pending.begin(); it != m_pending.end();) {
      if ((*it)->target == target) {
        dropped.push_back(*it);
        it = m_pending.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& message : dropped) Complete(*message, 0);
}

void CMessageQueue::Close() {
  std::deque<std::shared_ptr<Pending>> dropped;
  {
    std::lock_guard lock(m_signal.mutex);
    m_closed = true;
    dropped.swap(m_pending);
  }
  for (auto& message : dropped) Complete(*message, 0);
}

void CMessageQueue::Backlog::Enter(std::size_t limit) {
  for (;;) {
    {
      std::lock_guard lock(m_mutex);
      m_limit = limit;
      if (m_count < limit) {
        if (++m_count == limit) m_room.Reset();
        return;
      }
    }
    if (std::shared_ptr<CMessageQueue> own = IfThisThreadHasOne())
      own->WaitHandlingMessages(m_room, Sockora::Win32::INFINITE);
    else
      m_room.Wait(Sockora::Win32::INFINITE);
  }
}

void CMessageQueue::Backlog::Leave() {
  std::lock_guard lock(m_mutex);
  if (m_count == 0) return;
  // Only the step below a full backlog wakes the waiting senders.
  if (m_count-- == m_limit) m_room.Set();
}

int CMessageQueue::Process(bool urgentOnly) {
  int handled = 0;
  for (;;) {
    std::shared_ptr<Pending> message;
    {
      std::lock_guard lock(m_signal.mutex);
      for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
        if (!urgentOnly || (*it)->sent || (*it)->backlog) {
          message = *it;
          m_pending.erase(it);
          break;
        }
      }
    }
    if (!message) return handled;
    const LRESULT result =
        CMessageTarget::Dispatch(message->target, message->message, message->wParam, message->lParam);
    if (message->sent) Complete(*message, result);
    ++handled;
  }
}

int CMessageQueue::ProcessSentAndReports() { return Process(true); }

int CMessageQueue::ProcessAll() { return Process(false); }

bool CMessageQueue::WaitHandlingMessages(Sockora::Win32::CEvent& event, unsigned timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const bool forever = timeoutMs == Sockora::Win32::INFINITE;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
  event.Register(m_signal);
  bool signalled = false;
  for (;;) {
    {
      std::lock_guard lock(m_signal.mutex);
      m_signal.fired = false;
    }
    if (event.TryConsume()) {
      signalled = true;
      break;
    }
    if (ProcessSentAndReports() > 0) continue;
    std::unique_lock lock(m_signal.mutex);
    if (forever) {
      m_signal.cv.wait(lock, [this] { return m_signal.fired; });
    } else if (!m_signal.cv.wait_until(lock, deadline, [this] { return m_signal.fired; })) {
      break;
    }
  }
  event.Unregister(m_signal);
  return signalled;
}

void CMessageQueue::WaitForEnd(Sockora::Win32::CThread& thread) {
  if (std::shared_ptr<CMessageQueue> own = IfThisThreadHasOne())
    own->WaitHandlingMessages(thread.EndedEvent(), Sockora::Win32::INFINITE);
  else
    thread.Wait();
}

int CMessageQueue::Run() {
  for (;;) {
    {
      std::lock_guard lock(m_signal.mutex);
      m_urgentArrived = false;
    }
    ProcessAll();
    std::unique_lock lock(m_signal.mutex);
    m_signal.cv.wait(lock, [this] { return m_quit || !m_pending.empty(); });
    // Only reports so far: the ones that follow gather for a moment, so that a busy
    // forwarding road wakes this thread some hundred times a second instead of twice per
    // record (each wake-up took a core from the forwarding threads).
    if (!m_urgentArrived)
      m_signal.cv.wait_for(lock, kReportGather, [this] { return m_quit || m_urgentArrived; });
    if (m_quit) {
      m_quit = false;
      return m_quitCode;
    }
  }
}

void CMessageQueue::Quit(int code) {
  std::lock_guard lock(m_signal.mutex);
  m_quit = true;
  m_quitCode = code;
  m_signal.cv.notify_all();
}

void CMessageQueue::SetWakeHook(std::function<void()> hook) {
  std::lock_guard lock(m_signal.mutex);
  m_wakeHook = std::move(hook);
}
