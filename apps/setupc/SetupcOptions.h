#pragma once

#include <optional>
#include <string>
#include <vector>

// What setupc is asked to do, checked: port names are in their canonical form
// ("COM5", "COM5_FF"), whatever letter case or leading zeros they were typed with.
struct SetupcOptions {
  enum class Command { Install, Remove, List, Restore };

  // What an install argument asks of its end's access; nothing for the default.
  struct EndAccess {
    std::optional<unsigned> mode;  // permission bits, at most 0777
    std::optional<std::string> group;
  };

  Command command = Command::List;
  std::vector<std::string> names;  // install: the two ends; remove: the one end named
  std::vector<EndAccess> access;   // install: one per end
  std::string appDir;              // --app-dir; empty when not given
};

// Parses the command line. Returns -1 when the command should run; otherwise the exit
// code (0 after --help, 2 after bad input, with the reason on stderr).
int ParseSetupcOptions(int argc, char** argv, SetupcOptions& options);
