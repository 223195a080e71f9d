#include "CEventsCommand.h"

#include <iostream>
#include <memory>
#include <vector>

#include "CJsonObject.h"
#include "CManagementStore.h"
#include "CTextTable.h"
#include "CommandStatus.h"
#include "CsvLine.h"
#include "TimeText.h"
#include "model/TunnelFields.h"

namespace {

const char kTimeForms[] = "\"YYYY/MM/DD HH:MM:SS\", \"YYYY-MM-DD HH:MM:SS\" or a date alone";

std::string EventsText(std::int64_t count) { return std::to_string(count) + (count == 1 ? " event" : " events"); }

}  // namespace

void CEventsCommand::Register(CLI::App& app, int& exitCode) {
  auto self = std::make_shared<CEventsCommand>();
  CLI::App* events = app.add_subcommand(
      "events",
      "Print the device history, oldest first: registered, offline, replaced, refused, unconfigured, port-failed, "
      "port-recovered, store-limit-reached, store-resumed, with the address the connection came from; every event, "
      "or those that --device and/or --from/--to select, at most --limit (the latest)");
  events->add_option("--device", self->m_device, "Device ID, 8 hexadecimal digits")->type_name("ID");
  events->add_option("--from", self->m_from, std::string("Earliest event time: ") + kTimeForms + " (its first second)")
      ->type_name("T");
  events->add_option("--to", self->m_to, std::string("Latest event time: ") + kTimeForms + " (its last second)")
      ->type_name("T");
  events
      ->add_option("--limit", self->m_limit,
                   "Print at most N events, the latest (default " + std::to_string(kDefaultLimit) +
                       "); a line on stderr says when older ones matched too")
      ->type_name("N")
      ->check(CLI::Range(std::size_t{1}, kHighestLimit).description(""));
  CLI::Option* json = events->add_flag(
      "--json", self->m_json,
      "Print one JSON object per event and line (time in ISO 8601 with the UTC offset, deviceId, event, address, "
      "detail) and nothing else");
  CLI::Option* csv = events->add_flag(
      "--csv", self->m_csv,
      "Print comma-separated values under a header line: time (as for --json), deviceId, event, address, detail");
  csv->excludes(json);
  events->callback([self, events, &exitCode] { exitCode = self->Run(*events); });
}

int CEventsCommand::Run(const CLI::App& command) {
  DeviceEventFilter filter;
  if (command.count("--device") > 0) {
    const auto id = DeviceIdField(m_device);
    if (!id) return BadInput("--device: " + DeviceIdProblem(m_device));
    filter.DeviceId = *id;
  }
  if (command.count("--from") > 0) {
    const auto time = StoredTime(m_from, DayEnd::Start);
    if (!time) return BadInput("--from must be " + std::string(kTimeForms) + " (got \"" + m_from + "\")");
    filter.From = *time;
  }
  if (command.count("--to") > 0) {
    const auto time = StoredTime(m_to, DayEnd::End);
    if (!time) return BadInput("--to must be " + std::string(kTimeForms) + " (got \"" + m_to + "\")");
    filter.To = *time;
  }
  if (!filter.From.empty() && !filter.To.empty() && filter.From > filter.To)
    return BadInput("--from " + filter.From + " is later than --to " + filter.To);

  CManagementStore store;
  if (!store.OpenForReading()) return kExitFailure;
  CTextTable table({"Time", "Device ID", "Event", "Address", "Detail"});
  const std::vector<std::string> csvHeader{"time", "deviceId", "event", "address", "detail"};
  if (m_csv) std::cout << CsvLine(csvHeader);
  bool more = false;
  const std::int64_t printed = store.Store().VisitDeviceEvents(
      filter, m_limit,
      [&](const DeviceEvent& event) {
        if (m_json) {
          std::cout << CJsonObject()
                           .Add("time", IsoTime(event.Time))
                           .Add("deviceId", event.DeviceId)
                           .Add("event", event.Event)
                           .Add("address", event.Address)
                           .Add("detail", event.Detail)
                           .Text()
                    << '\n';
        } else if (m_csv) {
          std::cout << CsvLine({IsoTime(event.Time), event.DeviceId, event.Event, event.Address, event.Detail});
        } else {
          table.AddRow({event.Time, event.DeviceId, event.Event, event.Address, event.Detail});
        }
        return true;
      },
      &more);
  if (printed < 0) {
    std::cout.flush();
    return store.Failed("cannot read the device history");
  }
  const std::string older = "older events matched too: narrow the choice with --from/--to or raise --limit";
  if (m_json || m_csv) {
    if (more) std::cerr << "vantreld: the latest " << EventsText(printed) << " printed; " << older << '\n';
    return kExitSuccess;
  }
  if (printed > 0) table.Print(std::cout);
  std::string choice;
  if (!filter.DeviceId.empty()) choice += " of device " + filter.DeviceId;
  if (!filter.From.empty()) choice += " from " + filter.From;
  if (!filter.To.empty()) choice += " until " + filter.To;
  std::cout << (more ? "The latest " : "") << EventsText(printed) << choice << (more ? "; " + older : "") << ".\n";
  return kExitSuccess;
}
