#pragma once

#include <cstdint>

// The forwarding core's counts since the process started, and the not-forwarded store's
// size as last known. The counts are never reset (a service stop and start in the desktop
// program keeps them), so rates taken from them stay right.
struct ForwardingCounters {
  // Device data: as received from devices on its way to their ports (before unescaping),
  // and as written to device sockets (after escaping).
  std::uint64_t BytesToPort = 0;
  std::uint64_t BytesToDevice = 0;
  std::uint64_t RecordsToPort = 0;
  std::uint64_t RecordsToDevice = 0;
  // Registrations accepted, of devices with a tunnel and without one.
  std::uint64_t RegisteredConfigured = 0;
  std::uint64_t RegisteredUnconfigured = 0;
  // Not-forwarded records: written to the store; counted, not stored, at the store's
  // limit; dropped because the database rejected them.
  std::uint64_t RecordsStored = 0;
  std::uint64_t RecordsNotStored = 0;
  std::uint64_t RecordsRejected = 0;
  // Bytes in NotTransData (-1: not known) and the NotTransMaxBytes limit the writer uses.
  std::int64_t StoreBytes = -1;
  std::int64_t StoreLimit = 0;
};
