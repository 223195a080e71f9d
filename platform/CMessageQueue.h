#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/CEvent.h"
#include "platform/CManualResetEvent.h"
#include "platform/CThread.h"
#include "platform/Messages.h"

// The queue of one thread: messages sent or posted to the targets that thread owns.
// Sent messages and reports are also handled while the owner waits in
// WaitHandlingMessages, so a sender held up by a thread that is itself waiting for it
// cannot deadlock.
class CMessageQueue : public std::enable_shared_from_this<CMessageQueue> {
 public:
  // The reports posted to one target and not yet handled. Any thread.
  class Backlog {
   public:
    // Counts one more report; first waits while `limit` are unhandled, handling the
    // messages sent to the calling thread's own queue meanwhile.
    void Enter(std::size_t limit);
    // One report is handled or dropped.
    void Leave();

   private:
    std::mutex m_mutex;
    std::size_t m_count = 0;
    std::size_t m_limit = 0;
    Sockora::Win32::CManualResetEvent m_room{true};  // set while below the limit
  };

  // One queued message. A sent one is completed (result set, `done` signalled) exactly once.
  struct Pending {
    Pending() = default;
    Pending(const Pending&) = delete;
    Pending& operator=(const Pending&) = delete;
    // A report leaves its target's backlog when it is handled or dropped.
    ~Pending() {
      if (backlog) backlog->Leave();
    }

    TargetHandle target = 0;
    unsigned message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    bool sent = false;
    LRESULT result = 0;
    Sockora::Win32::CManualResetEvent done;
    std::shared_ptr<const void> owned;  // what lParam points into, for a report
    std::shared_ptr<Backlog> backlog;   // set for a report
  };

  // The calling thread's queue, created on first use; it closes when the thread ends.
  static std::shared_ptr<CMessageQueue> ForThisThread();
  // The calling thread's queue if it has one.
  static std::shared_ptr<CMessageQueue> IfThisThreadHasOne();

  CMessageQueue() = default;
  ~CMessageQueue();
  CMessageQueue(const CMessageQueue&) = delete;
  CMessageQueue& operator=(const CMessageQueue&) = delete;

  // Owner thread: handles every sent message and every report now queued, in their
  // order; returns how many.
  int ProcessSentAndReports();
  // Owner thread: handles everything now queued, sent and posted.
  int ProcessAll();
  // Owner thread: waits for `event` while handling sent messages and reports. False on timeout.
  bool WaitHandlingMessages(Sockora::Win32::CEvent& event, unsigned timeoutMs);
  // Waits without a limit for `thread` to end; a calling thread that has a queue keeps
  // handling the messages sent and the reports posted to it meanwhile, so a thread
  // blocked in a send or a full report backlog can finish. Not during static destruction (the thread's queue may be gone).
  static void WaitForEnd(Sockora::Win32::CThread& thread);
  // Owner thread: handles messages until Quit; returns the code given to Quit. Sent and
  // posted messages are handled at once; reports alone wait up to kReportGather, so that
  // they are handled in batches.
  int Run();
  static constexpr std::chrono::milliseconds kReportGather{10};

  // Any thread.
  void Quit(int code);
  // Any thread. Called after each message arrives (from the sender's thread): a GUI
  // uses it to schedule ProcessAll on its own event loop.
  void SetWakeHook(std::function<void()> hook);

  // Sender side, used by CMessageTarget. Any thread. Returns false if the queue has
  // closed (its thread ended); the message is then not queued.
  bool Enqueue(const std::shared_ptr<Pending>& message);
  // Completes every queued message for `target` with 0 (the target is gone).
  void DropMessagesFor(TargetHandle target);
  // The owning thread has ended: fail everything queued and refuse new messages.
  void Close();

 private:
  int Process(bool urgentOnly);

  Sockora::Win32::CEventWaiter m_signal;  // its mutex guards the members below
  std::deque<std::shared_ptr<Pending>> m_pending;
  std::function<void()> m_wakeHook;
  bool m_closed = false;
  bool m_urgentArrived = false;  // a sent or posted message came since Run last looked
  bool m_quit = false;
  int m_quitCode = 0;
};
