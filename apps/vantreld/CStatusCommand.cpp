#include "CStatusCommand.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <memory>
#include <string>

#include "CJsonObject.h"
#include "CTextTable.h"
#include "CommandStatus.h"
#include "model/LocalTimeText.h"
#include "model/ServiceSnapshotText.h"
#include "platform/AppPaths.h"
#include "platform/CNamedEventHost.h"
#include "service/CServiceStatus.h"

namespace {

using Time = ServiceSnapshot::Time;

bool LocalTime(const Time& time, std::tm& local) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  return localtime_r(&seconds, &local) != nullptr;
}

// As the stored times read; "-" for none.
std::string TableTime(const std::optional<Time>& time) {
  return time ? LocalTimeText(std::chrono::system_clock::to_time_t(*time)) : "-";
}

// ISO 8601 with this computer's offset at that time, as the other --json outputs write it;
// null for none.
std::string JsonTime(const std::optional<Time>& time) {
  std::tm local{};
  if (!time || !LocalTime(*time, local)) return "null";
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  // Offsets stay within a day.
  const int minutes = static_cast<int>(std::labs(local.tm_gmtoff) / 60 % (24 * 60));
  char offset[16];
  std::snprintf(offset, sizeof offset, "%c%02d:%02d", local.tm_gmtoff < 0 ? '-' : '+', minutes / 60, minutes % 60);
  return CJsonObject::Quoted(std::string(text) + offset);
}

std::int64_t Number(std::uint64_t value) { return static_cast<std::int64_t>(value); }

std::string ListenerText(const ServiceSnapshot::Listener& listener) {
  return listener.Address + ":" + std::to_string(listener.Port) + (listener.Tls ? " (TLS)" : "");
}

// "a 1, b 2" from a map of counts.
std::string CountsText(const std::map<std::string, std::uint64_t>& counts) {
  std::string text;
  for (const auto& [name, count] : counts) text += (text.empty() ? "" : ", ") + name + " " + std::to_string(count);
  return text.empty() ? "-" : text;
}

std::string JsonCounts(const std::map<std::string, std::uint64_t>& counts) {
  CJsonObject object;
  for (const auto& [name, count] : counts) object.Add(name, Number(count));
  return object.Text();
}

template <typename Item, typename ToJson>
std::string JsonArray(const std::vector<Item>& items, ToJson toJson) {
  std::string text = "[";
  for (const Item& item : items) text += (text.size() > 1 ? "," : "") + toJson(item).Text();
  return text + "]";
}

}  // namespace

void CStatusCommand::Register(CLI::App& app, int& exitCode) {
  auto self = std::make_shared<CStatusCommand>();
  CLI::App* status = app.add_subcommand(
      "status",
      "Show the running instance of this application directory: state, listeners, counts, one row per device and "
      "per port, the store and the queues. Exit 3 when no instance runs there");
  status->add_flag("--json", self->m_json,
                   "Print one JSON object: state, since, listeners, configured, connected, matchedOnline, refused, "
                   "devices (id, link, tls, port, portState, phone, address, connectedSince, bytesIn, bytesOut, "
                   "lastDataAt), ports (name, state, failedSince), store (bytes, limit) and queues; times in ISO 8601 "
                   "with the offset, null when none");
  status->callback([self, &exitCode] { exitCode = self->Run(); });
}

int CStatusCommand::Run() const {
  CNamedEventHost::Reply reply;
  std::string error;
  const int asked =
      CNamedEventHost::Request(ApplicationDirectory(), CServiceStatus::kRequestName, "", reply, error);
  if (asked != 0 || reply.ExitCode != 0) {
    std::cerr << "vantreld: " << (asked != 0 ? error : reply.Text) << '\n';
    // Only a directory nobody serves is "not running"; an instance that is there but cannot
    // be asked (another user's, silent, too old to know the request) is a failure.
    return asked == 3 ? kExitNotRunning : kExitFailure;
  }
  const std::optional<ServiceSnapshot> snapshot = DecodeSnapshot(reply.Text, error);
  if (!snapshot) return Failure(error);
  if (m_json)
    PrintJson(*snapshot);
  else
    PrintTables(*snapshot);
  return kExitSuccess;
}

