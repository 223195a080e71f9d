#pragma once

#include <QString>
#include <cstddef>

// How device data is shown in the windows. Pure functions: any thread.

// Every byte as two upper-case hexadecimal digits, separated by spaces ("01 FE 41").
QString SpacedHex(const unsigned char* data, std::size_t length);

// The text form: UTF-8 text as it is (control characters escaped, up to a zero byte as
// TextOf does); bytes that are not UTF-8 (a heartbeat's FE, binary protocols) as \xNN
// escapes instead of replacement marks.
QString DisplayText(const unsigned char* data, std::size_t length);
