#pragma once

#include <map>
#include <string>
#include <vector>

#include "model/SettingInfo.h"
#include "model/TunnelBinding.h"
#include "model/TunnelInfo.h"

// The configuration stored in Info.db, read as the service uses it: the tunnels by device
// ID, the tunnel bindings and the settings (with the start's defaults applied: an empty
// LocalIp becomes this computer's first IPv4 address, a LocalPort of 0 becomes 5001).
struct StoredConfiguration {
  std::map<std::string, TunnelInfo> Tunnels;
  std::vector<TunnelBinding> Bindings;
  SettingInfo Settings;
  // Stored values that cannot be used as they are (a setting that does not parse or lies
  // outside the settings dialog's range, a tunnel row that can never work, a binding whose
  // networks do not parse, which then admits no address), each naming the key or row, the
  // value and what is used instead.
  std::vector<std::string> Problems;
  // What is used in another form than stored, and works: a lower-case device ID is used in
  // its upper-case form.
  std::vector<std::string> Notes;
};

// Reads Info.db, with missing rows of the settings table made first. Nothing stored is
// rewritten. A file that may only be read is used as it is (with a note). False when
// Info.db cannot be opened or read; `failure` then says why. Any thread that may open the
// database.
bool ReadStoredConfiguration(StoredConfiguration& configuration, std::string& failure);

// Puts the configuration in effect for every thread: the tunnels and bindings into
// CTunnelTable in one step, then the process-wide settings. Any thread.
void InstallConfiguration(const StoredConfiguration& configuration);

// What the program loads before anything else runs: ReadStoredConfiguration, its problems
// and notes reported with WriteWarning, then InstallConfiguration. False, with the reason
// in `failure` for the caller to show (the desktop program through the notice hook, the
// headless service on stderr), when the database cannot be read; the table and settings
// are left as they were. User-interface thread, at start-up.
bool LoadStartupConfiguration(std::string& failure);
