#include "model/SamePortRule.h"

#include <algorithm>

#include "model/TunnelFields.h"

std::vector<TunnelInfo> TunnelsToAlign(const std::vector<TunnelInfo>& stored, const TunnelInfo& edited) {
  std::vector<TunnelInfo> changed;
  for (const TunnelInfo& other : stored) {
    if (!EqualIgnoringCase(other.SerialNo, edited.SerialNo) || EqualIgnoringCase(other.DeviceID, edited.DeviceID) ||
        SamePortSettings(other, edited)) {
      continue;
    }
    TunnelInfo aligned = other;
    aligned.SerialNo = edited.SerialNo;
    aligned.BaudRate = edited.BaudRate;
    aligned.DateBit = edited.DateBit;
    aligned.StopBit = edited.StopBit;
    aligned.Parity = edited.Parity;
    changed.push_back(std::move(aligned));
  }
  std::sort(changed.begin(), changed.end(),
            [](const TunnelInfo& a, const TunnelInfo& b) { return a.DeviceID < b.DeviceID; });
  return changed;
}
