#pragma once

#include <cstddef>
#include <functional>
#include <memory>

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
  // Any thread. A report: posted, so the sender does not wait for the owner, and kept in
  // order with everything the sender sends or reports to the target. `owned` keeps what
  // lParam points into alive until the report is handled or dropped. The sender waits
  // only while kReportBacklog reports to the target are unhandled; the owner also
  // handles reports while it waits in WaitHandlingMessages. From the owner thread the
  // handler runs at once. False if the target is gone (nothing is handled then).
  static bool PostReport(TargetHandle target, unsigned message, WPARAM wParam, LPARAM lParam,
                         std::shared_ptr<const void> owned);

  static constexpr std::size_t kReportBacklog = 4096;

  // Used by the owner's queue to run the handler; 0 if the target is gone.
  static LRESULT Dispatch(TargetHandle target, unsigned message, WPARAM wParam, LPARAM lParam);

 private:
  TargetHandle m_handle;
  Handler m_handler;
};
