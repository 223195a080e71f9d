#pragma once

#include <CLI/CLI.hpp>

// Registers the management commands on the vantreld command line: "tunnel", "settings"
// and "nottrans", working on Info.db in the application directory (created with its
// tables when missing), and "status", asking the instance running there. The callback of the command that runs sets exitCode: 0 success,
// 2 bad input (the reason on stderr, nothing written), 1 a failure of the database or
// the environment. `app` and `exitCode` must outlive the parse. Main thread.
void AddManagementCommands(CLI::App& app, int& exitCode);
