// Damaged Info.db files. The input is either a whole file's bytes, or changes (bytes
// replaced, the file cut short) to a valid file the program made: tunnels, a binding,
// settings and not-forwarded rows of two devices. The program then opens it, reads the
// configuration and queries NotTransData as the dialog and the command line do. Each must
// either work or fail with a clear reason: never crash, and never hand out a row that the
// query did not ask for.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "TempDir.h"
#include "core/StartupConfiguration.h"
#include "platform/AppPaths.h"
#include "platform/Notice.h"
#include "storage/CAccessInterface.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr char kDevice[] = "00C0FFEE";
constexpr char kOther[] = "0000BEEF";

NotTransRecord Record(const char* device, const char* time, std::size_t length, std::uint8_t fill) {
  NotTransRecord record{};
  std::snprintf(record.ReceiveTime, sizeof record.ReceiveTime, "%s", time);
  SetDeviceId(record.Item, device);
  record.Item.Kind = DATA_SERIAL;
  record.Item.Length = static_cast<std::int32_t>(length);
  std::memset(record.Item.Data, fill, length);
  return record;
}

Bytes FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The valid file, made once by the program's own store.
struct Folder {
  Folder() : dir("VANTREL_APP_DIR") {
    SetNoticeHook([](const std::string&, const std::string&, int) { return IDNO; });
    CAccessInterface store;
    store.SetOpenFailureNotice(false);
    FuzzCheck(store.OpenDatabase(DATABASE_FILE_NAME) == 1, "cannot make Info.db");
    store.InitSettingTable();
    FuzzCheck(store.AddTunnel({kDevice, "COM3", "9600", "8", "1", "None", "a meter"}) == 1 &&
                  store.AddTunnel({kOther, "COM4", "115200", "7", "2", "Even", "it's quoted"}) == 1,
              "tunnels");
    FuzzCheck(store.SaveBinding({kDevice, "13800138000", "127.0.0.0/8"}) == 1, "binding");
    std::vector<NotTransRecord> records;
    for (int i = 0; i < 40; ++i) {
      char time[20];
      std::snprintf(time, sizeof time, "2026/12/11 10:%02d:%02d", i / 60, i % 60);
      records.push_back(Record(i % 3 == 0 ? kOther : kDevice, time, 1 + (i * 37) % 600, std::uint8_t(i)));
    }
    FuzzCheck(store.SaveNotTransData(records) == 1, "not-forwarded rows");
    store.CloseDatabase();
    valid = FileBytes(dir.File(DATABASE_FILE_NAME));
    FuzzCheck(!valid.empty(), "the made file is empty");
  }
  TempDir dir;
  Bytes valid;
};

Folder& TheFolder() {
  static Folder folder;
  return folder;
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  // A journal left by the last input would be read with this one.
  for (const char* suffix : {"-wal", "-shm", "-journal"}) ::unlink((path + suffix).c_str());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  FuzzCheck(out.good(), "cannot write the file");
}

// Whether a row the query handed out is one it asked for, and a well-formed record.
void CheckRow(const NotTransRecord& record, const NotTransFilter& filter) {
  FuzzCheck(std::memchr(record.ReceiveTime, 0, sizeof record.ReceiveTime) != nullptr, "an unterminated time");
  FuzzCheck(std::memchr(record.Item.DeviceId, 0, sizeof record.Item.DeviceId) != nullptr, "an unterminated ID");
  FuzzCheck(record.Item.Length >= 0 && record.Item.Length <= DATA_ITEM_PAYLOAD, "a record length out of bounds");
  if (!filter.DeviceId.empty())
    FuzzCheck(filter.DeviceId == record.Item.DeviceId,
              std::string("a row of ") + record.Item.DeviceId + " for a query of " + filter.DeviceId);
  const std::string time = record.ReceiveTime;
  if (!filter.StartTime.empty()) FuzzCheck(time >= filter.StartTime, "a row before the queried time: " + time);
  if (!filter.EndTime.empty()) FuzzCheck(time <= filter.EndTime, "a row after the queried time: " + time);
}

void Query(const NotTransFilter& filter, bool readOnly) {
  CAccessInterface store;
  store.SetOpenFailureNotice(false);
  const int opened = readOnly ? store.OpenDatabaseReadOnly(DATABASE_FILE_NAME) : store.OpenDatabase(DATABASE_FILE_NAME);
  if (opened != 1) {
    FuzzCheck(!store.LastFailureText().empty(), "an open failed without a reason");
    return;
  }
  std::vector<NotTransRecord> records;
  bool more = false;
  const std::int64_t got = store.QueryNotTransData(filter, records, 50, &more);
  if (got < 0) {
    FuzzCheck(!store.LastEngineErrorText().empty(), "a query failed without a reason");
  } else {
    FuzzCheck(static_cast<std::size_t>(got) == records.size() && records.size() <= 50, "the count of rows");
  }
  for (const NotTransRecord& record : records) CheckRow(record, filter);
  // The oldest rows of a device, as a resend to its port reads them: each must be the
  // device's own, as its table row (found by row number, not through the index) says.
  if (!filter.DeviceId.empty()) {
    std::vector<StoredRow> rows;
    if (store.ReadStoredRows(filter.DeviceId, StoredRow{}, 50, DATA_ITEM_PAYLOAD, rows) < 0) {
      FuzzCheck(!store.LastFailureText().empty(), "a read of stored rows failed without a reason");
    }
    for (const StoredRow& row : rows) {
      std::string owner;
      store.QueryNotTransDataSql("select * from NotTransData where rowid = ?;", {SqlText(std::to_string(row.RowId))},
                                 [&owner](const NotTransRecord& stored) {
                                   owner = stored.Item.DeviceId;
                                   return true;
                                 });
      FuzzCheck(owner.empty() || owner == filter.DeviceId,
                "row " + std::to_string(row.RowId) + " of " + owner + " read as one of " + filter.DeviceId);
    }
  }
  std::vector<TunnelInfo> tunnels;
  store.LoadTunnels(tunnels, nullptr);
  SettingInfo settings;
  store.LoadSettings(settings, nullptr);
  store.NotTransBytes();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  TheFolder();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Folder& folder = TheFolder();
  FuzzInput input(data, size);
  const std::uint8_t mode = input.Byte();
  Bytes file;
  if (mode % 2 == 0) {
    file = input.Rest();
  } else {
    // Changes to the valid file: the first cuts it short or not, then (offset, bytes) pairs.
    file = folder.valid;
    const std::uint32_t cut = input.Long();
    if (mode & 2) file.resize(cut % (file.size() + 1));
    while (!input.Empty() && !file.empty()) {
      const std::size_t at = input.Long() % file.size();
      const Bytes patch = input.Bytes(1 + input.Byte() % 8);
      for (std::size_t i = 0; i < patch.size() && at + i < file.size(); ++i) file[at + i] = patch[i];
    }
  }
  const std::string path = folder.dir.File(DATABASE_FILE_NAME);
  WriteFile(path, file);

  // The start: read or refused with a reason.
  StoredConfiguration configuration;
  std::string failure;
  if (!ReadStoredConfiguration(configuration, failure)) FuzzCheck(!failure.empty(), "a start refused without a reason");

  // Queries as the dialog and the command line make them, writing and reading only.
  Query({kDevice, "", ""}, mode & 4);
  Query({kOther, "2026/12/11 10:00:05", "2026/12/11 10:00:30"}, mode & 8);
  return 0;
}
