#pragma once

#include <string>

#include "model/ListenerState.h"

// The status line of a listener's start, pause or resume: the address and port it listens
// on, so the operator knows where devices must connect; at the start also whether that is
// every address or this computer's first IPv4 address (which an empty LocalIp stands for).
// `firstAddress` is FirstIPv4Address(). Pure function: any thread.
std::string ListenerLine(const ListenerState& state, const std::string& firstAddress);
