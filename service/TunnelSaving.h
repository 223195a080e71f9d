#pragma once

#include <string>
#include <vector>

#include "model/TunnelInfo.h"
#include "storage/CAccessInterface.h"

// How a tunnel change is written, the same for the device editor and `vantreld tunnel`.
// The caller holds one transaction (CStoreTransaction) around reading the stored
// tunnels, these writes and the commit, so that the same-port rule is applied to what
// is stored and a failure leaves every row as it was. The store's thread.

// The stored tunnel whose ID equals `id` ignoring letter case, the exact one first; null
// when there is none. Devices register in upper case, so two IDs that differ only in
// case would name one device.
const TunnelInfo* FindTunnelIgnoringCase(const std::vector<TunnelInfo>& stored, const std::string& id);

// Writes the tunnels the same-port rule aligns (TunnelsToAlign), then `edited`: a new row
// when `add`, else replacing its row. Returns the device ID whose row could not be
// written, empty when all were.
std::string WriteTunnelEdit(CAccessInterface& store, const std::vector<TunnelInfo>& aligned, const TunnelInfo& edited,
                            bool add);

// Deletes the tunnel of `id` and its binding; false when either write failed.
bool DeleteTunnelAndBinding(CAccessInterface& store, const std::string& id);
