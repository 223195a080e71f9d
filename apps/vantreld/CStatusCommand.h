#pragma once

#include <CLI/CLI.hpp>

#include "model/ServiceSnapshot.h"

// "vantreld status [--json]": asks the instance running with this application directory
// for its snapshot over the control socket and prints it, as tables or as one JSON object.
class CStatusCommand {
 public:
  // Exit code when no instance runs with the application directory (as init scripts say).
  static constexpr int kExitNotRunning = 3;

  // Adds the "status" command to `app`; its callback sets exitCode. Main thread.
  static void Register(CLI::App& app, int& exitCode);

 private:
  int Run() const;
  static void PrintTables(const ServiceSnapshot& snapshot);
  static void PrintJson(const ServiceSnapshot& snapshot);

  bool m_json = false;
};
