#pragma once

#include <cstddef>
#include <map>
#include <string>

#include "model/TunnelInfo.h"
#include "serial/CSerialInterface.h"

// What a reload (or a tunnel edit) changed, in one line for the operator: the tunnels
// added, moved to another port, deleted, changed otherwise (line settings, note) and
// unchanged; the ports opened, reopened, tried again and closed; the devices closed
// because they are now refused. Pure: any thread.
std::string DescribeReload(const std::map<std::string, TunnelInfo>& before,
                           const std::map<std::string, TunnelInfo>& after, const CSerialInterface::PortChanges& ports,
                           std::size_t closedDevices);
