#include "CNotTransCommands.h"

#include <iomanip>
#include <iostream>
#include <memory>

#include "CJsonObject.h"
#include "CManagementStore.h"
#include "CommandStatus.h"
#include "CsvLine.h"
#include "model/DataText.h"
#include "TimeText.h"
#include "model/TunnelFields.h"

namespace {

// The upper bound of a range given only its start: later than any stored time.
constexpr char kEndOfTime[] = "9999/12/31 23:59:59";

const char kTimeForms[] = "\"YYYY/MM/DD HH:MM:SS\", \"YYYY-MM-DD HH:MM:SS\" or a date alone";

std::string Describe(const NotTransFilter& filter) {
  std::string text;
  if (!filter.DeviceId.empty()) text += " of device " + filter.DeviceId;
  if (!filter.StartTime.empty()) text += " from " + filter.StartTime;
  if (!filter.EndTime.empty() && filter.EndTime != kEndOfTime) text += " until " + filter.EndTime;
  return text;
}

std::string RecordsText(std::int64_t count) { return std::to_string(count) + (count == 1 ? " record" : " records"); }

}  // namespace

void CNotTransCommands::Register(CLI::App& app, int& exitCode) {
  auto self = std::make_shared<CNotTransCommands>();
  CLI::App* nottrans =
      app.add_subcommand("nottrans", "Query and delete stored device data that could not be written to its COM port");
  nottrans->require_subcommand(1);

  self->m_query = nottrans->add_subcommand(
      "query",
      "Print the stored records (one stored row each) and their count: every record, or those that --device "
      "and/or --from/--to select. The text shows each byte that is not printable UTF-8 as \\xNN");
  AddFilterOptions(*self->m_query, *self);
  CLI::Option* hex = self->m_query->add_flag("--hex", self->m_hex, "Print the data as hexadecimal digits instead of text");
  CLI::Option* json = self->m_query->add_flag(
      "--json", self->m_json,
      "Print one JSON object per record and line (time in ISO 8601 with the UTC offset, deviceId, length, data as "
      "hexadecimal digits) and nothing else");
  CLI::Option* csv = self->m_query->add_flag(
      "--csv", self->m_csv,
      "Print comma-separated values under a header line: time (as for --json), deviceId, length, hex (the data as "
      "hexadecimal digits) and text (as printed without --csv); nothing else");
  json->excludes(hex);
  csv->excludes(hex)->excludes(json);
  self->m_query->callback([self, &exitCode] { exitCode = self->Query(); });

  self->m_delete = nottrans->add_subcommand(
      "delete",
      "Delete the matching records (no question asked) and print how many; give --device and/or --from/--to "
      "(delete-all deletes everything)");
  AddFilterOptions(*self->m_delete, *self);
  self->m_delete->callback([self, &exitCode] { exitCode = self->Delete(); });

  CLI::App* all =
      nottrans->add_subcommand("delete-all", "Delete every stored record and print how many; --yes confirms it");
  all->add_flag("--yes", self->m_yes, "Confirm deleting every record")->required();
  all->callback([self, &exitCode] { exitCode = self->DeleteAll(); });
}

void CNotTransCommands::AddFilterOptions(CLI::App& command, CNotTransCommands& self) {
  command.add_option("--device", self.m_device, "Device ID, 8 hexadecimal digits")->type_name("ID");
  command.add_option("--from", self.m_from, std::string("Earliest receive time: ") + kTimeForms + " (its first second)")
      ->type_name("T");
  command.add_option("--to", self.m_to, std::string("Latest receive time: ") + kTimeForms + " (its last second)")
      ->type_name("T");
}

