#pragma once

#include <string>

// The folder an installed Vantrel keeps the service's data in (the units' state directory).
inline constexpr const char* kServiceDirectory = "/var/lib/vantrel";
// Files an administrator may name another application or port directory in, with the
// lines VANTREL_APP_DIR=... and VANTREL_PORT_DIR=...; the first that names one wins.
inline constexpr const char* kConfigurationFiles[] = {"/etc/vantrel/vantrel.conf", "/etc/default/vantrel"};
// The package puts this file beside the programs: they were installed, not built here.
inline constexpr const char* kInstalledMarker = "installed-by-package";

// The application directory: Info.db, Sockora.log and the English module live there.
// VANTREL_APP_DIR when set (--app-dir sets it); else, for programs installed by the
// package, the service's folder (kServiceDirectory, or what a configuration file names);
// else the directory of the running executable (a build run from the source tree).
// Any thread.
std::string ApplicationDirectory();

// The directory of the running executable. Any thread.
std::string ExecutableDirectory();

// `name` inside the application directory.
std::string AppFilePath(const std::string& name);

// Where COM<n> entries live: VANTREL_PORT_DIR; else, when the application directory is
// the installed service folder, what a configuration file names; else
// <application directory>/ports. Any thread.
std::string PortDirectory();

// True when the running executable was installed by the package. Any thread.
bool InstalledByPackage();

// Who settles the application directory: the service's programs (vantreld, setupc) use the
// service's folder; the desktop program of an installed Vantrel uses a folder of its user.
enum class AppRole { Service, Desktop };

// Fixes this process's application directory: `chosen` (--app-dir) when not empty, else
// VANTREL_APP_DIR, else for the desktop program of an installed Vantrel its user's
// $XDG_DATA_HOME/vantrel (~/.local/share/vantrel), made (owner only) when missing, else
// the rule of ApplicationDirectory. A directory chosen here is exported as VANTREL_APP_DIR
// so that programs this one starts (setupc) use it too. False, with the reason in
// `problem`, when the folder cannot be made or a configuration file cannot be used.
// Main thread, before other threads read the environment.
bool SettleApplicationDirectory(AppRole role, const std::string& chosen, std::string& problem);

// Permission bits for a new data file (Info.db, a log) in `directory`: the owner reads and
// writes; the directory's group reads when it may read the directory, and writes too when
// it may write there (the service's folder, shared with the group's members); nobody else.
// Any thread.
unsigned DataFileMode(const std::string& directory);
