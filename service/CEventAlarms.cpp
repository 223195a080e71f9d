#include "service/CEventAlarms.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "core/CTunnelTable.h"
#include "core/WriteWarning.h"
#include "model/SettingInfo.h"
#include "platform/AppPaths.h"
#include "platform/NameThisThread.h"

namespace {

// "2026-12-11T07:35:35+01:00": what a script can hand to date(1) or a mail as it is.
std::string IsoTime(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
  std::string iso = text;
  if (iso.size() > 2) iso.insert(iso.size() - 2, ":");
  return iso;
}

// "30 s", "0.3 s".
std::string SecondsText(std::chrono::milliseconds span) {
  const long long ms = span.count();
  std::string text = std::to_string(ms / 1000);
  if (ms % 1000 != 0) {
    std::string fraction = std::to_string(1000 + ms % 1000).substr(1);
    fraction.erase(fraction.find_last_not_of('0') + 1);
    text += "." + fraction;
  }
  return text + " s";
}

std::string Described(const std::string& event, const std::string& subject) {
  return subject.empty() ? event : event + " of " + subject;
}

}  // namespace

CEventAlarms::CEventAlarms(Limits limits) : m_limits(limits) {
  m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m_wakeFd < 0) throw std::system_error(errno, std::generic_category(), "eventfd for the alarms");
  m_thread = std::thread([this] { Thread(); });
}

CEventAlarms::~CEventAlarms() {
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
  }
  Wake();
  m_thread.join();
  close(m_wakeFd);
}

void CEventAlarms::Wake() {
  const std::uint64_t one = 1;
  // A full counter already wakes the thread.
  [[maybe_unused]] const ssize_t written = write(m_wakeFd, &one, sizeof one);
}

void CEventAlarms::Observe(const DeviceEvent& event) {
  namespace Name = DeviceEventName;
  const std::time_t now = std::time(nullptr);
  {
    std::lock_guard lock(m_mutex);
    if (event.Event == Name::kRegistered || event.Event == Name::kUnconfigured) {
      auto it = m_devices.find(event.DeviceId);
      if (it == m_devices.end()) return;
      if (it->second.Raised)
        Raise(Name::kOnline, event.DeviceId, event.Address, event.Port,
              "back online from " + event.Address + " after being offline since " + IsoTime(it->second.Since), now);
      m_devices.erase(it);
    } else if (event.Event == Name::kOffline) {
      // Only a device someone configured is missed; a scan of random IDs raises nothing.
      if (!CTunnelTable::Instance().Contains(event.DeviceId)) return;
      const std::chrono::seconds grace(CurrentSettings().OfflineAlarmSeconds);
      m_devices.emplace(event.DeviceId, Outage{Clock::now() + grace, false, now, event.Address, event.Port,
                                               "offline for " + std::to_string(grace.count()) + " s: " + event.Detail});
    } else if (event.Event == Name::kPortFailed) {
      m_ports.emplace(event.Port, Outage{Clock::now() + m_limits.PortGrace, false, now, "", event.Port,
                                         "failed for " + SecondsText(m_limits.PortGrace) + ": " + event.Detail});
    } else if (event.Event == Name::kPortRecovered) {
      auto it = m_ports.find(event.Port);
      if (it == m_ports.end()) return;
      if (it->second.Raised)
        Raise(Name::kPortRecovered, "", "", event.Port, "open again after failing since " + IsoTime(it->second.Since),
              now);
      m_ports.erase(it);
    } else if (event.Event == Name::kStoreLimitReached) {
      Raise(event.Event, "", "", "", event.Detail, now);
    } else {
      return;
    }
  }
  Wake();
}

void CEventAlarms::Forget() {
  std::lock_guard lock(m_mutex);
  m_devices.clear();
  m_ports.clear();
}

void CEventAlarms::Raise(const std::string& event, const std::string& deviceId, const std::string& address,
                         const std::string& port, const std::string& detail, std::time_t when) {
  const std::string command = CurrentSettings().EventCommand;
  if (command.empty()) return;
  if (m_waiting.size() >= m_limits.MaxWaiting) {
    ++m_dropped;
    return;
  }
  m_waiting.push_back(Alarm{{{"VANTREL_EVENT", event},
                             {"VANTREL_DEVICE_ID", deviceId},
                             {"VANTREL_ADDRESS", address},
                             {"VANTREL_PORT", port},
                             {"VANTREL_DETAIL", detail},
                             {"VANTREL_TIME", IsoTime(when)}},
                            Described(event, deviceId.empty() ? port : "device " + deviceId)});
}

