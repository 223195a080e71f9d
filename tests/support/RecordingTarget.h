#pragma once

#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/CMessageQueue.h"
#include "platform/CMessageTarget.h"

// A message target on a thread of its own that runs a message loop and records what it
// is sent; it stands in for a window. `copy` turns lParam into something that outlives
// the call (the pointer in a message is valid only while it is handled).
template <typename Copy>
class RecordingTarget {
 public:
  struct Message {
    unsigned message;
    WPARAM wParam;
    Copy copy;
  };
  using CopyFn = std::function<Copy(unsigned message, WPARAM wParam, LPARAM lParam)>;

  explicit RecordingTarget(CopyFn copyFn) : m_copyFn(std::move(copyFn)) {
    std::promise<TargetHandle> ready;
    auto handle = ready.get_future();
    m_thread = std::thread([this, &ready] {
      CMessageTarget target([this](unsigned message, WPARAM wParam, LPARAM lParam) -> LRESULT {
        std::lock_guard lock(m_mutex);
        m_messages.push_back(Message{message, wParam, m_copyFn(message, wParam, lParam)});
        return 1;
      });
      m_queue = CMessageQueue::ForThisThread();
      ready.set_value(target.Handle());
      m_queue->Run();
    });
    m_handle = handle.get();
  }

  ~RecordingTarget() {
    m_queue->Quit(0);
    m_thread.join();
  }

  TargetHandle Handle() const { return m_handle; }

  std::vector<Message> Messages() {
    std::lock_guard lock(m_mutex);
    return m_messages;
  }

  void Clear() {
    std::lock_guard lock(m_mutex);
    m_messages.clear();
  }

 private:
  CopyFn m_copyFn;
  std::mutex m_mutex;
  std::vector<Message> m_messages;
  std::shared_ptr<CMessageQueue> m_queue;
  TargetHandle m_handle = 0;
  std::thread m_thread;
};
