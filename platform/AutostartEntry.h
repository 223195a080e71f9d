#pragma once

#include <string>
#include <vector>

// The per-user start at log-on: an XDG autostart entry named Vantrel.desktop in
// $XDG_CONFIG_HOME/autostart, else ~/.config/autostart. Any thread.

// Where the entry lives; empty when neither XDG_CONFIG_HOME (an absolute path) nor a home
// directory is known.
std::string AutostartEntryPath();

// Writes the entry so that the desktop session starts `program` (an absolute path) when
// the user logs on, creating the directory as needed and replacing an older entry whole.
// Returns 0, or the errno of the failure (ENOENT when there is no path for it).
int WriteAutostartEntry(const std::string& program);
// As above, starting `command` (the program, then its arguments) in `workingDirectory`
// (none when empty).
int WriteAutostartEntry(const std::vector<std::string>& command, const std::string& workingDirectory);

// Removes the entry; an absent one is no failure. Returns 0 or the errno of the failure.
int RemoveAutostartEntry();
