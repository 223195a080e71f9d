#include "core/CAdmission.h"

#include <arpa/inet.h>

#include <algorithm>

namespace {

// Past this many per-address records, those that no longer matter are dropped.
constexpr std::size_t kPruneAbove = 4096;

}  // namespace

std::string CAdmission::AddressText(std::uint32_t address) {
  in_addr network{htonl(address)};
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &network, text, sizeof text);
  return text;
}

bool CAdmission::Arrive(std::uint32_t address, const std::string& allowedNetworks, std::int32_t cap,
                        RefusalReason& reason) {
  const Clock::time_point now = Clock::now();
  std::lock_guard lock(m_mutex);
  if (allowedNetworks != m_networksText) {
    std::string bad;
    if (!ParseNetworks(allowedNetworks, m_networks, bad)) m_networks.clear();
    m_networksText = allowedNetworks;
  }
  if (!m_networks.empty() && !InNetworks(m_networks, address)) {
    reason = RefusalReason::Network;
    return false;
  }
  if (auto it = m_failures.find(address); it != m_failures.end() && it->second.ThrottledUntil > now) {
    reason = RefusalReason::Throttled;
    return false;
  }
  std::uint32_t& open = m_open[address];
  if (cap > 0 && open >= static_cast<std::uint32_t>(cap)) {
    if (open == 0) m_open.erase(address);
    reason = RefusalReason::PerAddressCap;
    return false;
  }
  ++open;
  return true;
}

void CAdmission::Left(std::uint32_t address) {
  std::lock_guard lock(m_mutex);
  auto it = m_open.find(address);
  if (it == m_open.end()) return;
  if (--it->second == 0) m_open.erase(it);
}

std::string CAdmission::BindingRefused(std::uint32_t address) {
  const Clock::time_point now = Clock::now();
  std::lock_guard lock(m_mutex);
  Prune(now);
  Failures& failures = m_failures[address];
  if (failures.ThrottledUntil > now) return {};
  std::erase_if(failures.Times, [&](Clock::time_point at) { return now - at >= m_limits.ThrottleWindow; });
  failures.Times.push_back(now);
  if (failures.Times.size() < m_limits.ThrottleRefusals) return {};
  failures.Times.clear();
  failures.ThrottledUntil = now + m_limits.ThrottleFor;
  return "refusing every connection from " + AddressText(address) + " for " +
         std::to_string(std::chrono::duration_cast<std::chrono::seconds>(m_limits.ThrottleFor).count()) + " s: " +
         std::to_string(m_limits.ThrottleRefusals) + " registrations from it failed their bindings within " +
         std::to_string(std::chrono::duration_cast<std::chrono::seconds>(m_limits.ThrottleWindow).count()) +
         " s; devices already connected from it stay connected";
}

std::vector<std::string> CAdmission::EndThrottles(Clock::time_point now, Clock::time_point& next) {
  std::vector<std::string> lines;
  std::lock_guard lock(m_mutex);
  for (auto it = m_failures.begin(); it != m_failures.end();) {
    const Clock::time_point until = it->second.ThrottledUntil;
    if (until == Clock::time_point{}) {
      ++it;
      continue;
    }
    if (until > now) {
      next = std::min(next, until);
      ++it;
      continue;
    }
    lines.push_back("connections from " + AddressText(it->first) + " are accepted again");
    it = m_failures.erase(it);
  }
  return lines;
}

std::string CAdmission::RefusalLine(std::uint32_t address, bool atAccept, unsigned perPeriod, const std::string& line) {
  const Clock::time_point now = Clock::now();
  std::lock_guard lock(m_mutex);
  Prune(now);
  Lines& lines = m_lines[{address, atAccept}];
  if (lines.Written == 0 || now - lines.PeriodStart >= m_limits.LinePeriod) {
    lines.PeriodStart = now;
    lines.Written = 0;
  }
  if (lines.Written >= perPeriod) {
    ++lines.Suppressed;
    return {};
  }
  ++lines.Written;
  std::string text = line;
  if (lines.Suppressed > 0)
    text += " (and " + std::to_string(lines.Suppressed) + " more refusals from " + AddressText(address) + " not shown)";
  lines.Suppressed = 0;
  return text;
}

void CAdmission::Prune(Clock::time_point now) {
  if (m_lines.size() > kPruneAbove)
    std::erase_if(m_lines, [&](const auto& entry) { return now - entry.second.PeriodStart >= m_limits.LinePeriod; });
  if (m_failures.size() > kPruneAbove)
    std::erase_if(m_failures, [&](const auto& entry) {
      const Failures& failures = entry.second;
      return failures.ThrottledUntil <= now &&
             (failures.Times.empty() || now - failures.Times.back() >= m_limits.ThrottleWindow);
    });
}