void CStatusCommand::PrintTables(const ServiceSnapshot& snapshot) {
  std::string listeners;
  for (const ServiceSnapshot::Listener& listener : snapshot.Listeners)
    listeners += (listeners.empty() ? "" : ", ") + ListenerText(listener);
  std::cout << "Service:   " << ServiceStateName(snapshot.ServiceState) << " since "
            << TableTime(snapshot.Since) << '\n'
            << "Listening: " << (listeners.empty() ? "-" : listeners) << '\n'
            << "Devices:   " << snapshot.Configured << " configured, " << snapshot.Connected << " connected, "
            << snapshot.MatchedOnline << " matched online\n"
            << "Refused:   " << CountsText(snapshot.Refused) << '\n'
            << "Store:     " << (snapshot.StoreBytes ? std::to_string(*snapshot.StoreBytes) : "?") << " of "
            << snapshot.StoreLimit << " bytes\n"
            << "Queues:    " << CountsText(snapshot.Queues) << "\n\n";

  CTextTable devices({"Device ID", "Link", "TLS", "Port", "Port state", "Address", "Connected since", "Bytes in",
                      "Bytes out", "Last data", "Phone"});
  for (const ServiceSnapshot::Device& device : snapshot.Devices) {
    devices.AddRow({device.Id, device.Connected ? "connected" : "disconnected",
                    device.Connected ? (device.Tls ? "TLS" : "plain") : "-", device.Port,
                    device.PortOpen ? "open" : "closed", device.Address.empty() ? "-" : device.Address,
                    TableTime(device.ConnectedSince), std::to_string(device.BytesIn), std::to_string(device.BytesOut),
                    TableTime(device.LastDataAt), device.Phone});
  }
  devices.Print(std::cout);
  std::cout << '\n';
  CTextTable ports({"Port", "State", "Failed since"});
  for (const ServiceSnapshot::Port& port : snapshot.Ports)
    ports.AddRow({port.Name, port.Open ? "open" : "failed", TableTime(port.FailedSince)});
  ports.Print(std::cout);
}

void CStatusCommand::PrintJson(const ServiceSnapshot& snapshot) {
  CJsonObject store;
  store.AddJson("bytes", snapshot.StoreBytes ? std::to_string(*snapshot.StoreBytes) : "null")
      .Add("limit", Number(snapshot.StoreLimit));
  std::cout << CJsonObject()
                   .Add("state", ServiceStateName(snapshot.ServiceState))
                   .AddJson("since", JsonTime(snapshot.Since))
                   .AddJson("listeners", JsonArray(snapshot.Listeners,
                                                   [](const ServiceSnapshot::Listener& listener) {
                                                     return CJsonObject()
                                                         .Add("address", listener.Address)
                                                         .Add("port", static_cast<std::int64_t>(listener.Port))
                                                         .Add("tls", listener.Tls);
                                                   }))
                   .Add("configured", Number(snapshot.Configured))
                   .Add("connected", Number(snapshot.Connected))
                   .Add("matchedOnline", Number(snapshot.MatchedOnline))
                   .AddJson("refused", JsonCounts(snapshot.Refused))
                   .AddJson("devices", JsonArray(snapshot.Devices,
                                                 [](const ServiceSnapshot::Device& device) {
                                                   return CJsonObject()
                                                       .Add("id", device.Id)
                                                       .Add("link", device.Connected ? "connected" : "disconnected")
                                                       .Add("tls", device.Tls)
                                                       .Add("port", device.Port)
                                                       .Add("portState", device.PortOpen ? "open" : "closed")
                                                       .Add("phone", device.Phone)
                                                       .Add("address", device.Address)
                                                       .AddJson("connectedSince", JsonTime(device.ConnectedSince))
                                                       .Add("bytesIn", Number(device.BytesIn))
                                                       .Add("bytesOut", Number(device.BytesOut))
                                                       .AddJson("lastDataAt", JsonTime(device.LastDataAt));
                                                 }))
                   .AddJson("ports", JsonArray(snapshot.Ports,
                                               [](const ServiceSnapshot::Port& port) {
                                                 return CJsonObject()
                                                     .Add("name", port.Name)
                                                     .Add("state", port.Open ? "open" : "failed")
                                                     .AddJson("failedSince", JsonTime(port.FailedSince));
                                               }))
                   .AddJson("store", store.Text())
                   .AddJson("queues", JsonCounts(snapshot.Queues))
                   .Text()
            << '\n';
}
