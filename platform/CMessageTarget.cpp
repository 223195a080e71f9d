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
  auto pending = std::make_shared<CMessageQueue::Pending>();
  pending->target = target;
  pending->message = message;
  pending->wParam = wParam;
  pending->lParam = lParam;
  pending->sent = true;
  {
    Registry& registry = TheRegistry();
    std::unique_lock lock(registry.mutex);
    auto it = registry.targets.find(target);
    if (it == registry.targets.end()) return 0;
    std::shared_ptr<CMessageQueue> queue = it->second.queue.lock();
    if (!queue) return 0;
    if (queue == CMessageQueue::IfThisThreadHasOne()) {
      lock.unlock();
      return Dispatch(target, message, wParam, lParam);
    }
    if (!queue->Enqueue(pending)) return 0;
  }
  if (std::shared_ptr<CMessageQueue> own = CMessageQueue::IfThisThreadHasOne())
    own->WaitHandlingMessages(pending->done, Sockora::Win32::INFINITE);
  else
    pending->done.Wait(Sockora::Win32::INFINITE);
  return pending->result;
}

bool CMessageTarget::Post(TargetHandle target, unsigned message, WPARAM wParam, LPARAM lParam) {
  auto pending = std::make_shared<CMessageQueue::Pending>();
  pending->target = target;
  pending->message = message;
  pending->wParam = wParam;
  pending->lParam = lParam;
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  auto it = registry.targets.find(target);
  if (it == registry.targets.end()) return false;
  std::shared_ptr<CMessageQueue> queue = it->second.queue.lock();
  return queue && queue->Enqueue(pending);
}

bool CMessageTarget::PostReport(TargetHandle target, unsigned message, WPARAM wParam, LPARAM lParam,
                                std::shared_ptr<const void> owned) {
  Registry& registry = TheRegistry();
  std::shared_ptr<CMessageQueue::Backlog> backlog;
  {
    std::unique_lock lock(registry.mutex);
    auto it = registry.targets.find(target);
    if (it == registry.targets.end()) return false;
    std::shared_ptr<CMessageQueue> queue = it->second.queue.lock();
    if (!queue) return false;
    if (queue == CMessageQueue::IfThisThreadHasOne()) {
      lock.unlock();
      Dispatch(target, message, wParam, lParam);
      return true;
    }
    backlog = it->second.reports;
  }
  // Outside the registry lock: the owner may need it to handle the reports it waits for.
  // A target destroyed meanwhile drops its reports, which lets this wait end.
  backlog->Enter(kReportBacklog);
  auto pending = std::make_shared<CMessageQueue::Pending>();
  pending->target = target;
  pending->message = message;
  pending->wParam = wParam;
  pending->lParam = lParam;
  pending->owned = std::move(owned);
  pending->backlog = std::move(backlog);
  std::lock_guard lock(registry.mutex);
  auto it = registry.targets.find(target);
  if (it == registry.targets.end()) return false;
  std::shared_ptr<CMessageQueue> queue = it->second.queue.lock();
  return queue && queue->Enqueue(pending);
}
