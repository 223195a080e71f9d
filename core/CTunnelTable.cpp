#include "core/CTunnelTable.h"

#include <strings.h>

#include <ctime>
#include <mutex>

CTunnelTable& CTunnelTable::Instance() {
  static CTunnelTable table;
  return table;
}

void CTunnelTable::Touch() { m_lastChange = static_cast<std::uint32_t>(std::time(nullptr)); }

bool CTunnelTable::IgnoringCase::operator()(const std::string& a, const std::string& b) const {
  return strcasecmp(a.c_str(), b.c_str()) < 0;
}

void CTunnelTable::Index(const TunnelInfo& tunnel) { m_idsByPort[tunnel.SerialNo].insert(tunnel.DeviceID); }

void CTunnelTable::Unindex(const TunnelInfo& tunnel) {
  auto it = m_idsByPort.find(tunnel.SerialNo);
  if (it == m_idsByPort.end()) return;
  it->second.erase(tunnel.DeviceID);
  if (it->second.empty()) m_idsByPort.erase(it);
}

void CTunnelTable::Add(const TunnelInfo& tunnel) {
  std::unique_lock lock(m_mutex);
  if (m_tunnels.emplace(tunnel.DeviceID, tunnel).second) Index(tunnel);
  Touch();
}

void CTunnelTable::Modify(const TunnelInfo& tunnel) {
  std::unique_lock lock(m_mutex);
  if (auto it = m_tunnels.find(tunnel.DeviceID); it != m_tunnels.end()) Unindex(it->second);
  m_tunnels.insert_or_assign(tunnel.DeviceID, tunnel);
  Index(tunnel);
  Touch();
}

void CTunnelTable::Remove(const std::string& deviceId) {
  std::unique_lock lock(m_mutex);
  auto it = m_tunnels.find(deviceId);
  if (it == m_tunnels.end()) return;
  Unindex(it->second);
  m_tunnels.erase(it);
  Touch();
}

void CTunnelTable::Clear() {
  std::unique_lock lock(m_mutex);
  m_tunnels.clear();
  m_idsByPort.clear();
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
  auto it = m_idsByPort.find(portName);
  if (it == m_idsByPort.end()) return {};
  return std::vector<std::string>(it->second.begin(), it->second.end());
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
