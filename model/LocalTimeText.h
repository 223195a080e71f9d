#pragma once

#include <ctime>
#include <string>

// A local time as "YYYY/MM/DD HH:MM:SS" (19 characters), the form stored with
// not-forwarded data and the device history and shown by the monitor; the current time
// when none is given. Any thread.
std::string LocalTimeText(std::time_t when = std::time(nullptr));
