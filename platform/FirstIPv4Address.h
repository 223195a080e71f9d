#pragma once

#include <string>

// The dotted address of the first interface that is up, is not a loopback and has an
// IPv4 address; empty when there is none. (The host name is no guide: Debian resolves
// it to 127.0.1.1, which devices cannot reach.)
std::string FirstIPv4Address();
