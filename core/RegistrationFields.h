#pragma once

#include <string>

#include "core/DataItem.h"

// The fields of a DATA_REGISTER record that the device list and the console show.
// Pure functions: any thread.

// The phone number: from byte 4 to its zero byte, at most 11 characters.
std::string RegistrationPhone(const DataItem& item);
// The address the device reports in bytes 16 to 19, dotted.
std::string RegistrationAddress(const DataItem& item);
