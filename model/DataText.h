#pragma once

#include <cstddef>
#include <string>

// Printable forms of device data. Pure functions: any thread.

// The bytes as text up to the first zero byte: control characters and backslash become
// escapes (\n, \r, \t, \\, \xNN) so that one record stays one line and cannot drive
// the terminal; other bytes (UTF-8 text included) pass unchanged.
std::string TextOf(const unsigned char* data, std::size_t length);
std::string TextOf(const std::string& text);

// Every byte as two upper-case hexadecimal digits, no separators (01 FE gives 01FE).
std::string HexOf(const unsigned char* data, std::size_t length);
