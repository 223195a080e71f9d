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
  m_bindings.erase(deviceId);
  Touch();
}

bool CTunnelTable::SetBinding(const TunnelBinding& binding, std::string& bad) {
  Bound bound{binding, {}};
  if (!ParseNetworks(binding.Networks, bound.Networks, bad)) return false;
  std::unique_lock lock(m_mutex);
  if (binding.Phone.empty() && bound.Networks.empty())
    m_bindings.erase(binding.DeviceID);
  else
    m_bindings[binding.DeviceID] = std::move(bound);
  return true;
}

void CTunnelTable::RemoveBinding(const std::string& deviceId) {
  std::unique_lock lock(m_mutex);
  m_bindings.erase(deviceId);
}

std::optional<TunnelBinding> CTunnelTable::GetBinding(const std::string& deviceId) const {
  std::shared_lock lock(m_mutex);
  auto it = m_bindings.find(deviceId);
  if (it == m_bindings.end()) return std::nullopt;
  return it->second.Binding;
}

std::map<std::string, TunnelBinding> CTunnelTable::Bindings() const {
  std::shared_lock lock(m_mutex);
  std::map<std::string, TunnelBinding> bindings;
  for (const auto& [id, bound] : m_bindings) bindings.emplace(id, bound.Binding);
  return bindings;
}

CTunnelTable::Admission CTunnelTable::Admit(const std::string& deviceId, std::string_view phone,
                                            std::uint32_t address) const {
  std::shared_lock lock(m_mutex);
  auto it = m_bindings.find(deviceId);
  if (it == m_bindings.end()) return Admission::Accepted;
  const Bound& bound = it->second;
  if (!bound.Binding.Phone.empty() && phone != bound.Binding.Phone) return Admission::WrongPhone;
  if (!bound.Networks.empty() && !InNetworks(bound.Networks, address)) return Admission::WrongNetwork;
  return Admission::Accepted;
}

bool CTunnelTable::ReplaceAll(const std::map<std::string, TunnelInfo>& tunnels,
                              const std::vector<TunnelBinding>& bindings, std::string& bad) {
  std::map<std::string, Bound> bound;
  for (const TunnelBinding& binding : bindings) {
    Bound entry{binding, {}};
    if (!ParseNetworks(binding.Networks, entry.Networks, bad)) return false;
    if (!binding.Phone.empty() || !entry.Networks.empty()) bound[binding.DeviceID] = std::move(entry);
  }
  std::map<std::string, std::set<std::string>, IgnoringCase> idsByPort;
  for (const auto& [id, tunnel] : tunnels) idsByPort[tunnel.SerialNo].insert(id);
  // Copied before the write lock and the old maps freed after it: the forwarding threads
  // look a tunnel up for every record, and with 10,000 tunnels the copy and the freeing
  // would hold all of them up.
  std::map<std::string, TunnelInfo> copy = tunnels;
  {
    std::unique_lock lock(m_mutex);
    if (m_tunnels != copy) Touch();
    m_tunnels.swap(copy);
    m_idsByPort.swap(idsByPort);
    m_bindings.swap(bound);
  }
  return true;
}

void CTunnelTable::Clear() {
  std::unique_lock lock(m_mutex);
  m_tunnels.clear();
  m_idsByPort.clear();
  m_bindings.clear();
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

bool CTunnelTable::IsOnPort(const std::string& deviceId, const std::string& portName) const {
  std::shared_lock lock(m_mutex);
  auto it = m_tunnels.find(deviceId);
  return it != m_tunnels.end() && strcasecmp(it->second.SerialNo.c_str(), portName.c_str()) == 0;
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