CEventAlarms::Clock::time_point CEventAlarms::RaiseDue() {
  const Clock::time_point now = Clock::now();
  Clock::time_point next = Clock::time_point::max();
  const auto raise = [&](std::map<std::string, Outage>& outages, const char* event, bool device) {
    for (auto& [key, outage] : outages) {
      if (outage.Raised) continue;
      if (outage.Due > now) {
        next = std::min(next, outage.Due);
        continue;
      }
      outage.Raised = true;
      Raise(event, device ? key : "", outage.Address, outage.Port, outage.Detail, outage.Since);
    }
  };
  raise(m_devices, DeviceEventName::kOffline, true);
  raise(m_ports, DeviceEventName::kPortFailed, false);
  return next;
}

void CEventAlarms::StartWaiting() {
  std::deque<Alarm> starting;
  std::uint64_t dropped = 0;
  std::string command;
  {
    std::lock_guard lock(m_mutex);
    while (!m_waiting.empty() && m_running.size() + starting.size() < m_limits.MaxRunning) {
      starting.push_back(std::move(m_waiting.front()));
      m_waiting.pop_front();
    }
    dropped = std::exchange(m_dropped, 0);
    command = CurrentSettings().EventCommand;
  }
  if (dropped > 0)
    WriteWarning("alarms: " + std::to_string(dropped) + " not run: " + std::to_string(m_limits.MaxRunning) +
                 " alarm programs were running and " + std::to_string(m_limits.MaxWaiting) + " more waiting");
  const std::string path = command.empty() ? command : AppFilePath(command);
  for (Alarm& alarm : starting) {
    if (path.empty()) continue;  // switched off meanwhile
    std::string error;
    std::unique_ptr<CChildProcess> process = CChildProcess::Start(path, alarm.Environment, error);
    if (!process) {
      WriteWarning("alarm program " + path + " (" + alarm.What + ") cannot be started: " + error);
      continue;
    }
    m_running.push_back(Running{std::move(process), Clock::now() + m_limits.RunLimit, path + " (" + alarm.What + ")"});
  }
}

void CEventAlarms::CollectEnded() {
  const Clock::time_point now = Clock::now();
  for (auto it = m_running.begin(); it != m_running.end();) {
    std::string how;
    if (it->Process->Ended(how)) {
      if (it->Killed)
        WriteWarning("alarm program " + it->What + " ran longer than " + SecondsText(m_limits.RunLimit) +
                     " and was ended");
      else if (!it->Process->Succeeded())
        WriteWarning("alarm program " + it->What + " " + how);
      it = m_running.erase(it);
      continue;
    }
    if (!it->Killed && now >= it->Deadline) {
      it->Process->Kill();
      it->Killed = true;
    }
    ++it;
  }
}

void CEventAlarms::Thread() {
  Sockora::Win32::NameThisThread("alarms");
  for (;;) {
    Clock::time_point next = Clock::time_point::max();
    bool stopping = false;
    std::size_t notRun = 0;
    {
      std::lock_guard lock(m_mutex);
      stopping = m_stopping;
      if (stopping) {
        notRun = m_waiting.size();
        m_waiting.clear();
      } else {
        next = RaiseDue();
      }
    }
    // Collected first: a program that ended makes room for one waiting.
    CollectEnded();
    if (stopping) {
      if (notRun > 0)
        WriteWarning("alarms: " + std::to_string(notRun) + " alarm programs not run: the service stopped first");
      // Those running may finish, within their time limit.
      if (m_running.empty()) break;
    } else {
      StartWaiting();
    }
    std::vector<pollfd> watched{{m_wakeFd, POLLIN, 0}};
    for (const Running& running : m_running) {
      watched.push_back({running.Process->EndDescriptor(), POLLIN, 0});
      if (!running.Killed) next = std::min(next, running.Deadline);
    }
    int timeoutMs = -1;
    if (next != Clock::time_point::max()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count() + 1;
      timeoutMs = static_cast<int>(std::clamp<long long>(left, 0, 3600 * 1000));
    }
    if (poll(watched.data(), watched.size(), timeoutMs) < 0 && errno != EINTR) {
      WriteWarning(std::string("alarms: waiting failed: ") + std::strerror(errno));
      break;
    }
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t drained = read(m_wakeFd, &count, sizeof count);
  }
  // Only after a failed wait: their destructors end and collect them.
  m_running.clear();
}
