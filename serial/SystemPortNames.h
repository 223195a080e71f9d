#pragma once

#include <string>
#include <vector>

// The COM ports this computer has, as "COM<n>" in the order of n: every COM<n> entry of
// the port directory (a pair end, a link a user made; but not an end of a setupc pair
// whose holder is gone, which no port opens), and COM<n> for every /dev/ttyS<n-1> whose
// driver reports a real UART. Read afresh on every call. Any thread.
std::vector<std::string> SystemPortNames();
