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
void ReadTunnels(const std::vector<TunnelInfo>& stored, StoredConfiguration& configuration) {
  std::map<std::string, TunnelInfo>& tunnels = configuration.Tunnels;
  for (const TunnelInfo& tunnel : stored) {
    if (!LowerCaseHexId(tunnel.DeviceID)) tunnels.emplace(tunnel.DeviceID, tunnel);
  }
  for (TunnelInfo tunnel : stored) {
    if (!LowerCaseHexId(tunnel.DeviceID)) continue;
    const std::string row = tunnel.DeviceID;
    tunnel.DeviceID = UpperCase(row);
    if (tunnels.count(tunnel.DeviceID) != 0) {
      configuration.Notes.push_back("tunnel row '" + row + "': DeviceID is in lower case and " + tunnel.DeviceID +
                                    " has a row of its own; this row is not used");
      continue;
    }
    configuration.Notes.push_back("tunnel row '" + row + "': DeviceID is in lower case; it is used as " +
                                  tunnel.DeviceID + " (the stored row is left as it is)");
    tunnels.emplace(tunnel.DeviceID, tunnel);
  }
}

// A network list that no connection's source lies in (no connection comes from 0.0.0.0):
// what a binding row whose networks cannot be read admits.
constexpr char kNoSource[] = "0.0.0.0/32";

// With the IDs read as ReadTunnels reads them. A row that cannot be used as stored fails
// closed: a binding exists to keep strangers out.
void ReadBindings(const std::vector<TunnelBinding>& stored, StoredConfiguration& configuration) {
  std::set<std::string> exact;
  for (const TunnelBinding& binding : stored) {
    if (!LowerCaseHexId(binding.DeviceID)) exact.insert(binding.DeviceID);
  }
  for (TunnelBinding binding : stored) {
    const std::string row = "binding row '" + binding.DeviceID + "': ";
    if (LowerCaseHexId(binding.DeviceID)) {
      binding.DeviceID = UpperCase(binding.DeviceID);
      if (exact.count(binding.DeviceID) != 0) {
        configuration.Notes.push_back(row + "DeviceID is in lower case and " + binding.DeviceID +
                                      " has a row of its own; this row is not used");
        continue;
      }
    }
    if (binding.Phone.size() > kLongestPhone) {
      configuration.Problems.push_back(row + "Phone \"" + binding.Phone + "\" is longer than the " +
                                       std::to_string(kLongestPhone) + " characters a registration carries; " +
                                       "no registration of " + binding.DeviceID + " matches it");
    }
    std::string bad;
    if (!NetworksField(binding.Networks, &bad)) {
      configuration.Problems.push_back(row + "Networks \"" + binding.Networks + "\" has \"" + bad +
                                       "\", which is not an IPv4 network; " + binding.DeviceID +
                                       " is refused from every address until the row is corrected");
      binding.Networks = kNoSource;
    }
    configuration.Bindings.push_back(std::move(binding));
  }
}

}  // namespace

bool ReadStoredConfiguration(StoredConfiguration& configuration, std::string& failure) {
  configuration = StoredConfiguration{};
  const std::string path = AppFilePath(DATABASE_FILE_NAME);
  CAccessInterface store;
  // The caller tells the failure, with its reason.
  store.SetOpenFailureNotice(false);
  if (store.OpenDatabase(DATABASE_FILE_NAME) != 1) {
    failure = "cannot open the database " + path + ": " + store.LastFailureText();
    return false;
  }
  if (store.IsReadOnly()) {
    configuration.Notes.push_back("the database " + path +
                                  " can only be read: the configuration is read from it, not-forwarded data "
                                  "cannot be stored");
  }
  store.InitSettingTable();
  std::vector<TunnelInfo> tunnels;
  if (store.LoadTunnels(tunnels, &configuration.Problems) != 1) {
    failure = "cannot read the tunnels from the database " + path + ": " + store.LastFailureText();
    return false;
  }
  std::vector<TunnelBinding> bindings;
  if (store.LoadBindings(bindings) != 1) {
    failure = "cannot read the tunnel bindings from the database " + path + ": " + store.LastFailureText();
    return false;
  }
  store.LoadSettings(configuration.Settings, &configuration.Problems);
  store.CloseDatabase();

  ReadTunnels(tunnels, configuration);
  ReadBindings(bindings, configuration);
  ApplyStartDefaults(configuration.Settings);
  return true;
}

void InstallConfiguration(const StoredConfiguration& configuration) {
  std::string bad;
  // Cannot fail: ReadBindings replaced every network list that does not parse.
  CTunnelTable::Instance().ReplaceAll(configuration.Tunnels, configuration.Bindings, bad);
  ReplaceSettings(configuration.Settings);
}

bool LoadStartupConfiguration(std::string& failure) {
  StoredConfiguration configuration;
  if (!ReadStoredConfiguration(configuration, failure)) return false;
  for (const std::string& problem : configuration.Problems) WriteWarning(problem);
  for (const std::string& note : configuration.Notes) WriteWarning(note);
  InstallConfiguration(configuration);
  return true;
}