int CNotTransCommands::BuildFilter(const CLI::App& command, NotTransFilter& filter) const {
  const bool byDevice = command.count("--device") > 0;
  const bool from = command.count("--from") > 0;
  const bool to = command.count("--to") > 0;
  if (!byDevice && !from && !to) {
    if (&command == m_query) return kExitSuccess;
    return BadInput("give a condition: --device and/or --from/--to (delete-all --yes deletes every record)");
  }
  if (byDevice) {
    const auto id = DeviceIdField(m_device);
    if (!id) return BadInput("--device: " + DeviceIdProblem(m_device));
    filter.DeviceId = *id;
  }
  if (from || to) {
    // Either bound alone leaves the other end open.
    filter.StartTime = "";
    filter.EndTime = kEndOfTime;
    if (from) {
      const auto time = StoredTime(m_from, DayEnd::Start);
      if (!time) return BadInput("--from must be " + std::string(kTimeForms) + " (got \"" + m_from + "\")");
      filter.StartTime = *time;
    }
    if (to) {
      const auto time = StoredTime(m_to, DayEnd::End);
      if (!time) return BadInput("--to must be " + std::string(kTimeForms) + " (got \"" + m_to + "\")");
      filter.EndTime = *time;
    }
    if (filter.StartTime > filter.EndTime) {
      return BadInput("--from " + filter.StartTime + " is later than --to " + filter.EndTime);
    }
  }
  return kExitSuccess;
}

int CNotTransCommands::Query() {
  NotTransFilter filter;
  if (const int code = BuildFilter(*m_query, filter); code != kExitSuccess) return code;
  CManagementStore store;
  if (!store.OpenForReading()) return kExitFailure;
  std::int64_t printed = 0;
  const auto print = [&](const NotTransRecord& record) {
    const auto* data = record.Item.Data;
    const auto length = static_cast<std::size_t>(record.Item.Length);
    const std::string id = DeviceIdOf(record.Item);
    ++printed;
    if (m_json) {
      std::cout << CJsonObject()
                       .Add("time", IsoTime(record.ReceiveTime))
                       .Add("deviceId", id)
                       .Add("length", static_cast<std::int64_t>(length))
                       .Add("data", HexOf(data, length))
                       .Text()
                << '\n';
      return true;
    }
    if (m_csv) {
      if (printed == 1) std::cout << CsvLine({"time", "deviceId", "length", "hex", "text"});
      std::cout << CsvLine({IsoTime(record.ReceiveTime), id, std::to_string(length), HexOf(data, length),
                            EscapedText(data, length)});
      return true;
    }
    if (printed == 1)
      std::cout << std::left << std::setw(8) << "No." << std::setw(21) << "Time" << std::setw(11) << "Device ID"
                << "Data\n";
    std::cout << std::left << std::setw(8) << printed - 1 << std::setw(21) << record.ReceiveTime << std::setw(11) << id
              << (m_hex ? HexOf(data, length) : EscapedText(data, length)) << '\n';
    return true;
  };
  const bool everything = filter.DeviceId.empty() && filter.StartTime.empty() && filter.EndTime.empty();
  // The store refuses an empty condition (a slip must not select everything); here
  // everything is what was asked for.
  const std::int64_t visited = everything ? store.Store().QueryNotTransDataSql("select * from NotTransData;", {}, print)
                                          : store.Store().VisitNotTransData(filter, print);
  if (visited < 0) {
    std::cout.flush();
    return store.Failed("the query failed after " + std::to_string(printed) + " records");
  }
  if (m_json) return kExitSuccess;
  if (m_csv) {
    if (printed == 0) std::cout << CsvLine({"time", "deviceId", "length", "hex", "text"});
    return kExitSuccess;
  }
  std::cout << RecordsText(printed) << Describe(filter) << ".\n";
  return kExitSuccess;
}

int CNotTransCommands::Delete() {
  NotTransFilter filter;
  if (const int code = BuildFilter(*m_delete, filter); code != kExitSuccess) return code;
  CManagementStore store;
  if (!store.Open()) return kExitFailure;
  if (store.Store().DeleteNotTransData(filter) != 1) return store.Failed("cannot delete the records");
  std::cout << "Deleted " << RecordsText(store.Store().ChangedRows()) << Describe(filter) << ".\n";
  return kExitSuccess;
}

int CNotTransCommands::DeleteAll() {
  CManagementStore store;
  if (!store.Open()) return kExitFailure;
  if (store.Store().DeleteAllNotTransData() != 1) return store.Failed("cannot delete the records");
  std::cout << "Deleted " << RecordsText(store.Store().ChangedRows()) << ": every record.\n";
  return kExitSuccess;
}
