#include "platform/CMessageTarget.h"

#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/CMessageQueue.h"

namespace {

struct Registration {
  CMessageTarget::Handler* handler;
  std::weak_ptr<CMessageQueue> queue;
  std::shared_ptr<CMessageQueue::Backlog> reports;
};

// The process's targets. Lock order: this registry, then a queue's lock.
struct Registry {
  std::mutex mutex;
  std::map<TargetHandle, Registration> targets;
  TargetHandle next = 1;
};

// Never destroyed: worker threads may still send while statics are torn down at exit.
Registry& TheRegistry() {
  static Registry& registry = *new Registry;
  return registry;
}

// Where a message to a target goes: nowhere (the target or its thread is gone), straight
// to its handler (the calling thread owns it), or into its owner's queue.
enum class Route { Gone, Direct, Queued };

// For Queued, `backlog` (when given) receives the target's report backlog.
Route RouteTo(TargetHandle target, std::shared_ptr<CMessageQueue::Backlog>* backlog = nullptr) {
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  auto it = registry.targets.find(target);
  if (it == registry.targets.end()) return Route::Gone;
  const std::shared_ptr<CMessageQueue> queue = it->second.queue.lock();
  if (!queue) return Route::Gone;
  if (queue == CMessageQueue::IfThisThreadHasOne()) return Route::Direct;
  if (backlog != nullptr) *backlog = it->second.reports;
  return Route::Queued;
}

std::shared_ptr<CMessageQueue::Pending> NewPending(TargetHandle target, unsigned message, WPARAM wParam,
                                                   LPARAM lParam) {
  auto pending = std::make_shared<CMessageQueue::Pending>();
  pending->target = target;
  pending->message = message;
  pending->wParam = wParam;
  pending->lParam = lParam;
  return pending;
}

// Queues the message for its target's owner; false when the target or its thread is gone.
// Under the registry lock, so nothing is queued for a target after its destructor has
// dropped what was queued for it.
bool Enqueue(const std::shared_ptr<CMessageQueue::Pending>& pending) {
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  auto it = registry.targets.find(pending->target);
  if (it == registry.targets.end()) return false;
  const std::shared_ptr<CMessageQueue> queue = it->second.queue.lock();
  return queue && queue->Enqueue(pending);
}

}  // namespace

CMessageTarget::CMessageTarget(Handler handler) : m_handler(std::move(handler)) {
  std::shared_ptr<CMessageQueue> queue = CMessageQueue::ForThisThread();
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  m_handle = registry.next++;
  registry.targets.emplace(m_handle, Registration{&m_handler, queue, std::make_shared<CMessageQueue::Backlog>()});
}

CMessageTarget::~CMessageTarget() {
  std::shared_ptr<CMessageQueue> queue;
  {
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    auto it = registry.targets.find(m_handle);
    queue = it->second.queue.lock();
    registry.targets.erase(it);
  }
  // Senders enqueue under the registry lock, so nothing for this handle arrives after this.
  if (queue) queue->DropMessagesFor(m_handle);
}

LRESULT CMessageTarget::Dispatch(TargetHandle target, unsigned message, WPARAM wParam, LPARAM lParam) {
  Handler* handler = nullptr;
  {
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    auto it = registry.targets.find(target);
    if (it == registry.targets.end()) return 0;
    handler = it->second.handler;
  }
  // Targets are destroyed only on their owner thread, which is this one: the handler
  // outlives the call.
  return (*handler)(message, wParam, lParam);
}

LRESULT CMessageTarget::Send(TargetHandle target, unsigned message, WPARAM wParam, LPARAM lParam) {
  const Route route = RouteTo(target);
  if (route == Route::Gone) return 0;
  if (route == Route::Direct) return Dispatch(target, message, wParam, lParam);
  const std::shared_ptr<CMessageQueue::Pending> pending = NewPending(target, message, wParam, lParam);
  pending->sent = true;
  if (!Enqueue(pending)) return 0;
  if (std::shared_ptr<CMessageQueue> own = CMessageQueue::IfThisThreadHasOne())
    own->WaitHandlingMessages(pending->done, Sockora::Win32::INFINITE);
  else
    pending->done.Wait(Sockora::Win32::INFINITE);
  return pending->result;
}

bool CMessageTarget::Post(TargetHandle target, unsigned message, WPARAM wParam, LPARAM lParam) {
  return Enqueue(NewPending(target, message, wParam, lParam));
}

bool CMessageTarget::PostReport(TargetHandle target, unsigned message, WPARAM wParam, LPARAM lParam,
                                std::shared_ptr<const void> owned) {
  std::shared_ptr<CMessageQueue::Backlog> backlog;
  const Route route = RouteTo(target, &backlog);
  if (route == Route::Gone) return false;
  if (route == Route::Direct) {
    Dispatch(target, message, wParam, lParam);
    return true;
  }
  // Outside the registry lock: the owner may need it to handle the reports it waits for.
  // A target destroyed meanwhile drops its reports, which lets this wait end.
  backlog->Enter(kReportBacklog);
  const std::shared_ptr<CMessageQueue::Pending> pending = NewPending(target, message, wParam, lParam);
  pending->owned = std::move(owned);
  pending->backlog = std::move(backlog);
  return Enqueue(pending);
}
