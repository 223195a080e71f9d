#include "ReloadCommand.h"

#include <iostream>
#include <string>

#include "CommandStatus.h"
#include "platform/AppPaths.h"
#include "platform/CNamedEventHost.h"
#include "service/CDlgSimulation.h"

void AddReloadCommand(CLI::App& app, int& exitCode) {
  CLI::App* reload = app.add_subcommand(
      "reload",
      "Apply the stored tunnels, bindings and settings to the running instance of this application directory, as "
      "SIGHUP does: devices whose tunnel did not change stay connected. Waits for the outcome: exit 0 with what "
      "changed, 1 with the reason when it was refused (the instance keeps its configuration) or no instance runs");
  reload->callback([&exitCode] {
    CNamedEventHost::Reply reply;
    std::string error;
    // Longer than the instance waits for its own reload, so its answer comes first.
    const unsigned timeoutMs = CDlgSimulation::kReloadWaitMs + 10000;
    if (CNamedEventHost::Request(ApplicationDirectory(), CDlgSimulation::kReloadRequestName, "", reply, error,
                                 timeoutMs) != 0) {
      exitCode = Failure(error);
      return;
    }
    if (reply.ExitCode != 0) {
      exitCode = Failure("reload refused, the instance keeps its configuration: " + reply.Text);
      return;
    }
    std::cout << "Reloaded: " << reply.Text << '\n';
    exitCode = kExitSuccess;
  });
}
