#include "CTunnelCommands.h"

#include <algorithm>
#include <iostream>
#include <map>
#include <memory>

#include "CJsonObject.h"
#include "storage/CStoreTransaction.h"
#include "CTextTable.h"
#include "CommandStatus.h"
#include "CsvLine.h"
#include "model/DataText.h"
#include "model/SamePortRule.h"
#include "model/SettingFields.h"
#include "model/TunnelFields.h"
#include "service/TunnelSaving.h"

namespace {

std::string PortSettingsText(const TunnelInfo& tunnel) {
  return tunnel.SerialNo + " " + tunnel.BaudRate + " " + tunnel.DateBit + " " + tunnel.Parity + " " + tunnel.StopBit;
}

bool LoadAll(CAccessInterface& store, std::vector<TunnelInfo>& tunnels) { return store.LoadTunnels(tunnels) == 1; }

const char kIdHelp[] = "Device ID, 8 hexadecimal digits (stored in upper case, as devices register)";

}  // namespace

void CTunnelCommands::Register(CLI::App& app, int& exitCode) {
  auto self = std::make_shared<CTunnelCommands>();
  CLI::App* tunnel = app.add_subcommand("tunnel", "List, add, modify and delete tunnels (device ID to COM port)");
  tunnel->require_subcommand(1);
  auto run = [self, &exitCode](int (CTunnelCommands::*command)()) {
    return [self, &exitCode, command] { exitCode = ((*self).*command)(); };
  };

  CLI::App* list = tunnel->add_subcommand("list", "Print every tunnel");
  CLI::Option* json = list->add_flag(
      "--json", self->m_json,
      "Print one JSON array of objects (deviceId, port, baudRate, dataBits, parity, stopBits, note, phone, from; "
      "phone and from are empty without a binding)");
  list->add_flag("--csv", self->m_csv,
                 "Print comma-separated values under a header line, the fields named as for --json")
      ->excludes(json);
  list->callback(run(&CTunnelCommands::List));

  CLI::App* add = tunnel->add_subcommand(
      "add",
      "Add a tunnel. All devices on one port share its line settings: when other tunnels use the port "
      "with other settings, the command refuses unless --force is given, which changes them too. "
      "A running service takes the change at its next start or reload.");
  add->add_option("device-id", self->m_deviceId, kIdHelp)->type_name("")->required();
  AddFieldOptions(*add, self->m_add, true);
  add->add_flag("--force", self->m_force, "Also change the other tunnels on the port to these settings");
  add->callback(run(&CTunnelCommands::Add));

  CLI::App* modify = tunnel->add_subcommand(
      "modify", "Change a tunnel; only the options given change. The same-port rule and --force work as for add.");
  modify->add_option("device-id", self->m_deviceId, kIdHelp)->type_name("")->required();
  AddFieldOptions(*modify, self->m_modify, false);
  modify->add_flag("--force", self->m_force, "Also change the other tunnels on the port to these settings");
  modify->callback(run(&CTunnelCommands::Modify));

  CLI::App* remove = tunnel->add_subcommand("delete", "Delete a tunnel and its binding (no question asked)");
  remove->add_option("device-id", self->m_deviceId, kIdHelp)->type_name("")->required();
  remove->callback(run(&CTunnelCommands::Delete));

  CLI::App* bind = tunnel->add_subcommand(
      "bind",
      "Bind a tunnel: a registration of its ID takes the tunnel only with this phone number and from these "
      "networks; any other is closed and the connected device keeps its link. Only the options given change; "
      "\"\" clears one. A running service takes the change at its next start or reload.");
  bind->add_option("device-id", self->m_deviceId, kIdHelp)->type_name("")->required();
  self->m_phoneOption = bind->add_option(
      "--phone", self->m_phone,
      "The phone number the registration must carry (as the device list shows it; at most 11 characters)")
      ->type_name("P");
  self->m_fromOption = bind->add_option(
      "--from", self->m_from,
      "The networks the device may connect from, comma-separated: 10.0.0.0/8,203.0.113.7 (a bare address is one "
      "host)")
      ->type_name("LIST");
  bind->callback(run(&CTunnelCommands::Bind));

  CLI::App* unbind =
      tunnel->add_subcommand("unbind", "Remove a tunnel's binding: any registration of its ID takes it again");
  unbind->add_option("device-id", self->m_deviceId, kIdHelp)->type_name("")->required();
  unbind->callback(run(&CTunnelCommands::Unbind));
}

