#pragma once

#include <string>

// What the program loads from its database before anything else runs (and again for a
// reload): every stored tunnel and tunnel binding into CTunnelTable (in the order read,
// replacing what was there) and the stored settings into the process-wide
// SettingInfo, with missing rows of the settings table made first. An empty LocalIp
// becomes this computer's first IPv4 address and a LocalPort of 0 becomes 5001.
//
// Stored values that cannot be used as they are (a setting that does not parse or lies
// outside the settings dialog's range, a tunnel row that can never work, a binding whose
// networks do not parse, which then admits no address) are reported
// with WriteWarning, naming the key or row, the value and what is used instead; a
// lower-case device ID is used in its upper-case form. Nothing stored is rewritten. A
// file that may only be read is used for the configuration as it is (with a warning).
//
// False when Info.db cannot be opened or read; `failure` then says why, for the caller
// to show (the desktop program through the notice hook, the headless service on stderr),
// and the table and settings are left as they were. User-interface thread, at start-up.
bool LoadStartupConfiguration(std::string& failure);
