#include "SetupcOptions.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <iostream>
#include <optional>
#include <sstream>

#include "ParseCommandLine.h"
#include "VantrelVersion.h"

namespace {

constexpr int kHighestPort = 1024;

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
         });
}

// "COM<n>" with n from 1 to 1024, or the other end's "COM<n>_FF". Letter case is ignored
// and the number is read as a number, as the service reads a tunnel's port name, so
// "com05" is COM5. Returns the canonical name, or nothing for any other text.
std::optional<std::string> CanonicalPortName(const std::string& text) {
  if (text.size() < 4 || !EqualsIgnoringCase(text.substr(0, 3), "COM")) return std::nullopt;
  std::string rest = text.substr(3);
  std::string suffix;
  if (rest.size() > 3 && EqualsIgnoringCase(rest.substr(rest.size() - 3), "_FF")) {
    suffix = "_FF";
    rest.resize(rest.size() - 3);
  }
  if (rest.empty() || rest.size() > 8) return std::nullopt;
  int number = 0;
  for (char c : rest) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
    number = number * 10 + (c - '0');
  }
  if (number < 1 || number > kHighestPort) return std::nullopt;
  return "COM" + std::to_string(number) + suffix;
}

int BadInput(const std::string& message) {
  std::cerr << "setupc: " << message << "\nRun setupc --help for the usage.\n";
  return 2;
}

// Permission bits written in octal ("0660", "660"); nothing for anything else.
std::optional<unsigned> ModeValue(const std::string& text) {
  if (text.empty() || text.size() > 4) return std::nullopt;
  unsigned mode = 0;
  for (char c : text) {
    if (c < '0' || c > '7') return std::nullopt;
    mode = mode * 8 + static_cast<unsigned>(c - '0');
  }
  if (mode > 0777) return std::nullopt;
  return mode;
}

// A group name as the system writes them: letters, digits, '_', '-', '.', not first '-'.
bool GroupNameValue(const std::string& text) {
  if (text.empty() || text.size() > 32 || text[0] == '-') return false;
  return std::all_of(text.begin(), text.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.';
  });
}

// One "PortName=COM5[,Option=value...]" argument. EmuBR and EmuOverrun are accepted for
// compatibility and change nothing for a pty pair (see the help text); Mode and Group set
// the end's access.
bool ParsePortArgument(const std::string& argument, bool allowOptions, std::string& name,
                       SetupcOptions::EndAccess& access, std::string& error) {
  std::stringstream items(argument);
  std::string item;
  bool named = false;
  while (std::getline(items, item, ',')) {
    const auto equals = item.find('=');
    if (equals == std::string::npos) {
      error = "\"" + item + "\" in \"" + argument + "\" is not of the form Key=value";
      return false;
    }
    const std::string key = item.substr(0, equals);
    const std::string value = item.substr(equals + 1);
    if (EqualsIgnoringCase(key, "PortName")) {
      if (named) {
        error = "\"" + argument + "\" names more than one port";
        return false;
      }
      const auto canonical = CanonicalPortName(value);
      if (!canonical) {
        error = "bad port name \"" + value + "\": use COM<n> or COM<n>_FF with n from 1 to " +
                std::to_string(kHighestPort);
        return false;
      }
      name = *canonical;
      named = true;
    } else if (!allowOptions) {
      error = "remove takes only PortName=<name>, not \"" + item + "\"";
      return false;
    } else if (EqualsIgnoringCase(key, "EmuBR") || EqualsIgnoringCase(key, "EmuOverrun")) {
      if (!EqualsIgnoringCase(value, "yes") && !EqualsIgnoringCase(value, "no")) {
        error = key + " takes yes or no, not \"" + value + "\"";
        return false;
      }
    } else if (EqualsIgnoringCase(key, "Mode")) {
      access.mode = ModeValue(value);
      if (!access.mode) {
        error = "Mode takes permission bits in octal such as 0660, not \"" + value + "\"";
        return false;
      }
    } else if (EqualsIgnoringCase(key, "Group")) {
      if (!GroupNameValue(value)) {
        error = "Group takes a group name such as dialout, not \"" + value + "\"";
        return false;
      }
      access.group = value;
    } else {
      error = "unknown option \"" + key + "\" (known: PortName, EmuBR, EmuOverrun, Mode, Group)";
      return false;
    }
  }
  if (!named) error = "\"" + argument + "\" lacks PortName=<name>";
  return named;
}

// The caller may hand the whole command line over as one argument; names never hold
// blanks, so splitting at blanks gives the same arguments either way.
std::vector<std::string> SplitAtBlanks(int argc, char** argv) {
  std::vector<std::string> words{argc > 0 ? argv[0] : "setupc"};
  for (int i = 1; i < argc; ++i) {
    std::istringstream split(argv[i]);
    std::string word;
    while (split >> word) words.push_back(word);
  }
  return words;
}

}  // namespace

