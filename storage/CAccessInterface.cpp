#include "storage/CAccessInterface.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <type_traits>

#include "model/DataText.h"
#include "model/SettingFields.h"
#include "platform/WriteDebugLine.h"
#include "platform/AppPaths.h"
#include "platform/Notice.h"

namespace {

// ReceiveData is split into rows of at most this many bytes.
constexpr std::size_t kReceiveDataRow = 250;
// How long an open that meets another connection's lock is tried again.
constexpr int kOpenRetryMs = 2000;
// A query's row that is not what it asked for: the file is damaged.
constexpr char kIndexDisagrees[] =
    "the database is damaged: an index of NotTransData disagrees with the table (sqlite3 Info.db 'REINDEX' may "
    "repair it)";

struct SettingRow {
  const char* key;
  const char* defaultValue;
};

// In the order the rows are created and checked.
constexpr std::array<SettingRow, 21> kSettingRows{{
    {"LocalIp", ""},
    {"LocalPort", ""},
    {"BootAutoStart", ""},
    {"AutoStartSimulation", ""},
    {"FilterHearbeat", ""},
    {"Escape", ""},
    {"DelayComRead", "50"},
    {"NotTransMaxBytes", "1073741824"},
    {"AllowedNetworks", ""},
    {"RefuseUnconfigured", "0"},
    {"MaxConnectionsPerAddress", "0"},
    {"TlsPort", "0"},
    {"TlsCertificate", ""},
    {"TlsKey", ""},
    {"TlsClientCa", ""},
    {"TlsOnly", "0"},
    {"MetricsAddress", ""},
    {"EventsKeepDays", "90"},
    {"EventCommand", ""},
    {"OfflineAlarmSeconds", "300"},
    {"ResendStored", "0"},
}};

// The highest rate termios can set; lower rates go to the nearest one it knows.
constexpr std::int32_t kMaxBaudRate = 4000000;

constexpr char kInsertTunnel[] = "insert into TunnelInfo values (?, ?, ?, ?, ?, ?, ?)";
constexpr char kDeleteTunnel[] = "delete from TunnelInfo where DeviceID=?";
constexpr char kDeleteBinding[] = "delete from TunnelBinding where DeviceID=?";
constexpr char kInsertNotTrans[] = "insert into NotTransData(ReceiveTime,DeviceID,ReceiveData)values (?, ?, ?);";

SqlValues TunnelValues(const TunnelInfo& tunnel) {
  return {SqlText(tunnel.DeviceID), SqlText(tunnel.SerialNo), SqlText(tunnel.BaudRate), SqlText(tunnel.DateBit),
          SqlText(tunnel.StopBit),  SqlText(tunnel.Parity),   SqlText(tunnel.Note)};
}

std::string Unsigned(std::uint32_t value) { return std::to_string(value); }

// A stored number as the settings read it: an optional sign and the leading digits.
struct StoredNumber {
  bool found = false;     // there are digits
  bool tooLarge = false;  // more than any setting can hold (value is then 0)
  bool trailing = false;  // something follows the digits
  bool negative = false;
  std::int64_t value = 0;
};

StoredNumber ReadStoredNumber(const std::string& text) {
  StoredNumber number;
  std::size_t at = 0;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) number.negative = text[at++] == '-';
  constexpr std::int64_t kLimit = std::int64_t{1} << 62;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    number.found = true;
    // Past a tenth of the limit the next digit passes it: never multiplied, which would
    // overflow (a stored "9999999999999999999" is read as too large, not as garbage).
    if (!number.tooLarge) number.value = number.value > kLimit / 10 ? kLimit : number.value * 10 + (text[at] - '0');
    if (number.value >= kLimit) number.tooLarge = true;
  }
  if (number.tooLarge) number.value = 0;
  if (number.negative) number.value = -number.value;
  number.trailing = at < text.size();
  return number;
}

// How a stored value appears in a warning.
// A stored value as a warning shows it: another program may have written control bytes.
std::string Shown(const std::string& text, bool isNull) {
  return isNull ? "NULL"
                : "\"" + EscapedText(reinterpret_cast<const unsigned char*>(text.data()), text.size()) + "\"";
}

void CopyText(char* field, std::size_t fieldSize, const std::string& text) {
  std::memset(field, 0, fieldSize);
  std::memcpy(field, text.data(), std::min(text.size(), fieldSize - 1));
}

}  // namespace

CAccessInterface::CAccessInterface() {
  m_appDirectory = ApplicationDirectory();
  if (m_appDirectory.empty() || m_appDirectory.back() != '/') m_appDirectory += '/';
}

int CAccessInterface::OpenDatabase(const std::string& name) {
  m_readOnly = false;
  return Open(name);
}

int CAccessInterface::OpenDatabaseReadOnly(const std::string& name) {
  m_readOnly = true;
  return Open(name);
}

