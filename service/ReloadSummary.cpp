#include "service/ReloadSummary.h"

#include <strings.h>

#include <vector>

namespace {

std::string Names(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

}  // namespace

std::string DescribeReload(const std::map<std::string, TunnelInfo>& before,
                           const std::map<std::string, TunnelInfo>& after, const CSerialInterface::PortChanges& ports,
                           std::size_t closedDevices) {
  std::size_t added = 0, moved = 0, changed = 0, unchanged = 0;
  for (const auto& [id, tunnel] : after) {
    auto old = before.find(id);
    if (old == before.end())
      ++added;
    else if (strcasecmp(old->second.SerialNo.c_str(), tunnel.SerialNo.c_str()) != 0)
      ++moved;
    else if (!(old->second == tunnel))
      ++changed;
    else
      ++unchanged;
  }
  std::size_t deleted = 0;
  for (const auto& [id, tunnel] : before) deleted += after.count(id) == 0 ? 1 : 0;
  std::string text = "tunnels: " + std::to_string(added) + " added, " + std::to_string(moved) +
                     " moved to another port, " + std::to_string(deleted) + " deleted, " + std::to_string(changed) +
                     " changed on their port, " + std::to_string(unchanged) + " unchanged";
  const std::vector<std::pair<const char*, const std::vector<std::string>*>> portLists = {
      {"opened", &ports.Opened}, {"reopened with new settings", &ports.Reopened},
      {"tried again", &ports.Retried}, {"closed", &ports.Closed}};
  std::string portText;
  for (const auto& [what, names] : portLists) {
    if (!names->empty()) portText += (portText.empty() ? "" : "; ") + std::string(what) + " " + Names(*names);
  }
  text += "; ports: " + (portText.empty() ? std::string("unchanged") : portText);
  if (closedDevices != 0) text += "; " + std::to_string(closedDevices) + " devices closed (now refused)";
  return text;
}
