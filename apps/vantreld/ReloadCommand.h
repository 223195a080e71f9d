#pragma once

#include <CLI/CLI.hpp>

// "vantreld reload": asks the instance running with this application directory to apply
// the stored tunnels, bindings and settings (as SIGHUP does) and waits for the outcome:
// exit 0 with what changed on stdout, or 1 with the reason on stderr (a refused reload
// keeps the running configuration; or no instance runs there). Adds the command to `app`;
// its callback sets exitCode. Main thread.
void AddReloadCommand(CLI::App& app, int& exitCode);