int CAccessInterface::Open(const std::string& name) {
  m_fileName = name;
  if (m_open) {
    m_ado.CloseConnection();
    m_open = false;
  }
  const std::string path = m_appDirectory + name;
  const JAdo::OpenMode mode = m_readOnly ? JAdo::OpenMode::ReadOnly : JAdo::OpenMode::ReadWrite;
  // Two connections opening a new file at once meet locks that the engine does not wait
  // for (the switch to WAL, the first schema): a busy or locked open is tried again for a
  // short while before it counts as a failure.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kOpenRetryMs);
  for (;;) {
    m_failure.clear();
    if (m_ado.OpenAccessFile(path, mode) == 0) {
      m_open = true;
      // A read-only open reads whatever tables the file has.
      if (m_readOnly || PrepareSchema()) return 1;
      m_failure = m_ado.IsReadOnly()
                      ? "the file is read-only and lacks tables or the index that this program adds ("
                            + m_ado.LastErrorText() + ")"
                      : m_ado.LastErrorText();
      m_ado.CloseConnection();
      m_open = false;
    }
    if (m_failure.empty()) m_failure = m_ado.LastErrorText();
    const int primary = m_ado.LastError() & 0xFF;
    if ((primary != SQLITE_BUSY && primary != SQLITE_LOCKED) || std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  char text[4096];
  std::snprintf(text, sizeof text, "打开数据库文件失败(%s)! %s", path.c_str(), m_failure.c_str());
  if (m_openFailureNotice) {
    ShowNotice(text, "Vantrel", 0);
  } else {
    WriteDebugLine("[MSG]", "%s\n", text);
  }
  return 0;
}

bool CAccessInterface::EnsureOpen() {
  if (!m_open) Open(m_fileName);
  return m_open;
}

bool CAccessInterface::IsReadOnly() const { return m_open && m_ado.IsReadOnly(); }

std::string CAccessInterface::LastFailureText() const {
  if (!m_open && !m_failure.empty()) return m_failure;
  return m_ado.LastErrorText().empty() ? "unknown error" : m_ado.LastErrorText();
}

template <typename Steps>
int CAccessInterface::InTransaction(Steps steps) {
  if (!EnsureOpen() || !m_ado.BeginTrans()) return 0;
  if (steps() && m_ado.CommitTrans()) return 1;
  m_ado.RollbackTrans();
  return 0;
}

bool CAccessInterface::PrepareSchema() {
  constexpr char kCountPresent[] =
      "select count(*) as Present, sum(name in ('TunnelBinding', 'DeviceEvents', 'DeviceEventsDeviceTime')) as Later "
      "from sqlite_master where name in ('TunnelInfo', 'NotTransData', 'NotTransDataDeviceTime', 'TunnelBinding', "
      "'DeviceEvents', 'DeviceEventsDeviceTime')";
  auto present = m_ado.ExecuteQuery(kCountPresent);
  if (!present || !present->MoveNext()) return false;
  const std::int32_t count = present->GetFieldInt("Present");
  const bool hasFirstTables = count - present->GetFieldInt("Later") == 3;
  present.reset();
  if (count == 6) return true;
  // Older programs made files without the bindings and the device history; such a file
  // that may only be read has none.
  if (hasFirstTables && m_ado.IsReadOnly()) return true;

  // Immediate: two programs opening one new file must not both fill it.
  if (m_ado.ExecuteCommand("BEGIN IMMEDIATE") < 0) return false;
  auto objects = m_ado.ExecuteQuery("select count(*) as Objects from sqlite_master");
  const bool ok = objects && objects->MoveNext();
  const bool empty = ok && objects->GetFieldInt("Objects") == 0;
  objects.reset();
  if (ok && m_ado.ExecuteCommand(
                "CREATE TABLE IF NOT EXISTS TunnelInfo (DeviceID text, SerialNo text, BaudRate integer, "
                "DateBit integer, StopBit text, Parity text, Note text)") >= 0 &&
      // ReceiveData holds blobs: every byte of the data, zero bytes included.
      m_ado.ExecuteCommand("CREATE TABLE IF NOT EXISTS NotTransData (ReceiveTime text, DeviceID text, "
                           "ReceiveData blob)") >= 0 &&
      m_ado.ExecuteCommand("CREATE INDEX IF NOT EXISTS NotTransDataDeviceTime ON NotTransData (DeviceID, "
                           "ReceiveTime)") >= 0 &&
      m_ado.ExecuteCommand("CREATE TABLE IF NOT EXISTS TunnelBinding (DeviceID text primary key, Phone text, "
                           "Networks text)") >= 0 &&
      m_ado.ExecuteCommand("CREATE TABLE IF NOT EXISTS DeviceEvents (EventTime text, DeviceID text, Event text, "
                           "Address text, Detail text)") >= 0 &&
      m_ado.ExecuteCommand("CREATE INDEX IF NOT EXISTS DeviceEventsDeviceTime ON DeviceEvents (DeviceID, "
                           "EventTime)") >= 0 &&
      (!empty || InitSettingTable() == 1) && m_ado.CommitTrans()) {
    return true;
  }
  m_ado.RollbackTrans();
  return false;
}

int CAccessInterface::HasTable(const std::string& name) {
  auto rows = m_ado.ExecuteQuery("select count(*) as Present from sqlite_master where type = 'table' and name = ?",
                                 {SqlText(name)});
  if (!rows || !rows->MoveNext()) return -1;
  const std::int32_t present = rows->GetFieldInt("Present");
  return rows->Failed() ? -1 : present > 0 ? 1 : 0;
}

int CAccessInterface::LoadTunnels(std::vector<TunnelInfo>& tunnels, std::vector<std::string>* problems) {
  if (!EnsureOpen()) return 0;
  // The quoted forms show a warning what is stored, whatever its type.
  auto rows = m_ado.ExecuteQuery(
      "select *, quote(DeviceID) as StoredDeviceID, quote(BaudRate) as StoredBaudRate, quote(DateBit) as "
      "StoredDateBit from TunnelInfo");
  if (!rows) return 0;
  while (rows->MoveNext()) {
    TunnelInfo tunnel;
    tunnel.DeviceID = rows->GetFieldText("DeviceID");
    tunnel.SerialNo = rows->GetFieldText("SerialNo");
    tunnel.Parity = rows->GetFieldText("Parity");
    tunnel.StopBit = rows->GetFieldText("StopBit");
    tunnel.Note = rows->GetFieldText("Note");
    const std::int32_t baudRate = rows->GetFieldInt("BaudRate");
    const std::int32_t dataBits = rows->GetFieldInt("DateBit");
    tunnel.BaudRate = std::to_string(baudRate);
    tunnel.DateBit = std::to_string(dataBits);
    if (problems != nullptr) {
      const std::string row = "tunnel row " + rows->GetFieldText("StoredDeviceID") + ": ";
      const bool hexId = tunnel.DeviceID.size() == 8 &&
                         std::all_of(tunnel.DeviceID.begin(), tunnel.DeviceID.end(),
                                     [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
      if (!hexId) problems->push_back(row + "DeviceID is not 8 hexadecimal digits; no device can match it");
      if (baudRate < 1) {
        problems->push_back(row + "BaudRate " + rows->GetFieldText("StoredBaudRate") +
                            " is not a rate a port can be set to; " + tunnel.SerialNo + " cannot be opened with it");
      } else if (baudRate > kMaxBaudRate) {
        problems->push_back(row + "BaudRate " + tunnel.BaudRate + " is above the highest rate a port can be set to; " +
                            std::to_string(kMaxBaudRate) + " is used");
      }
      if (dataBits < 5 || dataBits > 8) {
        problems->push_back(row + "DateBit " + rows->GetFieldText("StoredDateBit") +
                            " is not 5 to 8 data bits; " + tunnel.SerialNo + " cannot be opened with it");
      }
    }
    if (rows->Failed()) break;
    tunnels.push_back(std::move(tunnel));
  }
  return rows->Failed() ? 0 : 1;
}

int CAccessInterface::AddTunnel(const TunnelInfo& tunnel) { return ExecuteSql(kInsertTunnel, TunnelValues(tunnel)); }

int CAccessInterface::ModifyTunnel(const TunnelInfo& tunnel) {
  // One transaction: an insert that fails must not leave the tunnel deleted.
  return InTransaction([&] {
    return m_ado.ExecuteCommand(kDeleteTunnel, {SqlText(tunnel.DeviceID)}) >= 0 &&
           m_ado.ExecuteCommand(kInsertTunnel, TunnelValues(tunnel)) >= 0;
  });
}

int CAccessInterface::DeleteTunnel(const std::string& deviceId) {
  return ExecuteSql(kDeleteTunnel, {SqlText(deviceId)});
}

int CAccessInterface::LoadBindings(std::vector<TunnelBinding>& bindings) {
  if (!EnsureOpen()) return 0;
  const int present = HasTable("TunnelBinding");
  if (present <= 0) return present == 0 ? 1 : 0;
  auto rows = m_ado.ExecuteQuery("select DeviceID, Phone, Networks from TunnelBinding order by DeviceID");
  if (!rows) return 0;
  while (rows->MoveNext()) {
    TunnelBinding binding{rows->GetFieldText("DeviceID"), rows->GetFieldText("Phone"), rows->GetFieldText("Networks")};
    if (rows->Failed()) break;
    bindings.push_back(std::move(binding));
  }
  return rows->Failed() ? 0 : 1;
}

int CAccessInterface::SaveBinding(const TunnelBinding& binding) {
  if (binding.Phone.empty() && binding.Networks.empty()) return DeleteBinding(binding.DeviceID);
  return ExecuteSql("insert or replace into TunnelBinding (DeviceID, Phone, Networks) values (?, ?, ?)",
                    {SqlText(binding.DeviceID), SqlText(binding.Phone), SqlText(binding.Networks)});
}

int CAccessInterface::DeleteBinding(const std::string& deviceId) {
  return ExecuteSql(kDeleteBinding, {SqlText(deviceId)});
}

int CAccessInterface::InitSettingTable() {
  // A file that may only be read is used as it is; missing rows read as their defaults.
  if (IsReadOnly()) return 0;
  if (ExecuteSql("CREATE TABLE TabSetting (ParamKey varchar(20),ParamValue varchar(20))", {}) == 1) {
    for (const SettingRow& row : kSettingRows) {
      ExecuteSql("insert into TabSetting values(?, ?)", {SqlText(row.key), SqlText(row.defaultValue)});
    }
    return 1;
  }
  for (const SettingRow& row : kSettingRows) {
    std::string value;
    if (FindSetting(row.key, value) == 0) {
      ExecuteSql("insert into TabSetting values(?, ?)", {SqlText(row.key), SqlText(row.defaultValue)});
    }
  }
  return 0;
}

int CAccessInterface::FindSetting(const std::string& key, std::string& value, bool* isNull) {
  if (!m_open) return -1;
  auto rows = m_ado.ExecuteQuery("select * from TabSetting where ParamKey = ?;", {SqlText(key)});
  if (!rows) return -1;
  bool found = false;
  while (rows->MoveNext()) {
    value = rows->GetFieldText("ParamValue");
    if (isNull != nullptr) *isNull = rows->IsNull("ParamValue");
    found = true;
  }
  if (rows->Failed()) return -1;
  return found ? 1 : 0;
}

bool CAccessInterface::GetSetting(const std::string& key, std::string& value) {
  return FindSetting(key, value) == 1;
}

int CAccessInterface::SetSetting(const std::string& key, const std::string& value) {
  return ExecuteSql("update TabSetting set ParamValue = ? where ParamKey = ?;", {SqlText(value), SqlText(key)});
}

int CAccessInterface::LoadSettings(SettingInfo& settings, std::vector<std::string>* problems) {
  GetSetting("LocalIp", settings.LocalIp);
  // Reads the key's number; an empty or missing value leaves `member` as it is. A value
  // that is not a number gives the warning and `fallback` (shown as `fallbackText`); one
  // outside low..high is clamped into the range or, unless `clamp`, also gives `fallback`.
  // Text after the digits is ignored with a warning, as the settings dialog reads a field.
  // A 0 that means the default (a LocalPort of 0 is 5001) is not warned about.
  auto readNumber = [&](const char* key, auto& member, std::int64_t low, std::int64_t high, bool clamp,
                        std::int64_t fallback, const std::string& fallbackText) {
    std::string text;
    bool isNull = false;
    if (FindSetting(key, text, &isNull) != 1 || (text.empty() && !isNull)) return;
    const StoredNumber number = ReadStoredNumber(text);
    std::int64_t value = fallback;
    std::string problem;
    if (!number.found) {
      problem = " is not a number; " + fallbackText + " is used";
    } else if (number.value == 0 && !number.tooLarge && fallback == 0) {
      if (number.trailing) problem = " is not a whole number; " + fallbackText + " is used";
    } else if (number.tooLarge || number.value < low || number.value > high) {
      if (clamp) value = number.negative || (!number.tooLarge && number.value < low) ? low : high;
      problem = " is outside " + std::to_string(low) + ".." + std::to_string(high) + "; " +
                (clamp ? std::to_string(value) : fallbackText) + " is used";
    } else {
      value = number.value;
      if (number.trailing) problem = " is not a whole number; its leading " + std::to_string(value) + " is used";
    }
    using Member = std::remove_reference_t<decltype(member)>;
    if constexpr (std::is_same_v<Member, bool>) {
      member = value != 0;
    } else {
      member = static_cast<Member>(value);
    }
    if (!problem.empty() && problems != nullptr)
      problems->push_back("setting " + std::string(key) + ": stored value " + Shown(text, isNull) + problem);
  };
  const SettingInfo defaults;
  constexpr std::int64_t kAny = std::int64_t{1} << 62;
  readNumber("LocalPort", settings.LocalPort, kLowestLocalPort, kHighestLocalPort, false, 0,
             std::to_string(kDefaultLocalPort));
  readNumber("BootAutoStart", settings.BootAutoStart, -kAny, kAny, false, 0, "off");
  readNumber("AutoStartSimulation", settings.AutoStartSimulation, -kAny, kAny, false, 0, "off");
  readNumber("FilterHearbeat", settings.FilterHearbeat, -kAny, kAny, false, 0, "off");
  readNumber("Escape", settings.Escape, -kAny, kAny, false, 0, "off");
  readNumber("DelayComRead", settings.DelayComRead, kLowestDelayComRead, kHighestDelayComRead, true,
             defaults.DelayComRead, std::to_string(defaults.DelayComRead));
  readNumber("NotTransMaxBytes", settings.NotTransMaxBytes, 0, kAny, false, defaults.NotTransMaxBytes,
             std::to_string(defaults.NotTransMaxBytes));
  readNumber("RefuseUnconfigured", settings.RefuseUnconfigured, -kAny, kAny, false, 0, "off");
  readNumber("MaxConnectionsPerAddress", settings.MaxConnectionsPerAddress, 0, kHighestMaxConnectionsPerAddress,
             false, 0, "0 (no cap)");
  readNumber("TlsPort", settings.TlsPort, 0, kHighestLocalPort, false, 0, "0 (no TLS listener)");
  readNumber("TlsOnly", settings.TlsOnly, -kAny, kAny, false, 0, "off");
  readNumber("EventsKeepDays", settings.EventsKeepDays, kLowestEventsKeepDays, kHighestEventsKeepDays, true,
             defaults.EventsKeepDays, std::to_string(defaults.EventsKeepDays));
  readNumber("OfflineAlarmSeconds", settings.OfflineAlarmSeconds, kLowestOfflineAlarmSeconds,
             kHighestOfflineAlarmSeconds, true, defaults.OfflineAlarmSeconds,
             std::to_string(defaults.OfflineAlarmSeconds));
  readNumber("ResendStored", settings.ResendStored, -kAny, kAny, false, 0, "off");
  // A text setting that its check refuses is left off, with the reason.
  auto readText = [&](const char* key, std::string& member, auto field, const char* rule) {
    std::string text;
    bool isNull = false;
    if (FindSetting(key, text, &isNull) != 1 || isNull) return;
    if (const std::optional<std::string> value = field(text)) {
      member = *value;
    } else {
      member.clear();
      if (problems != nullptr)
        problems->push_back("setting " + std::string(key) + ": stored value " + Shown(text, false) + " is not " +
                            rule + "; it is left empty (off)");
    }
  };
  constexpr char kPathRule[] = "a file name";
  readText("TlsCertificate", settings.TlsCertificate, PathField, kPathRule);
  readText("TlsKey", settings.TlsKey, PathField, kPathRule);
  readText("TlsClientCa", settings.TlsClientCa, PathField, kPathRule);
  readText("EventCommand", settings.EventCommand, PathField, kPathRule);
  readText("MetricsAddress", settings.MetricsAddress, ListenAddressField, "an address and port such as 127.0.0.1:9464");
  std::string networks;
  bool isNull = false;
  if (FindSetting("AllowedNetworks", networks, &isNull) == 1 && !isNull) {
    std::string bad;
    if (const auto field = NetworksField(networks, &bad)) {
      settings.AllowedNetworks = *field;
    } else {
      settings.AllowedNetworks.clear();
      if (problems != nullptr)
        problems->push_back("setting AllowedNetworks: stored value " + Shown(networks, false) + " has \"" + bad +
                            "\", which is not an IPv4 network; every address is admitted (the default)");
    }
  }
  return 1;
}

int CAccessInterface::SaveSettings(const SettingInfo& settings) {
  // One transaction: a failure part-way must not leave half the settings saved.
  return InTransaction([&] {
    const std::array<std::pair<const char*, std::string>, 21> values{{
        {"LocalIp", settings.LocalIp},
        {"LocalPort", Unsigned(static_cast<std::uint32_t>(settings.LocalPort))},
        {"BootAutoStart", Unsigned(settings.BootAutoStart)},
        {"AutoStartSimulation", Unsigned(settings.AutoStartSimulation)},
        {"FilterHearbeat", Unsigned(settings.FilterHearbeat)},
        {"Escape", Unsigned(settings.Escape)},
        {"DelayComRead", Unsigned(static_cast<std::uint32_t>(settings.DelayComRead))},
        {"NotTransMaxBytes", std::to_string(settings.NotTransMaxBytes)},
        {"AllowedNetworks", settings.AllowedNetworks},
        {"RefuseUnconfigured", Unsigned(settings.RefuseUnconfigured)},
        {"MaxConnectionsPerAddress", Unsigned(static_cast<std::uint32_t>(settings.MaxConnectionsPerAddress))},
        {"TlsPort", Unsigned(static_cast<std::uint32_t>(settings.TlsPort))},
        {"TlsCertificate", settings.TlsCertificate},
        {"TlsKey", settings.TlsKey},
        {"TlsClientCa", settings.TlsClientCa},
        {"TlsOnly", Unsigned(settings.TlsOnly)},
        {"MetricsAddress", settings.MetricsAddress},
        {"EventsKeepDays", Unsigned(static_cast<std::uint32_t>(settings.EventsKeepDays))},
        {"EventCommand", settings.EventCommand},
        {"OfflineAlarmSeconds", Unsigned(static_cast<std::uint32_t>(settings.OfflineAlarmSeconds))},
        {"ResendStored", Unsigned(settings.ResendStored)},
    }};
    for (const auto& [key, value] : values) {
      if (SetSetting(key, value) == 0) return false;
    }
    return true;
  });
}

int CAccessInterface::SaveNotTransData(const std::vector<NotTransRecord>& records) {
  return InTransaction([&] {
    for (const NotTransRecord& record : records) {
      const SqlValue time = SqlText(std::string(record.ReceiveTime, strnlen(record.ReceiveTime, sizeof record.ReceiveTime)));
      const SqlValue deviceId = SqlText(DeviceIdOf(record.Item));
      const std::size_t length = static_cast<std::size_t>(std::clamp(record.Item.Length, 0, DATA_ITEM_PAYLOAD));
      // Every byte is data (zero bytes too); an empty payload still gives one row.
      std::size_t offset = 0;
      do {
        const std::size_t row = std::min(kReceiveDataRow, length - offset);
        if (m_ado.ExecuteCommand(kInsertNotTrans, {time, deviceId, SqlBlob(record.Item.Data + offset, row)}) < 0)
          return false;
        offset += row;
      } while (offset < length);
    }
    return true;
  });
}

std::int64_t CAccessInterface::NotTransRecordBytes(const NotTransRecord& record) {
  const std::int64_t length = std::clamp(record.Item.Length, 0, DATA_ITEM_PAYLOAD);
  const std::int64_t rows = std::max<std::int64_t>(1, (length + kReceiveDataRow - 1) / kReceiveDataRow);
  const std::int64_t perRow = static_cast<std::int64_t>(strnlen(record.ReceiveTime, sizeof record.ReceiveTime) +
                                                        DeviceIdOf(record.Item).size());
  return rows * perRow + length;
}

std::int64_t CAccessInterface::NotTransBytes() {
  if (!EnsureOpen()) return -1;
  auto rows = m_ado.ExecuteQuery(
      "select ifnull(sum(length(ReceiveTime)), 0) + ifnull(sum(length(DeviceID)), 0) + "
      "ifnull(sum(length(ReceiveData)), 0) as Stored from NotTransData");
  if (!rows || !rows->MoveNext()) return -1;
  const std::int64_t bytes = rows->GetFieldInt64("Stored");
  return rows->Failed() ? -1 : bytes;
}

std::int64_t CAccessInterface::DataVersion() { return EnsureOpen() ? m_ado.DataVersion() : -1; }

SqlCondition CAccessInterface::BuildNotTransCondition(const NotTransFilter& filter) {
  SqlCondition condition;
  if (!filter.DeviceId.empty()) {
    condition.Text = "DeviceID = ?";
    condition.Values.push_back(SqlText(filter.DeviceId));
  }
  if (!filter.StartTime.empty() || !filter.EndTime.empty()) {
    if (!condition.Text.empty()) condition.Text += " and ";
    condition.Text += "ReceiveTime >= ? and ReceiveTime <= ?";
    condition.Values.push_back(SqlText(filter.StartTime));
    condition.Values.push_back(SqlText(filter.EndTime));
  }
  return condition;
}

std::int64_t CAccessInterface::QueryNotTransDataSql(const std::string& select, const SqlValues& values,
                                                    const NotTransVisitor& visit) {
  if (!EnsureOpen()) return -1;
  auto rows = m_ado.ExecuteQuery(select, values);
  if (!rows) return -1;
  // One 10 KB record reused for every row.
  auto record = std::make_unique<NotTransRecord>();
  std::int64_t visited = 0;
  while (rows->MoveNext()) {
    std::memset(record.get(), 0, sizeof *record);
    const std::string deviceId = rows->GetFieldText("DeviceID");
    const std::string data = rows->GetFieldBytes("ReceiveData");
    const std::string time = rows->GetFieldText("ReceiveTime");
    if (rows->Failed()) break;
    CopyText(record->ReceiveTime, sizeof record->ReceiveTime, time);
    SetDeviceId(record->Item, deviceId);
    record->Item.Kind = DATA_SERIAL;
    const std::size_t length = std::min(data.size(), static_cast<std::size_t>(DATA_ITEM_PAYLOAD));
    if (length < data.size()) {
      // Only a file edited by other means has such rows.
      WriteDebugLine("[MSG]", "ReceiveData of %s at %s cut from %zu to %zu bytes\n", deviceId.c_str(), time.c_str(),
                     data.size(), length);
    }
    std::memcpy(record->Item.Data, data.data(), length);
    record->Item.Length = static_cast<std::int32_t>(length);
    ++visited;
    if (!visit(*record)) return visited;
  }
  return rows->Failed() ? -1 : visited;
}

std::int64_t CAccessInterface::VisitNotTransData(const NotTransFilter& filter, const NotTransVisitor& visit) {
  const SqlCondition condition = BuildNotTransCondition(filter);
  // The engine finds the rows through the index and does not look at the table's values
  // again: in a damaged file the two disagree, and another device's row would be handed out.
  // Compared as the record holds them (an ID of 15 bytes, a time of 19).
  const auto asked = [&filter](const NotTransRecord& record) {
    const char* time = record.ReceiveTime;
    return (filter.DeviceId.empty() || std::strncmp(record.Item.DeviceId, filter.DeviceId.c_str(), 15) == 0) &&
           (filter.StartTime.empty() || std::strncmp(time, filter.StartTime.c_str(), 19) >= 0) &&
           (filter.EndTime.empty() || std::strncmp(time, filter.EndTime.c_str(), 19) <= 0);
  };
  bool damaged = false;
  // The ID and time as the table holds them (found by row number): the engine would read
  // them from the index, which agrees with itself.
  const std::int64_t visited = QueryNotTransDataSql(
      "select (select DeviceID from NotTransData as Row not indexed where Row.rowid = NotTransData.rowid) as "
      "DeviceID, (select ReceiveTime from NotTransData as Row not indexed where Row.rowid = NotTransData.rowid) as "
      "ReceiveTime, ReceiveData from NotTransData where " + condition.Text + ";",
      condition.Values, [&](const NotTransRecord& record) {
        damaged = !asked(record);
        return !damaged && visit(record);
      });
  if (!damaged) return visited;
  m_ado.Fail(SQLITE_CORRUPT, kIndexDisagrees);
  return -1;
}

std::int64_t CAccessInterface::QueryNotTransData(const NotTransFilter& filter, std::vector<NotTransRecord>& records,
                                                 std::size_t maxRecords, bool* moreMatched) {
  if (moreMatched != nullptr) *moreMatched = false;
  std::int64_t delivered = 0;
  const std::int64_t visited = VisitNotTransData(filter, [&](const NotTransRecord& record) {
    if (static_cast<std::size_t>(delivered) == maxRecords) {
      if (moreMatched != nullptr) *moreMatched = true;
      return false;
    }
    records.push_back(record);
    ++delivered;
    return true;
  });
  return visited < 0 ? -1 : delivered;
}

int CAccessInterface::DeleteNotTransData(const NotTransFilter& filter) {
  const SqlCondition condition = BuildNotTransCondition(filter);
  return ExecuteSql("delete from NotTransData where " + condition.Text + ";", condition.Values);
}

int CAccessInterface::DeleteAllNotTransData() { return ExecuteSql("delete from NotTransData;", {}); }

std::int64_t CAccessInterface::ReadStoredRows(const std::string& deviceId, const StoredRow& after, std::size_t maxRows,
                                              std::size_t maxBytes, std::vector<StoredRow>& rows) {
  if (!EnsureOpen()) return -1;
  // Bytes, not characters: a text value written by another program is sent as it is.
  auto found = m_ado.ExecuteQuery(
      "select rowid as RowKey, (select DeviceID from NotTransData as Row not indexed where Row.rowid = "
      "NotTransData.rowid) as StoredDeviceID, ReceiveTime, length(cast(ReceiveData as blob)) as Size, "
      "substr(cast(ReceiveData as blob), 1, ?) as Head from NotTransData where DeviceID = ? and "
      "ReceiveTime is not null and (ReceiveTime > ? or (ReceiveTime = ? and rowid > ?)) "
      "order by ReceiveTime, rowid limit ?",
      {SqlText(std::to_string(maxBytes)), SqlText(deviceId), SqlText(after.ReceiveTime), SqlText(after.ReceiveTime),
       SqlText(std::to_string(after.RowId)), SqlText(std::to_string(maxRows))});
  if (!found) return -1;
  std::int64_t read = 0;
  while (found->MoveNext()) {
    StoredRow row;
    row.RowId = found->GetFieldInt64("RowKey");
    row.ReceiveTime = found->GetFieldBytes("ReceiveTime");
    row.DeviceId = deviceId;
    const std::int64_t size = found->GetFieldInt64("Size");
    row.Data = found->GetFieldBytes("Head");
    if (found->Failed()) return -1;
    // A damaged index hands out another device's row: it must not go to this device's port.
    // The row's own ID is read from the table by row number (a column the index holds is
    // otherwise read from the index, which would agree with itself).
    if (found->GetFieldBytes("StoredDeviceID") != deviceId) {
      m_ado.Fail(SQLITE_CORRUPT, kIndexDisagrees);
      return -1;
    }
    row.TooLarge = size < 0 || static_cast<std::uint64_t>(size) > maxBytes;
    if (row.TooLarge) row.Data.clear();
    rows.push_back(std::move(row));
    ++read;
  }
  return found->Failed() ? -1 : read;
}

int CAccessInterface::DeleteStoredRows(const std::vector<StoredRow>& rows) {
  return InTransaction([&] {
    for (const StoredRow& row : rows) {
      if (m_ado.ExecuteCommand("delete from NotTransData where rowid = ? and DeviceID = ? and ReceiveTime = ? and "
                               "cast(ReceiveData as blob) = ?",
                               {SqlText(std::to_string(row.RowId)), SqlText(row.DeviceId), SqlText(row.ReceiveTime),
                                SqlBlob(reinterpret_cast<const unsigned char*>(row.Data.data()), row.Data.size())}) < 0)
        return false;
    }
    return true;
  });
}

int CAccessInterface::KeepStoredRest(const StoredRow& row, std::size_t from) {
  const std::size_t start = std::min(from, row.Data.size());
  return ExecuteSql("update NotTransData set ReceiveData = ? where rowid = ? and DeviceID = ? and ReceiveTime = ? and "
                    "cast(ReceiveData as blob) = ?",
                    {SqlBlob(reinterpret_cast<const unsigned char*>(row.Data.data()) + start, row.Data.size() - start),
                     SqlText(std::to_string(row.RowId)), SqlText(row.DeviceId), SqlText(row.ReceiveTime),
                     SqlBlob(reinterpret_cast<const unsigned char*>(row.Data.data()), row.Data.size())});
}

int CAccessInterface::CloseDatabase() {
  const int result = m_ado.CloseConnection();
  m_open = false;
  return result;
}

int CAccessInterface::ExecuteSql(const std::string& statement, const SqlValues& values) {
  if (!EnsureOpen()) return 0;
  return m_ado.ExecuteCommand(statement, values) == -1 ? 0 : 1;
}

bool CAccessInterface::LastErrorIsTransient() const {
  switch (LastEngineError() & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_FULL:
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN:
    case SQLITE_READONLY:
    case SQLITE_NOMEM:
    case SQLITE_PROTOCOL:
      return true;
    default:
      return false;
  }
}

std::string CAccessInterface::LastEngineErrorText() const {
  const int code = LastEngineError();
  return code != 0 ? sqlite3_errstr(code) : "unknown error";
}

int CAccessInterface::SaveDeviceEvents(const std::vector<DeviceEvent>& events) {
  return InTransaction([&] {
    for (const DeviceEvent& event : events) {
      if (m_ado.ExecuteCommand("insert into DeviceEvents (EventTime, DeviceID, Event, Address, Detail) values (?, ?, ?, "
                               "?, ?)",
                               {SqlText(event.Time), SqlText(event.DeviceId), SqlText(event.Event),
                                SqlText(event.Address), SqlText(event.Detail)}) < 0)
        return false;
    }
    return true;
  });
}

std::int64_t CAccessInterface::VisitDeviceEvents(const DeviceEventFilter& filter, std::size_t maxEvents,
                                                 const std::function<bool(const DeviceEvent&)>& visit,
                                                 bool* moreMatched) {
  if (moreMatched != nullptr) *moreMatched = false;
  if (!EnsureOpen()) return -1;
  const int present = HasTable("DeviceEvents");
  if (present <= 0) return present == 0 ? 0 : -1;
  std::string condition = "1";
  SqlValues values;
  if (!filter.DeviceId.empty()) {
    condition += " and DeviceID = ?";
    values.push_back(SqlText(filter.DeviceId));
  }
  if (!filter.From.empty()) {
    condition += " and EventTime >= ?";
    values.push_back(SqlText(filter.From));
  }
  if (!filter.To.empty()) {
    condition += " and EventTime <= ?";
    values.push_back(SqlText(filter.To));
  }
  // One more than asked for: its presence says that older events matched. Rows of one
  // second keep the order they were written in.
  const std::size_t wanted = std::min<std::size_t>(maxEvents, std::size_t{1} << 40);
  values.push_back(SqlText(std::to_string(wanted + 1)));
  auto rows = m_ado.ExecuteQuery(
      "select *, count(*) over () as Matched from (select rowid as Row, EventTime, DeviceID, Event, Address, Detail "
      "from DeviceEvents where " + condition + " order by EventTime desc, rowid desc limit cast(? as integer)) "
      "order by EventTime, Row",
      values);
  if (!rows) return -1;
  std::int64_t visited = 0;
  bool first = true;
  DeviceEvent event;
  while (rows->MoveNext()) {
    if (first && static_cast<std::size_t>(rows->GetFieldInt64("Matched")) > wanted) {
      // The oldest of them is the one beyond the bound.
      if (moreMatched != nullptr) *moreMatched = true;
      first = false;
      continue;
    }
    first = false;
    event.Time = rows->GetFieldText("EventTime");
    event.DeviceId = rows->GetFieldText("DeviceID");
    event.Event = rows->GetFieldText("Event");
    event.Address = rows->GetFieldText("Address");
    event.Detail = rows->GetFieldText("Detail");
    if (rows->Failed()) break;
    ++visited;
    if (!visit(event)) return visited;
  }
  return rows->Failed() ? -1 : visited;
}

int CAccessInterface::DeleteDeviceEventsBefore(const std::string& time) {
  return ExecuteSql("delete from DeviceEvents where EventTime < ?", {SqlText(time)});
}
