#pragma once

#include <string>

// The application directory: VANTREL_APP_DIR when set, else the directory of the running
// executable. Info.db, Sockora.log and the English module live there. Any thread.
std::string ApplicationDirectory();

// The directory of the running executable. Any thread.
std::string ExecutableDirectory();

// `name` inside the application directory.
std::string AppFilePath(const std::string& name);

// Where COM<n> entries live: VANTREL_PORT_DIR, else <application directory>/ports.
std::string PortDirectory();
