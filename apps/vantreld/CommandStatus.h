#pragma once

#include <string>

// Exit codes of the management commands.
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;   // the database or the environment failed
constexpr int kExitBadInput = 2;  // the command line asked for something unacceptable

// Write "vantreld: <message>" on stderr and return the matching exit code. Main thread.
int BadInput(const std::string& message);
int Failure(const std::string& message);