void CTunnelCommands::AddFieldOptions(CLI::App& command, FieldOptions& fields, bool withDefaults) {
  if (withDefaults) {
    fields.baudRate = kDefaultBaudRate;
    fields.dataBits = kDefaultDataBits;
    fields.stopBits = kDefaultStopBits;
    fields.parity = kDefaultParity;
  }
  fields.portOption =
      command.add_option("--port", fields.port, "COM port, COM1 to COM1024")->type_name("COMn")->required(withDefaults);
  fields.baudRateOption =
      command.add_option("--baud", fields.baudRate, "Baud rate: " + ListText(kBaudRates))->type_name("B");
  fields.dataBitsOption =
      command.add_option("--data-bits", fields.dataBits, "Data bits: " + ListText(kDataBits))->type_name("5|6|7|8");
  fields.stopBitsOption =
      command.add_option("--stop-bits", fields.stopBits, "Stop bits: " + ListText(kStopBits))->type_name("1|1.5|2");
  fields.parityOption = command.add_option("--parity", fields.parity, "Parity: " + ListText(kParities))
                            ->type_name("None|Odd|Even|Space|Mark");
  fields.noteOption = command.add_option("--note", fields.note, "Free text")->type_name("TEXT");
  if (withDefaults) {
    for (CLI::Option* option :
         {fields.baudRateOption, fields.dataBitsOption, fields.stopBitsOption, fields.parityOption})
      option->capture_default_str();
  }
}

int CTunnelCommands::ApplyFields(const FieldOptions& fields, bool onlyGiven, TunnelInfo& tunnel) {
  struct ListChoice {
    CLI::Option* option;
    const std::string& text;
    std::span<const char* const> list;
    std::string TunnelInfo::*member;
    const char* name;
  };
  const ListChoice choices[] = {
      {fields.baudRateOption, fields.baudRate, kBaudRates, &TunnelInfo::BaudRate, "--baud"},
      {fields.dataBitsOption, fields.dataBits, kDataBits, &TunnelInfo::DateBit, "--data-bits"},
      {fields.stopBitsOption, fields.stopBits, kStopBits, &TunnelInfo::StopBit, "--stop-bits"},
      {fields.parityOption, fields.parity, kParities, &TunnelInfo::Parity, "--parity"},
  };
  if (fields.portOption->count() > 0) {
    const auto port = PortField(fields.port);
    if (!port) return BadInput("--port must be COM1 to COM1024 (got \"" + fields.port + "\")");
    tunnel.SerialNo = *port;
  }
  for (const ListChoice& choice : choices) {
    if (onlyGiven && choice.option->count() == 0) continue;
    const auto value = ListField(choice.text, choice.list);
    if (!value) {
      return BadInput(std::string(choice.name) + " must be one of " + ListText(choice.list) + " (got \"" + choice.text +
                      "\")");
    }
    tunnel.*choice.member = *value;
  }
  if (fields.noteOption->count() > 0) tunnel.Note = fields.note;
  return kExitSuccess;
}

