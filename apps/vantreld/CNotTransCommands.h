#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "storage/NotTransFilter.h"

// "vantreld nottrans query|delete|delete-all": the device data that could not be written
// to its COM port, selected by device ID and/or receive time as in the not-forwarded
// data dialog (query without a condition: every record). query streams every match
// (none held in memory) as text, JSON or CSV and counts them; the deletes say how many
// records went.
class CNotTransCommands {
 public:
  // Adds the "nottrans" subcommand to `app`; the callbacks set exitCode. Main thread.
  static void Register(CLI::App& app, int& exitCode);

 private:
  static void AddFilterOptions(CLI::App& command, CNotTransCommands& self);
  // The condition given to `command`: kExitSuccess with `filter` set (left empty for a
  // query without one), or kExitBadInput after telling why (a delete without a condition,
  // a bad device ID or time, an empty range).
  int BuildFilter(const CLI::App& command, NotTransFilter& filter) const;

  int Query();
  int Delete();
  int DeleteAll();

  std::string m_device, m_from, m_to;
  bool m_hex = false;
  bool m_json = false;
  bool m_csv = false;
  bool m_yes = false;
  CLI::App* m_query = nullptr;
  CLI::App* m_delete = nullptr;
};
