#pragma once

#include <cstddef>

// Why a TLS handshake did not finish, for lines and counts.
enum class TlsFailure : int {
  NotTls,       // the client's first bytes are no TLS handshake (a plain device on the TLS port)
  Certificate,  // a certificate was missing, not trusted, expired, or refused by the client
  Protocol,     // any other TLS error: no common version or cipher, a malformed message
  Closed,       // the client closed the connection before the handshake finished
  Timeout,      // the handshake had not finished when the registration time ran out
};
inline constexpr std::size_t kTlsFailures = 5;

// A short name for lines and counts ("not-tls", "certificate", ...).
inline const char* TlsFailureName(TlsFailure failure) {
  constexpr const char* kNames[kTlsFailures] = {"not-tls", "certificate", "protocol", "closed", "timeout"};
  return kNames[static_cast<std::size_t>(failure)];
}
