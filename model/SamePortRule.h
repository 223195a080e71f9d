#pragma once

#include <vector>

#include "model/TunnelInfo.h"

// All devices on one COM port share its line settings. Saving `edited` would change the
// port for the other tunnels on it: returns those whose port settings differ from
// `edited`'s (port compared ignoring letter case; tunnels whose ID equals edited's
// ignoring letter case are skipped), each already given edited's port, baud rate, data
// bits, stop bits and parity (its ID and note kept), in device-ID order. Empty when
// saving needs no one's consent. Main thread (pure function).
std::vector<TunnelInfo> TunnelsToAlign(const std::vector<TunnelInfo>& stored, const TunnelInfo& edited);
