#pragma once

#include <deque>
#include <functional>
#include <memory>

#include "platform/CEvent.h"
#include "platform/CManualResetEvent.h"
#include "platform/CThread.h"
#include "platform/Messages.h"

// The queue of one thread: messages sent or posted to the targets that thread owns.
// Sent messages are also handled while the owner waits in WaitHandlingMessages, so a
// synchronous send to a thread that is itself waiting cannot deadlock.
class CMessageQueue : public std::enable_shared_from_this<CMessageQueue> {
 public:
  // One queued message. A sent one is completed (result set, `done` signalled) exactly once.
  struct Pending {
    TargetHandle target = 0;
    unsigned message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    bool sent = false;
    LRESULT result = 0;
    Sockora::Win32::CManualResetEvent done;
  };

  // The calling thread's queue, created on first use; it closes when the thread ends.
  static std::shared_ptr<CMessageQueue> ForThisThread();
  // The calling thread's queue if it has one.
  static std::shared_ptr<CMessageQueue> IfThisThreadHasOne();

  CMessageQueue() = default;
  ~CMessageQueue();
  CMessageQueue(const CMessageQueue&) = delete;
  CMessageQueue& operator=(const CMessageQueue&) = delete;

  // Owner thread: handles every sent message now queued; returns how many.
  int ProcessSent();
  // Owner thread: handles everything now queued, sent and posted.
  int ProcessAll();
  // Owner thread: waits for `event` while handling sent messages. False on timeout.
  bool WaitHandlingMessages(Sockora::Win32::CEvent& event, unsigned timeoutMs);
  // Waits without a limit for `thread` to end; a calling thread that has a queue keeps
  // handling the messages sent to it meanwhile, so a thread blocked in a send to it can
  // finish. Not during static destruction (the thread's queue may be gone).
  static void WaitForEnd(Sockora::Win32::CThread& thread);
  // Owner thread: handles messages until Quit; returns the code given to Quit.
  int Run();

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
  int Process(bool sentOnly);

  Sockora::Win32::CEventWaiter m_signal;  // its mutex guards the members below
  std::deque<std::shared_ptr<Pending>> m_pending;
  std::function<void()> m_wakeHook;
  bool m_closed = false;
  bool m_quit = false;
  int m_quitCode = 0;
};
