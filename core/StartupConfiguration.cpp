#include "core/StartupConfiguration.h"

#include <vector>

#include "core/CTunnelTable.h"
#include "model/SettingInfo.h"
#include "platform/FirstIPv4Address.h"
#include "storage/CAccessInterface.h"

namespace {

constexpr int kDefaultPort = 5001;

}  // namespace

bool LoadTunnelTable() {
  CAccessInterface store;
  store.OpenDatabase(DATABASE_FILE_NAME);
  std::vector<TunnelInfo> tunnels;
  const bool loaded = store.LoadTunnels(tunnels) == 1;
  CTunnelTable& table = CTunnelTable::Instance();
  for (const TunnelInfo& tunnel : tunnels) table.Add(tunnel);
  store.CloseDatabase();
  return loaded;
}

void LoadSettingInfo() {
  CAccessInterface store;
  store.OpenDatabase(DATABASE_FILE_NAME);
  store.InitSettingTable();
  SettingInfo settings;
  store.LoadSettings(settings);
  store.CloseDatabase();
  if (settings.LocalIp.empty()) settings.LocalIp = FirstIPv4Address();
  if (settings.LocalPort == 0) settings.LocalPort = kDefaultPort;
  ReplaceSettings(settings);
}
