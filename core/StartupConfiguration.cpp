#include "core/StartupConfiguration.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <vector>

#include "core/CTunnelTable.h"
#include "core/WriteWarning.h"
#include "model/SettingFields.h"
#include "model/SettingInfo.h"
#include "platform/AppPaths.h"
#include "storage/CAccessInterface.h"

namespace {

// A device ID of 8 hexadecimal digits with lower-case letters: a device reports its ID
// in upper case, so such a row only ever matches in its upper-case form.
bool LowerCaseHexId(const std::string& id) {
  return id.size() == 8 &&
         std::all_of(id.begin(), id.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }) &&
         std::any_of(id.begin(), id.end(), [](char c) { return std::islower(static_cast<unsigned char>(c)) != 0; });
}

std::string UpperCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](char c) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  });
  return text;
}

// Rows as stored go in first, so that a row stored in upper case wins over a lower-case
// spelling of the same ID.
void FillTunnelTable(const std::vector<TunnelInfo>& tunnels) {
  CTunnelTable& table = CTunnelTable::Instance();
  // A reload replaces what an earlier load put there.
  table.Clear();
  for (const TunnelInfo& tunnel : tunnels) {
    if (!LowerCaseHexId(tunnel.DeviceID)) table.Add(tunnel);
  }
  for (TunnelInfo tunnel : tunnels) {
    if (!LowerCaseHexId(tunnel.DeviceID)) continue;
    const std::string stored = tunnel.DeviceID;
    tunnel.DeviceID = UpperCase(stored);
    if (table.Contains(tunnel.DeviceID)) {
      WriteWarning("tunnel row '" + stored + "': DeviceID is in lower case and " + tunnel.DeviceID +
                   " has a row of its own; this row is not used");
      continue;
    }
    WriteWarning("tunnel row '" + stored + "': DeviceID is in lower case; it is used as " + tunnel.DeviceID +
                 " (the stored row is left as it is)");
    table.Add(tunnel);
  }
}

// A network list that no connection's source lies in (no connection comes from 0.0.0.0):
// what a binding row whose networks cannot be read admits.
constexpr char kNoSource[] = "0.0.0.0/32";

// After the tunnels, with the IDs read as FillTunnelTable reads them. A row that cannot be
// used as stored fails closed: a binding exists to keep strangers out.
void FillBindings(const std::vector<TunnelBinding>& bindings) {
  CTunnelTable& table = CTunnelTable::Instance();
  std::set<std::string> exact;
  for (const TunnelBinding& binding : bindings) {
    if (!LowerCaseHexId(binding.DeviceID)) exact.insert(binding.DeviceID);
  }
  for (TunnelBinding binding : bindings) {
    const std::string row = "binding row '" + binding.DeviceID + "': ";
    if (LowerCaseHexId(binding.DeviceID)) {
      binding.DeviceID = UpperCase(binding.DeviceID);
      if (exact.count(binding.DeviceID) != 0) {
        WriteWarning(row + "DeviceID is in lower case and " + binding.DeviceID +
                     " has a row of its own; this row is not used");
        continue;
      }
    }
    if (binding.Phone.size() > kLongestPhone) {
      WriteWarning(row + "Phone \"" + binding.Phone + "\" is longer than the " + std::to_string(kLongestPhone) +
                   " characters a registration carries; no registration of " + binding.DeviceID + " matches it");
    }
    std::string bad;
    if (!NetworksField(binding.Networks, &bad)) {
      WriteWarning(row + "Networks \"" + binding.Networks + "\" has \"" + bad + "\", which is not an IPv4 network; " +
                   binding.DeviceID + " is refused from every address until the row is corrected");
      binding.Networks = kNoSource;
    }
    // Cannot fail now: the networks parse.
    table.SetBinding(binding, bad);
  }
}

}  // namespace

bool LoadStartupConfiguration(std::string& failure) {
  const std::string path = AppFilePath(DATABASE_FILE_NAME);
  CAccessInterface store;
  // The caller tells the failure, with its reason.
  store.SetOpenFailureNotice(false);
  if (store.OpenDatabase(DATABASE_FILE_NAME) != 1) {
    failure = "cannot open the database " + path + ": " + store.LastFailureText();
    return false;
  }
  if (store.IsReadOnly()) {
    WriteWarning("the database " + path +
                 " can only be read: the configuration is read from it, not-forwarded data cannot be stored");
  }
  store.InitSettingTable();
  std::vector<std::string> problems;
  std::vector<TunnelInfo> tunnels;
  if (store.LoadTunnels(tunnels, &problems) != 1) {
    failure = "cannot read the tunnels from the database " + path + ": " + store.LastFailureText();
    return false;
  }
  std::vector<TunnelBinding> bindings;
  if (store.LoadBindings(bindings) != 1) {
    failure = "cannot read the tunnel bindings from the database " + path + ": " + store.LastFailureText();
    return false;
  }
  SettingInfo settings;
  store.LoadSettings(settings, &problems);
  store.CloseDatabase();

  for (const std::string& problem : problems) WriteWarning(problem);
  FillTunnelTable(tunnels);
  FillBindings(bindings);
  ApplyStartDefaults(settings);
  ReplaceSettings(settings);
  return true;
}
