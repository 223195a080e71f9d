#pragma once

#include <memory>
#include <string>

#include "model/SettingInfo.h"
#include "net/CTlsContext.h"

// The TLS context the settings ask for: null with an empty `failure` when TlsPort is 0
// (no TLS listener); null with `failure` set when the TLS settings contradict each other or
// a file is missing, unreadable, damaged, or the key does not belong to the certificate.
// Relative paths are taken from the application directory. Any thread (the service
// thread, as the service starts).
std::shared_ptr<const Sockora::CTlsContext> LoadTlsListenerContext(const SettingInfo& settings, std::string& failure);
