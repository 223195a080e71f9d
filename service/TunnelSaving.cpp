#include "service/TunnelSaving.h"

#include <algorithm>

#include "model/TunnelFields.h"

namespace {

// Leaves exactly one row for the tunnel's ID, whatever rows an older file held for it.
bool Replace(CAccessInterface& store, const TunnelInfo& tunnel) {
  return store.DeleteTunnel(tunnel.DeviceID) == 1 && store.AddTunnel(tunnel) == 1;
}

}  // namespace

const TunnelInfo* FindTunnelIgnoringCase(const std::vector<TunnelInfo>& stored, const std::string& id) {
  const auto exact =
      std::find_if(stored.begin(), stored.end(), [&](const TunnelInfo& tunnel) { return tunnel.DeviceID == id; });
  if (exact != stored.end()) return &*exact;
  const auto similar = std::find_if(stored.begin(), stored.end(),
                                    [&](const TunnelInfo& tunnel) { return EqualIgnoringCase(tunnel.DeviceID, id); });
  return similar == stored.end() ? nullptr : &*similar;
}

std::string WriteTunnelEdit(CAccessInterface& store, const std::vector<TunnelInfo>& aligned, const TunnelInfo& edited,
                            bool add) {
  for (const TunnelInfo& tunnel : aligned) {
    if (!Replace(store, tunnel)) return tunnel.DeviceID;
  }
  const bool saved = add ? store.AddTunnel(edited) == 1 : Replace(store, edited);
  return saved ? std::string() : edited.DeviceID;
}

bool DeleteTunnelAndBinding(CAccessInterface& store, const std::string& id) {
  return store.DeleteTunnel(id) == 1 && store.DeleteBinding(id) == 1;
}
