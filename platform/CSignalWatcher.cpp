#include "platform/CSignalWatcher.h"

#include <pthread.h>

#include <utility>

namespace {

// Our own wake-up at the end; never handed to the handler.
constexpr int kEndSignal = SIGUSR1;

}  // namespace

CSignalWatcher::CSignalWatcher(std::initializer_list<int> watched, Handler handler) : m_handler(std::move(handler)) {
  sigemptyset(&m_signals);
  for (int signal : watched) sigaddset(&m_signals, signal);
  sigaddset(&m_signals, kEndSignal);
  pthread_sigmask(SIG_BLOCK, &m_signals, nullptr);
  m_thread = std::thread([this] {
    for (;;) {
      int received = 0;
      if (sigwait(&m_signals, &received) != 0 || received == kEndSignal) return;
      if (!m_handler(received)) return;
    }
  });
}

CSignalWatcher::~CSignalWatcher() {
  // Also when the thread has ended already (its handler said so): it is joined either way.
  pthread_kill(m_thread.native_handle(), kEndSignal);
  m_thread.join();
}
