#pragma once

#include <optional>
#include <string>

#include "model/ServiceSnapshot.h"

// A snapshot as it travels from the running instance to `vantreld status`: one line per
// item, tab-separated fields, with backslash, tab and newline escaped in texts and times
// as milliseconds since the epoch. A reader skips lines of kinds it does not know, so
// that an older client can read a newer instance. Pure functions: any thread.
std::string EncodeSnapshot(const ServiceSnapshot& snapshot);
// Nothing, with the reason in `error`, for text that is not a snapshot.
std::optional<ServiceSnapshot> DecodeSnapshot(const std::string& text, std::string& error);
