#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <string>
#include <vector>

#include "CManagementStore.h"
#include "storage/CStoreTransaction.h"
#include "model/TunnelInfo.h"

// "vantreld tunnel list|add|modify|delete|bind|unbind": the configured tunnels in Info.db,
// with the device editor's rules (8 hexadecimal digits, the editor's parameter lists, one
// set of line settings per port), and their bindings (the phone number and the networks a
// registration must show to take the tunnel). Each change is one transaction: all of it
// or nothing; deleting a tunnel deletes its binding.
class CTunnelCommands {
 public:
  // Adds the "tunnel" subcommand to `app`; the callbacks set exitCode. Main thread.
  static void Register(CLI::App& app, int& exitCode);

 private:
  // The options that set a tunnel's fields, for one subcommand.
  struct FieldOptions {
    std::string port, baudRate, dataBits, stopBits, parity, note;
    CLI::Option* portOption = nullptr;
    CLI::Option* baudRateOption = nullptr;
    CLI::Option* dataBitsOption = nullptr;
    CLI::Option* stopBitsOption = nullptr;
    CLI::Option* parityOption = nullptr;
    CLI::Option* noteOption = nullptr;
  };

  static void AddFieldOptions(CLI::App& command, FieldOptions& fields, bool withDefaults);
  // Checks the fields (only those given on the command line when `onlyGiven`, else the
  // list fields with their defaults too) and writes them into `tunnel`: kExitSuccess, or
  // kExitBadInput after telling why.
  static int ApplyFields(const FieldOptions& fields, bool onlyGiven, TunnelInfo& tunnel);
  // The stored tunnel of `id`: the exact ID, else the one ID equal ignoring letter case.
  // Null after telling why (absent, or ambiguous), with `code` set to kExitBadInput.
  const TunnelInfo* Find(const std::vector<TunnelInfo>& stored, int& code) const;
  // Stores `edited` (added, or replacing its row) after the tunnels the same-port rule
  // changes, and commits `transaction`, which the caller began before reading `stored`.
  // Refuses (kExitBadInput) when other tunnels would change without --force.
  int Save(CManagementStore& store, CStoreTransaction& transaction, const std::vector<TunnelInfo>& stored,
           const TunnelInfo& edited, bool add);

  // Opens the store, begins one write transaction and reads every stored tunnel, then
  // runs `change`; the exit code of a failure on the way or of `change`.
  using Change = std::function<int(CManagementStore& store, CStoreTransaction& transaction,
                                   const std::vector<TunnelInfo>& stored)>;
  int InTransaction(const Change& change);
  // InTransaction, for a change to the stored tunnel the command names (Find): an absent
  // or ambiguous one ends the command with Find's code.
  using TunnelChange = std::function<int(CManagementStore& store, CStoreTransaction& transaction,
                                         const std::vector<TunnelInfo>& stored, const TunnelInfo& tunnel)>;
  int OnNamedTunnel(const TunnelChange& change);
  int List();
  int Add();
  int Modify();
  int Delete();
  int Bind();
  int Unbind();

  std::string m_deviceId;
  FieldOptions m_add;
  FieldOptions m_modify;
  std::string m_phone, m_from;
  CLI::Option* m_phoneOption = nullptr;
  CLI::Option* m_fromOption = nullptr;
  bool m_force = false;
  bool m_json = false;
  bool m_csv = false;
};
