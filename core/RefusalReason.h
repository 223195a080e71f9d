#pragma once

#include <cstddef>

// Why a connection or a registration was refused.
enum class RefusalReason : int {
  Network,        // the source lies outside AllowedNetworks
  Throttled,      // its address keeps failing its bindings
  PerAddressCap,  // MaxConnectionsPerAddress connections from its address are open
  Binding,        // the registration does not match its device's binding
  Unconfigured,   // no tunnel for the ID, and RefuseUnconfigured is set
};
inline constexpr std::size_t kRefusalReasons = 5;

// A short name for lines and counts ("network", "throttled", ...).
inline const char* RefusalReasonName(RefusalReason reason) {
  constexpr const char* kNames[kRefusalReasons] = {"network", "throttled", "per-address cap", "binding", "unconfigured"};
  return kNames[static_cast<std::size_t>(reason)];
}