int ParseSetupcOptions(int argc, char** argv, SetupcOptions& options) {
  CLI::App app{
      "Creates and removes virtual null-modem pairs for Vantrel: two pseudo-terminals joined back to "
      "back, linked into the port directory as COM<n> names (VANTREL_PORT_DIR, else <application "
      "directory>/ports; created when missing; the application directory is --app-dir, VANTREL_APP_DIR, "
      "else /var/lib/vantrel when installed by the package, else the program's directory). Run as root "
      "on a folder that another user owns (the service's), setupc acts as that user, so that the "
      "service may use the pairs. A small background process holds each pair until it "
      "is removed. A pair whose background process was killed is stale: Vantrel no longer opens its "
      "ports (their ptys may belong to other programs by now), list shows it, and remove or a new "
      "install of its names cleans it up.\n\n"
      "Examples:\n"
      "  setupc install PortName=COM5 PortName=COM5_FF,EmuBR=yes,EmuOverrun=yes\n"
      "  setupc install PortName=COM6 PortName=COM6_FF,Mode=0660,Group=dialout\n"
      "  setupc list\n"
      "  setupc remove PortName=COM5      (either end's name removes the pair)\n"
      "  setupc restore                   (at boot: re-create the recorded pairs)\n\n"
      "Port names: COM<n> or COM<n>_FF, n from 1 to 1024, letter case ignored.\n"
      "Options after a name: Mode=<octal> and Group=<name> set that end's permissions and group, so "
      "that serial software running as a member of the group can open it; the defaults are 0660 and "
      "the group dialout when that group exists and setupc may give it (as root, or as a member), "
      "otherwise the pty's own (owner only). EmuBR=yes|no and EmuOverrun=yes|no are accepted and have "
      "no effect here: a pty pair passes bytes as fast as the reader takes them whatever the baud rate, "
      "and never drops bytes (a full end holds the writer back). Other options are refused.\n\n"
      "Exit codes: 0 done, 1 the system failed (no pty, no directory, no process, a group or mode that "
      "cannot be set), 2 bad input (bad name or option, a name in use, no such pair).\n",
      "setupc"};
  app.set_version_flag("--version", std::string("setupc ") + kVantrelVersion, "Print the version and exit");
  app.require_subcommand(1);
  app.add_option("--app-dir", options.appDir, "Use DIR as the application directory, ahead of VANTREL_APP_DIR")
      ->type_name("DIR")
      ->check(CLI::Validator(CLI::ExistingDirectory).description(""));
  std::vector<std::string> installArgs;
  std::string removeArg;
  auto* install = app.add_subcommand("install", "Create a pair: install PortName=<name> PortName=<name>[,options]");
  install->add_option("ends", installArgs, "The two ends, each PortName=<name>[,Option=value...]")
      ->required()
      ->expected(2);
  auto* remove = app.add_subcommand("remove", "Remove the pair that has the end named: remove PortName=<name>");
  remove->add_option("end", removeArg, "PortName=<name> of either end")->required();
  auto* list = app.add_subcommand("list", "List the pairs in the port directory, the stale ones marked");
  auto* restore = app.add_subcommand(
      "restore",
      "Re-create every recorded pair whose background process is gone (after a reboot), with its names, "
      "mode and group");

  std::vector<std::string> words = SplitAtBlanks(argc, argv);
  std::vector<char*> pointers;
  for (auto& word : words) pointers.push_back(word.data());
  if (const std::optional<int> exitCode =
          ParseCommandLine(app, static_cast<int>(pointers.size()), pointers.data(), BadInput))
    return *exitCode;

  std::string error;
  if (install->parsed()) {
    options.command = SetupcOptions::Command::Install;
    for (const auto& argument : installArgs) {
      std::string name;
      SetupcOptions::EndAccess access;
      if (!ParsePortArgument(argument, true, name, access, error)) return BadInput(error);
      options.names.push_back(name);
      options.access.push_back(access);
    }
    if (options.names[0] == options.names[1])
      return BadInput("both ends are named " + options.names[0] + "; a pair needs two names");
  } else if (remove->parsed()) {
    options.command = SetupcOptions::Command::Remove;
    std::string name;
    SetupcOptions::EndAccess unused;
    if (!ParsePortArgument(removeArg, false, name, unused, error)) return BadInput(error);
    options.names.push_back(name);
  } else if (list->parsed()) {
    options.command = SetupcOptions::Command::List;
  } else if (restore->parsed()) {
    options.command = SetupcOptions::Command::Restore;
  }
  return -1;
}
