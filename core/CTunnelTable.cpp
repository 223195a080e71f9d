#include "core/CTunnelTable.h"

#include <strings.h>

#include <ctime>
#include <mutex>

CTunnelTable& CTunnelTable::Instance() {
  static CTunnelTable table;
  return table;
}

void CTunnelTable::Touch() { m_lastChange = static_cast<std::uint32_t>(std::time(nullptr)); }

void CTunnelTable::Add(const TunnelInfo& tunnel) {
  std::unique_lock lock(m_mutex);
  m_tunnels.emplace(tunnel.DeviceID, tunnel);
  Touch();
}

void CTunnelTable::Modify(const TunnelInfo& tunnel) {
  std::unique_lock lock(m_mutex);
  m_tunnels.insert_or_assign(tunnel.DeviceID, tunnel);
  Touch();
}

void CTunnelTable::Remove(const std::string& deviceId) {
  std::unique_lock lock(m_mutex);
  if (m_tunnels.erase(deviceId) > 0) Touch();
}

void CTunnelTable::Clear() {
  std::unique_lock lock(m_mutex);
  m_tunnels.clear();
}

bool CTunnelTable::Contains(const std::string& deviceId) const {
  std::shared_lock lock(m_mutex);
  return m_tunnels.count(deviceId) > 0;
}

TunnelInfo CTunnelTable::Get(const std::string& deviceId) const {
  std::shared_lock lock(m_mutex);
  auto it = m_tunnels.find(deviceId);
  return it == m_tunnels.end() ? TunnelInfo{} : it->second;
}

std::vector<std::string> CTunnelTable::IdsOnPort(const std::string& portName) const {
  std::shared_lock lock(m_mutex);
  std::vector<std::string> ids;
  for (const auto& [id, tunnel] : m_tunnels)
    if (strcasecmp(tunnel.SerialNo.c_str(), portName.c_str()) == 0) ids.push_back(id);
  return ids;
}

std::map<std::string, TunnelInfo> CTunnelTable::Snapshot() const {
  std::shared_lock lock(m_mutex);
  return m_tunnels;
}

std::size_t CTunnelTable::Count() const {
  std::shared_lock lock(m_mutex);
  return m_tunnels.size();
}

std::uint32_t CTunnelTable::LastChange() const {
  std::shared_lock lock(m_mutex);
  return m_lastChange;
}
