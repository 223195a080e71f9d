// Every value read from TabSetting, TunnelInfo and TunnelBinding at start. The input is a
// list of changes to a real Info.db made by the program (a setting's row set, added or
// deleted, a tunnel or binding row added), each value of any storage class (null, integer,
// real, text, blob); then the start's reader reads the file. It must read it, give settings
// the settings dialog accepts, read back what it would save unchanged, and keep a binding
// it cannot read closed to every address.
#include <sqlite3.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "TempDir.h"
#include "core/CTunnelTable.h"
#include "core/StartupConfiguration.h"
#include "model/NetworkList.h"
#include "model/SettingFields.h"
#include "platform/AppPaths.h"
#include "storage/CAccessInterface.h"

namespace {

constexpr std::array<const char*, 22> kKeys{
    "LocalIp",        "LocalPort",   "BootAutoStart",      "AutoStartSimulation",
    "FilterHearbeat", "Escape",      "DelayComRead",       "NotTransMaxBytes",
    "AllowedNetworks", "RefuseUnconfigured", "MaxConnectionsPerAddress", "TlsPort",
    "TlsCertificate", "TlsKey",      "TlsClientCa",        "TlsOnly",
    "MetricsAddress", "EventsKeepDays", "EventCommand",    "OfflineAlarmSeconds",
    "ResendStored",   "NoSuchKey"};

// The file as the program makes it, copied before every input.
struct Folder {
  Folder() : dir("VANTREL_APP_DIR") {
    CAccessInterface store;
    store.SetOpenFailureNotice(false);
    FuzzCheck(store.OpenDatabase(DATABASE_FILE_NAME) == 1, "cannot make Info.db");
    store.CloseDatabase();
    std::filesystem::copy_file(dir.File(DATABASE_FILE_NAME), dir.File("template.db"));
  }
  TempDir dir;
};

Folder& TheFolder() {
  static Folder folder;
  return folder;
}

struct DatabaseClose {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct StatementFinalize {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};

// Binds the input's next value, of the storage class it names.
void BindValue(FuzzInput& input, sqlite3_stmt* statement, int index) {
  switch (input.Byte() % 6) {
    case 0:
      sqlite3_bind_null(statement, index);
      break;
    case 1: {
      const std::uint64_t value = input.Long() | std::uint64_t{input.Long()} << 32;
      sqlite3_bind_int64(statement, index, static_cast<sqlite3_int64>(value));
      break;
    }
    case 2: {
      const std::uint64_t bits = input.Long() | std::uint64_t{input.Long()} << 32;
      double value = 0;
      std::memcpy(&value, &bits, sizeof value);
      sqlite3_bind_double(statement, index, value);
      break;
    }
    case 3: {
      const std::vector<std::uint8_t> bytes = input.Bytes(input.Byte());
      sqlite3_bind_blob(statement, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
      break;
    }
    default: {
      const std::string text = input.Text();
      sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
      break;
    }
  }
}

void Run(sqlite3* db, FuzzInput& input, const char* sql, int values, const char* key = nullptr) {
  sqlite3_stmt* raw = nullptr;
  FuzzCheck(sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) == SQLITE_OK, std::string("prepare ") + sql);
  std::unique_ptr<sqlite3_stmt, StatementFinalize> statement(raw);
  int index = 1;
  for (; index <= values; ++index) BindValue(input, raw, index);
  if (key != nullptr) sqlite3_bind_text(raw, index, key, -1, SQLITE_STATIC);
  // A second binding row of one ID breaks its key: refused, as any client would be.
  sqlite3_step(raw);
}

// Applies the input's changes to the file.
void Change(const std::string& path, FuzzInput& input) {
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open(path.c_str(), &raw);
  std::unique_ptr<sqlite3, DatabaseClose> db(raw);
  FuzzCheck(opened == SQLITE_OK, "cannot open the copy");
  for (int change = 0; change < 64 && !input.Empty(); ++change) {
    const std::uint8_t what = input.Byte();
    const char* key = kKeys[(what >> 3) % kKeys.size()];
    switch (what & 7) {
      case 0:
      case 1:
        Run(raw, input, "update TabSetting set ParamValue = ? where ParamKey = ?", 1, key);
        break;
      case 2:
        Run(raw, input, "insert into TabSetting (ParamValue, ParamKey) values (?, ?)", 1, key);
        break;
      case 3:
        Run(raw, input, "delete from TabSetting where ParamKey = ?", 0, key);
        break;
      case 4:
        Run(raw, input, "insert into TunnelInfo values (?, ?, ?, ?, ?, ?, ?)", 7);
        break;
      default:
        Run(raw, input, "insert into TunnelBinding values (?, ?, ?)", 3);
        break;
    }
  }
}

void CheckSettings(const SettingInfo& settings) {
  FuzzCheck(settings.LocalPort >= 1 && settings.LocalPort <= 65535, "LocalPort " + std::to_string(settings.LocalPort));
  FuzzCheck(settings.DelayComRead >= int(kLowestDelayComRead) && settings.DelayComRead <= int(kHighestDelayComRead),
            "DelayComRead " + std::to_string(settings.DelayComRead));
  FuzzCheck(settings.NotTransMaxBytes >= 0, "NotTransMaxBytes " + std::to_string(settings.NotTransMaxBytes));
  FuzzCheck(settings.MaxConnectionsPerAddress >= 0 &&
                settings.MaxConnectionsPerAddress <= int(kHighestMaxConnectionsPerAddress),
            "MaxConnectionsPerAddress " + std::to_string(settings.MaxConnectionsPerAddress));
  FuzzCheck(settings.TlsPort >= 0 && settings.TlsPort <= 65535, "TlsPort " + std::to_string(settings.TlsPort));
  FuzzCheck(settings.EventsKeepDays >= int(kLowestEventsKeepDays) && settings.EventsKeepDays <= int(kHighestEventsKeepDays),
            "EventsKeepDays " + std::to_string(settings.EventsKeepDays));
  FuzzCheck(settings.OfflineAlarmSeconds >= int(kLowestOfflineAlarmSeconds) &&
                settings.OfflineAlarmSeconds <= int(kHighestOfflineAlarmSeconds),
            "OfflineAlarmSeconds " + std::to_string(settings.OfflineAlarmSeconds));
  FuzzCheck(NetworksField(settings.AllowedNetworks) == settings.AllowedNetworks, "AllowedNetworks");
  for (const std::string* path : {&settings.TlsCertificate, &settings.TlsKey, &settings.TlsClientCa, &settings.EventCommand})
    FuzzCheck(path->empty() || PathField(*path) == *path, "a path setting: " + *path);
  FuzzCheck(settings.MetricsAddress.empty() || ListenAddressField(settings.MetricsAddress) == settings.MetricsAddress,
            "MetricsAddress " + settings.MetricsAddress);
  TlsSettingsProblem(settings);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  TheFolder();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Folder& folder = TheFolder();
  const std::string path = folder.dir.File(DATABASE_FILE_NAME);
  std::filesystem::copy_file(folder.dir.File("template.db"), path, std::filesystem::copy_options::overwrite_existing);
  FuzzInput input(data, size);
  Change(path, input);

  StoredConfiguration configuration;
  std::string failure;
  FuzzCheck(ReadStoredConfiguration(configuration, failure), "a readable file was not read: " + failure);
  CheckSettings(configuration.Settings);

  // Bindings are checked at registration: each must read, and one stored unreadable admits
  // nobody (no connection comes from 0.0.0.0).
  for (const TunnelBinding& binding : configuration.Bindings) {
    std::vector<Ipv4Network> networks;
    std::string bad;
    FuzzCheck(ParseNetworks(binding.Networks, networks, bad), "a binding's networks in use do not read");
  }
  InstallConfiguration(configuration);
  CTunnelTable& table = CTunnelTable::Instance();
  for (const TunnelBinding& binding : configuration.Bindings) {
    std::vector<Ipv4Network> networks;
    std::string bad;
    ParseNetworks(binding.Networks, networks, bad);
    if (networks.size() == 1 && networks[0].Address == 0 && networks[0].Mask == ~0u)
      FuzzCheck(table.Admit(binding.DeviceID, binding.Phone, 0x7f000001) != CTunnelTable::Admission::Accepted,
                "a binding whose networks cannot be read admits " + binding.DeviceID);
  }
  FuzzCheck(table.Count() == configuration.Tunnels.size(), "tunnels installed");

  // What the settings dialog would save reads back the same, without a problem.
  {
    CAccessInterface store;
    store.SetOpenFailureNotice(false);
    FuzzCheck(store.OpenDatabase(DATABASE_FILE_NAME) == 1, "reopen");
    FuzzCheck(store.SaveSettings(configuration.Settings) == 1, "the settings read cannot be saved");
    store.CloseDatabase();
  }
  StoredConfiguration again;
  FuzzCheck(ReadStoredConfiguration(again, failure), "the saved file was not read: " + failure);
  FuzzCheck(again.Settings == configuration.Settings, "saved settings read back differently");
  for (const std::string& problem : again.Problems)
    FuzzCheck(problem.rfind("setting ", 0) != 0, "a saved setting reads with a problem: " + problem);
  table.Clear();
  return 0;
}