const TunnelInfo* CTunnelCommands::Find(const std::vector<TunnelInfo>& stored, int& code) const {
  code = kExitSuccess;
  const auto exact = std::find_if(stored.begin(), stored.end(),
                                  [this](const TunnelInfo& tunnel) { return tunnel.DeviceID == m_deviceId; });
  if (exact != stored.end()) return &*exact;
  const TunnelInfo* found = nullptr;
  for (const TunnelInfo& tunnel : stored) {
    if (!EqualIgnoringCase(tunnel.DeviceID, m_deviceId)) continue;
    if (found != nullptr && found->DeviceID != tunnel.DeviceID) {
      code = BadInput("device IDs " + found->DeviceID + " and " + tunnel.DeviceID +
                      " differ only in letter case; give the ID exactly as stored");
      return nullptr;
    }
    found = &tunnel;
  }
  if (found == nullptr) code = BadInput("there is no tunnel for device " + m_deviceId + " (see: vantreld tunnel list)");
  return found;
}

int CTunnelCommands::Save(CManagementStore& store, CStoreTransaction& transaction,
                          const std::vector<TunnelInfo>& stored, const TunnelInfo& edited, bool add) {
  const std::vector<TunnelInfo> aligned = TunnelsToAlign(stored, edited);
  if (!aligned.empty() && !m_force) {
    std::string message = edited.SerialNo +
                          " is used by other tunnels with other line settings; all devices on a "
                          "port share its settings, so saving would also change:";
    for (const TunnelInfo& tunnel : aligned) {
      const TunnelInfo& before = *std::find_if(
          stored.begin(), stored.end(), [&](const TunnelInfo& other) { return other.DeviceID == tunnel.DeviceID; });
      message += "\n  " + tunnel.DeviceID + "  " + PortSettingsText(before) + "  ->  " + PortSettingsText(tunnel);
    }
    return BadInput(message +
                    "\nNothing was saved. Run again with --force to change them too, or give the same "
                    "settings.");
  }
  const std::string failed = WriteTunnelEdit(store.Store(), aligned, edited, add);
  if (!failed.empty() && failed != edited.DeviceID) return store.Failed("cannot change the tunnel of " + failed);
  if (!failed.empty() || !transaction.Commit()) return store.Failed("cannot save the tunnel of " + edited.DeviceID);
  for (const TunnelInfo& tunnel : aligned) {
    std::cout << "Tunnel " << tunnel.DeviceID << " changed to " << PortSettingsText(tunnel) << ".\n";
  }
  std::cout << "Tunnel " << edited.DeviceID << (add ? " added: " : " modified: ") << PortSettingsText(edited) << ".\n";
  return kExitSuccess;
}

int CTunnelCommands::OnNamedTunnel(const TunnelChange& change) {
  return InTransaction([&](CManagementStore& store, CStoreTransaction& transaction,
                           const std::vector<TunnelInfo>& stored) {
    int code = kExitSuccess;
    const TunnelInfo* found = Find(stored, code);
    return found == nullptr ? code : change(store, transaction, stored, *found);
  });
}

int CTunnelCommands::InTransaction(const Change& change) {
  CManagementStore store;
  if (!store.Open()) return kExitFailure;
  CStoreTransaction transaction(store.Store());
  if (!transaction.Begun()) return store.Failed("cannot start writing");
  std::vector<TunnelInfo> stored;
  if (!LoadAll(store.Store(), stored)) return store.Failed("cannot read the tunnels");
  return change(store, transaction, stored);
}

