#include "ManagementCommands.h"

#include "CEventsCommand.h"
#include "CNotTransCommands.h"
#include "CSettingsCommands.h"
#include "CStatusCommand.h"
#include "CTunnelCommands.h"
#include "ReloadCommand.h"

void AddManagementCommands(CLI::App& app, int& exitCode) {
  CTunnelCommands::Register(app, exitCode);
  CSettingsCommands::Register(app, exitCode);
  CNotTransCommands::Register(app, exitCode);
  AddReloadCommand(app, exitCode);
  CEventsCommand::Register(app, exitCode);
  CStatusCommand::Register(app, exitCode);
}
