#pragma once

// What the program loads from its database before anything else runs. User-interface
// thread, at start-up. A database that cannot be opened has been reported by the store
// (a notice); the table or settings then stay as far as they got.

// Every stored tunnel into CTunnelTable, in the order read. True when they were read.
bool LoadTunnelTable();

// The stored settings into the process-wide SettingInfo, missing rows of the settings
// table made first; an empty LocalIp becomes this computer's first IPv4 address and a
// LocalPort of 0 becomes 5001.
void LoadSettingInfo();
