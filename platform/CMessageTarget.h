#pragma once

#include <functional>

#include "platform/Messages.h"

// Stands in for a window: it belongs to the thread that constructs it, and messages
// to it are handled on that thread. Construct and destroy on the owner thread.
class CMessageTarget {
 public:
  using Handler = std::function<LRESULT(unsigned message, WPARAM wParam, LPARAM lParam)>;

  explicit CMessageTarget(Handler handler);
  // Messages still queued for the target complete with 0; later sends return 0.
  ~CMessageTarget();
  CMessageTarget(const CMessageTarget&) = delete;
  CMessageTarget& operator=(const CMessageTarget&) = delete;

  TargetHandle Handle() const { return m_handle; }

  // Any thread. From the owner thread the handler runs at once; from another thread the
  // call blocks until the owner has handled it, handling messages sent to the caller's
  // own targets meanwhile. A target that is gone (or handle 0) answers 0 at once.
  static LRESULT Send(TargetHandle target, unsigned message, WPARAM wParam, LPARAM lParam);
  // Any thread. Queues and returns; false if the target is gone.
  static bool Post(TargetHandle target, unsigned message, WPARAM wParam, LPARAM lParam);

  // Used by the owner's queue to run the handler; 0 if the target is gone.
  static LRESULT Dispatch(TargetHandle target, unsigned message, WPARAM wParam, LPARAM lParam);

 private:
  TargetHandle m_handle;
  Handler m_handler;
};