int CTunnelCommands::List() {
  CManagementStore store;
  if (!store.OpenForReading()) return kExitFailure;
  std::vector<TunnelInfo> tunnels;
  if (!LoadAll(store.Store(), tunnels)) return store.Failed("cannot read the tunnels");
  std::vector<TunnelBinding> stored;
  if (store.Store().LoadBindings(stored) != 1) return store.Failed("cannot read the tunnel bindings");
  std::map<std::string, TunnelBinding> bindings;
  for (TunnelBinding& binding : stored) bindings.emplace(binding.DeviceID, std::move(binding));
  const auto bindingOf = [&bindings](const TunnelInfo& tunnel) {
    const auto it = bindings.find(tunnel.DeviceID);
    return it == bindings.end() ? TunnelBinding{} : it->second;
  };
  std::stable_sort(tunnels.begin(), tunnels.end(),
                   [](const TunnelInfo& a, const TunnelInfo& b) { return a.DeviceID < b.DeviceID; });
  if (m_json) {
    std::cout << '[';
    for (std::size_t i = 0; i < tunnels.size(); ++i) {
      const TunnelInfo& tunnel = tunnels[i];
      const TunnelBinding binding = bindingOf(tunnel);
      std::cout << (i == 0 ? "" : ",")
                << CJsonObject()
                       .Add("deviceId", tunnel.DeviceID)
                       .Add("port", tunnel.SerialNo)
                       .Add("baudRate", tunnel.BaudRate)
                       .Add("dataBits", tunnel.DateBit)
                       .Add("parity", tunnel.Parity)
                       .Add("stopBits", tunnel.StopBit)
                       .Add("note", tunnel.Note)
                       .Add("phone", binding.Phone)
                       .Add("from", binding.Networks)
                       .Text();
    }
    std::cout << "]\n";
    return kExitSuccess;
  }
  if (m_csv) {
    std::cout << CsvLine({"deviceId", "port", "baudRate", "dataBits", "parity", "stopBits", "note", "phone", "from"});
    for (const TunnelInfo& tunnel : tunnels) {
      const TunnelBinding binding = bindingOf(tunnel);
      std::cout << CsvLine({tunnel.DeviceID, tunnel.SerialNo, tunnel.BaudRate, tunnel.DateBit, tunnel.Parity,
                            tunnel.StopBit, tunnel.Note, binding.Phone, binding.Networks});
    }
    return kExitSuccess;
  }
  if (tunnels.empty()) {
    std::cout << "No tunnels.\n";
    return kExitSuccess;
  }
  CTextTable table({"Device ID", "Port", "Baud rate", "Data bits", "Parity", "Stop bits", "Phone", "From", "Note"});
  for (const TunnelInfo& tunnel : tunnels) {
    const TunnelBinding binding = bindingOf(tunnel);
    table.AddRow({tunnel.DeviceID, tunnel.SerialNo, tunnel.BaudRate, tunnel.DateBit, tunnel.Parity, tunnel.StopBit,
                  binding.Phone.empty() ? "any" : TextOf(binding.Phone),
                  binding.Networks.empty() ? "any" : binding.Networks, TextOf(tunnel.Note)});
  }
  table.Print(std::cout);
  return kExitSuccess;
}

int CTunnelCommands::Add() {
  const auto id = DeviceIdField(m_deviceId);
  if (!id) return BadInput(DeviceIdProblem(m_deviceId));
  TunnelInfo tunnel;
  tunnel.DeviceID = *id;
  if (const int code = ApplyFields(m_add, false, tunnel); code != kExitSuccess) return code;

  const int code = InTransaction([&](CManagementStore& store, CStoreTransaction& transaction,
                                     const std::vector<TunnelInfo>& stored) {
    if (const TunnelInfo* existing = FindTunnelIgnoringCase(stored, tunnel.DeviceID)) {
      return BadInput("a tunnel for device " + existing->DeviceID + " already exists (use: vantreld tunnel modify)");
    }
    return Save(store, transaction, stored, tunnel, true);
  });
  if (code == kExitSuccess && m_deviceId != tunnel.DeviceID) {
    std::cout << "(" << m_deviceId << " is stored as " << tunnel.DeviceID << ", the form devices register with.)\n";
  }
  return code;
}

int CTunnelCommands::Modify() {
  if (!DeviceIdField(m_deviceId)) return BadInput(DeviceIdProblem(m_deviceId));
  TunnelInfo changes;
  if (const int code = ApplyFields(m_modify, true, changes); code != kExitSuccess) return code;
  const FieldOptions& given = m_modify;
  if (given.portOption->count() + given.baudRateOption->count() + given.dataBitsOption->count() +
          given.stopBitsOption->count() + given.parityOption->count() + given.noteOption->count() ==
      0) {
    return BadInput(
        "nothing to change: give at least one of --port, --baud, --data-bits, --stop-bits, --parity, --note");
  }

  return OnNamedTunnel([&](CManagementStore& store, CStoreTransaction& transaction,
                           const std::vector<TunnelInfo>& stored, const TunnelInfo& found) {
    TunnelInfo tunnel = found;
    ApplyFields(m_modify, true, tunnel);
    return Save(store, transaction, stored, tunnel, false);
  });
}

