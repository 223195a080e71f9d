#include "CServiceManagerLink.h"

#include <algorithm>

#include "core/CDataCenter.h"
#include "core/WriteWarning.h"
#include "platform/CMessageQueue.h"
#include "platform/NameThisThread.h"
#include "service/CServiceStatus.h"

using Sockora::Win32::CEvent;
using Sockora::Win32::CStoppableThread;

CServiceManagerLink::CServiceManagerLink(CServiceStatus& status) : m_status(status) {
  if (!m_notify.Enabled()) return;
  if (const auto timeout = m_notify.WatchdogTimeout()) {
    // Several pings within the manager's timeout, and a stuck thread noticed well before it.
    const auto timeoutMs = std::chrono::duration_cast<std::chrono::milliseconds>(*timeout);
    m_period = std::clamp(timeoutMs / 4, std::chrono::milliseconds(100), m_period);
    m_stuckAfter = std::clamp(timeoutMs / 2, std::chrono::milliseconds(200), m_stuckAfter);
  }
  m_thread = CStoppableThread::Launch([this](CEvent& stop) { Rounds(stop); });
}

CServiceManagerLink::~CServiceManagerLink() {
  if (!m_thread) return;
  m_thread->Stop();
  // A round may be waiting for a snapshot from this thread.
  CMessageQueue::WaitForEnd(*m_thread);
  Send("STOPPING=1");
}

void CServiceManagerLink::Ready() {
  if (m_ready || !m_notify.Enabled()) return;
  m_ready = true;
  const ServiceSnapshot snapshot = m_status.Snapshot();
  Send("READY=1\nSTATUS=" + StatusText(snapshot));
}

std::string CServiceManagerLink::StatusText(const ServiceSnapshot& snapshot) {
  std::uint64_t refused = 0;
  for (const auto& [reason, count] : snapshot.Refused) refused += count;
  return std::string(ServiceStateName(snapshot.ServiceState)) + "; " +
         std::to_string(snapshot.Configured) + " configured, " + std::to_string(snapshot.Connected) + " connected, " +
         std::to_string(snapshot.MatchedOnline) + " matched online, " + std::to_string(refused) + " refused";
}

std::string CServiceManagerLink::Trouble(bool answered) const {
  if (!answered) return "the user-interface thread does not answer";
  CDataCenter& center = CDataCenter::Instance();
  const std::pair<const char*, const CDataQueue<DataItem>*> consumers[] = {{"dispatch", &center.TcpRecvQueue},
                                                                           {"COM send", &center.ComSendQueue},
                                                                           {"COM receive", &center.ComRecvQueue},
                                                                           {"TCP send", &center.TcpSendQueue}};
  for (const auto& [name, queue] : consumers) {
    if (queue->ConsumerStuck(m_stuckAfter))
      return std::string("the ") + name + " thread has been at one record for more than " +
             std::to_string(m_stuckAfter.count()) + " ms";
  }
  return {};
}

void CServiceManagerLink::Rounds(CEvent& stop) {
  Sockora::Win32::NameThisThread("notify");
  std::string lastStatus;
  std::string lastTrouble;
  do {
    const std::optional<ServiceSnapshot> snapshot =
        m_status.SnapshotFromAnyThread(static_cast<unsigned>(m_stuckAfter.count()));
    const std::string trouble = Trouble(snapshot.has_value());
    if (trouble != lastTrouble) {
      // The manager will end the service if this lasts; the line says why.
      if (!trouble.empty() && m_notify.WatchdogTimeout())
        WriteWarning("the service manager's watchdog is no longer told that all is well: " + trouble);
      lastTrouble = trouble;
    }
    std::string message;
    if (snapshot && StatusText(*snapshot) != lastStatus) {
      lastStatus = StatusText(*snapshot);
      message = "STATUS=" + lastStatus;
    }
    if (trouble.empty() && m_notify.WatchdogTimeout()) message += (message.empty() ? "" : "\n") + std::string("WATCHDOG=1");
    if (!message.empty()) Send(message);
  } while (!stop.Wait(static_cast<unsigned>(m_period.count())));
}

void CServiceManagerLink::Send(const std::string& message) {
  std::string error;
  if (m_notify.Notify(message, error) || m_sendFailed.exchange(true)) return;
  WriteWarning(error);
}
