#include <CLI/CLI.hpp>

#include <cstdio>
#include <optional>
#include <string>

#include "CommandSynopsis.h"
#include "ParseCommandLine.h"
#include "VantrelVersion.h"
#include "ManagementCommands.h"
#include "ServiceMode.h"
#include "service/CDlgSimulation.h"
#include "platform/AppPaths.h"
#include "platform/CNamedEventHost.h"
#include "platform/DirectoryAccess.h"
#include "platform/DebugSink.h"

int main(int argc, char** argv) {
  CLI::App app{
      "Vantrel without windows: bridges remote serial devices (TCP clients) to local serial ports.\n"
      "Without a command it runs the service with the tunnels and settings of Info.db in the\n"
      "application directory (--app-dir, VANTREL_APP_DIR, else /var/lib/vantrel when installed by the\n"
      "package, else the program's directory) until SIGTERM or SIGINT;\n"
      "SIGHUP (or `vantreld reload`) applies the stored tunnels, bindings and settings to the running\n"
      "service; devices whose tunnel did not change stay connected.\n"
      "It prints status lines and one line per device event: registered, offline, replaced by a\n"
      "newer connection, registered without a tunnel, refused, a port that cannot be opened and its\n"
      "recovery.\n"
      "The commands below manage the same tunnels, settings and stored data; a running service\n"
      "uses changed tunnels and settings from its next start or reload.\n"
      "Language: LanguageCfg.ini ([CONFIG] LANGUAGE=1 Chinese, 2 English) in the working directory, the\n"
      "application directory or beside the program, else the locale (LANG=zh_CN.UTF-8: Chinese).",
      "vantreld"};
  app.set_version_flag("--version", std::string("vantreld ") + kVantrelVersion, "Print the version and exit");
  ServiceOptions options;
  bool debug = false;
  std::string signalName;
  app.add_flag("--debug", debug, "Write diagnostic lines to stderr (as VANTREL_DEBUG=1 does)");
  app.add_flag("--monitor", options.monitor, "Print every forwarded block: time, direction, channel, type, data, status");
  app.add_flag("--hex", options.hex, "With --monitor: print the data in hexadecimal");
  app.add_flag("--quiet", options.quiet, "Print only problems (a port that cannot be opened, a failed start)");
  app.add_option("--signal", signalName,
                 "Signal the instance running with this application directory and exit: SockoraServerShutdown "
                 "stops it, SockoraServerPauseResume stops or resumes accepting new devices")
      ->check(CLI::IsMember({CDlgSimulation::kShutdownEventName, CDlgSimulation::kPauseResumeEventName}));
  std::string appDir;
  app.add_option("--app-dir", appDir,
                 "Use DIR as the application directory (Info.db, Sockora.log, ports), ahead of VANTREL_APP_DIR")
      ->type_name("DIR")
      ->check(CLI::Validator(CLI::ExistingDirectory).description(""));
  // Before any command runs: each works in the settled directory, as its owner when run as
  // root, so that what it creates stays usable by the service.
  app.parse_complete_callback([&appDir] {
    std::string problem;
    if (!SetUpApplicationDirectory(AppRole::Service, appDir, UsedFolder::Application, problem)) {
      std::fprintf(stderr, "vantreld: %s\n", problem.c_str());
      throw CLI::RuntimeError(1);
    }
  });
  int commandExitCode = 0;
  AddManagementCommands(app, commandExitCode);
  SetCommandFooters(app,
                    "Exit codes: 0 done, 1 a failure of the system or the database (or a failed start), 2 bad input, "
                    "3 no instance for status.");
  app.require_subcommand(0, 1);

  const auto badInput = [](const std::string& reason) {
    std::fprintf(stderr, "vantreld: %s\nRun with --help for the options.\n", reason.c_str());
    return 2;
  };
  if (const std::optional<int> exitCode = ParseCommandLine(app, argc, argv, badInput)) return *exitCode;
  if (debug) EnableDebugSink(true);
  if (!app.get_subcommands().empty()) return commandExitCode;

  if (!signalName.empty()) {
    std::string error;
    if (CNamedEventHost::Signal(ApplicationDirectory(), signalName, error) != 0) {
      std::fprintf(stderr, "vantreld: %s\n", error.c_str());
      return 1;
    }
    return 0;
  }
  return RunService(options);
}