int CTunnelCommands::Delete() {
  if (!DeviceIdField(m_deviceId)) return BadInput(DeviceIdProblem(m_deviceId));
  return OnNamedTunnel([&](CManagementStore& store, CStoreTransaction& transaction,
                           const std::vector<TunnelInfo>&, const TunnelInfo& found) {
    const std::string id = found.DeviceID;
    if (!DeleteTunnelAndBinding(store.Store(), id) || !transaction.Commit()) {
      return store.Failed("cannot delete the tunnel of " + id);
    }
    std::cout << "Tunnel " << id << " deleted.\n";
    return kExitSuccess;
  });
}

int CTunnelCommands::Bind() {
  if (!DeviceIdField(m_deviceId)) return BadInput(DeviceIdProblem(m_deviceId));
  if (m_phoneOption->count() + m_fromOption->count() == 0)
    return BadInput("nothing to bind: give --phone, --from or both (see also: vantreld tunnel unbind)");
  const std::optional<std::string> phone = PhoneField(m_phone);
  if (m_phoneOption->count() > 0 && !phone) {
    return BadInput("--phone must be at most " + std::to_string(kLongestPhone) +
                    " characters without blanks, as a registration carries it (got \"" + m_phone + "\")");
  }
  std::string bad;
  const std::optional<std::string> from = NetworksField(m_from, &bad);
  if (m_fromOption->count() > 0 && !from) return BadInput("--from: " + NetworksProblem(bad));

  // A binding guards a tunnel: one without it would only vanish with a later delete.
  return OnNamedTunnel([&](CManagementStore& store, CStoreTransaction& transaction,
                           const std::vector<TunnelInfo>&, const TunnelInfo& found) {
    std::vector<TunnelBinding> bindings;
    if (store.Store().LoadBindings(bindings) != 1) return store.Failed("cannot read the tunnel bindings");
    TunnelBinding binding{found.DeviceID, {}, {}};
    for (const TunnelBinding& existing : bindings) {
      if (existing.DeviceID == binding.DeviceID) binding = existing;
    }
    if (m_phoneOption->count() > 0) binding.Phone = *phone;
    if (m_fromOption->count() > 0) binding.Networks = *from;
    if (store.Store().SaveBinding(binding) != 1 || !transaction.Commit())
      return store.Failed("cannot save the binding of " + binding.DeviceID);
    if (binding.Phone.empty() && binding.Networks.empty()) {
      std::cout << "Tunnel " << binding.DeviceID << " is not bound: any registration of its ID takes it.\n";
    } else {
      std::cout << "Tunnel " << binding.DeviceID << " bound: phone "
                << (binding.Phone.empty() ? "any" : binding.Phone) << ", from "
                << (binding.Networks.empty() ? "any address" : binding.Networks) << ".\n";
    }
    return kExitSuccess;
  });
}

int CTunnelCommands::Unbind() {
  if (!DeviceIdField(m_deviceId)) return BadInput(DeviceIdProblem(m_deviceId));
  return OnNamedTunnel([&](CManagementStore& store, CStoreTransaction& transaction,
                           const std::vector<TunnelInfo>&, const TunnelInfo& found) {
    const std::string id = found.DeviceID;
    if (store.Store().DeleteBinding(id) != 1 || !transaction.Commit())
      return store.Failed("cannot remove the binding of " + id);
    std::cout << "Tunnel " << id << " is not bound: any registration of its ID takes it.\n";
    return kExitSuccess;
  });
}
