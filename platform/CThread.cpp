#include "platform/CThread.h"

#include <cerrno>
#include <exception>
#include <system_error>
#include <thread>

#include "platform/CWin32Exception.h"
#include "platform/WriteDebugLine.h"

namespace Sockora::Win32 {

CThread::CThread() : m_state(std::make_shared<State>()) {}

CThread::~CThread() = default;

void CThread::Start() {
  if (m_started)
    throw CException("CThread::Start()",
                     "Thread already running - you can only call Start() once!");
  std::shared_ptr<State> state = m_state;
  try {
    std::thread([this, state] {
      int exitCode = 0;
      // An exception out of Run ends this thread only, with exit code 0, and says why.
      try {
        exitCode = Run();
      } catch (const CException& error) {
        WriteDebugLine("[ERROR]", "A thread ended by an exception: %s %s\n", error.GetWhere().c_str(),
                       error.GetMessage().c_str());
      } catch (const std::exception& error) {
        WriteDebugLine("[ERROR]", "A thread ended by an exception: %s\n", error.what());
      } catch (...) {
        WriteDebugLine("[ERROR]", "A thread ended by an exception of unknown type\n");
      }
      state->exitCode = exitCode;
      state->ended.Set();
    }).detach();
  } catch (const std::system_error& error) {
    throw CWin32Exception("CThread::Start() - _beginthreadex",
                          static_cast<unsigned>(error.code().value()));
  }
  m_started = true;
}

bool CThread::Wait(unsigned timeoutMs) {
  // A thread that never started has nothing to wait on: an invalid handle.
  if (!m_started) throw CWin32Exception("CThread::Wait() - WaitForSingleObject", EBADF);
  return m_state->ended.Wait(timeoutMs);
}

void CThread::Wait() {
  if (!m_started) throw CWin32Exception("CThread::Wait() - WaitForSingleObject", EBADF);
  if (!m_state->ended.Wait(INFINITE))
    throw CException("CThread::Wait()", "Unexpected timeout on infinite wait");
}

}  // namespace Sockora::Win32
