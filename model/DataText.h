#pragma once

#include <cstddef>
#include <string>

// Printable forms of device data. Pure functions: any thread.

// The bytes as text up to the first zero byte: control characters and backslash become
// escapes (\n, \r, \t, \\, \xNN) so that one record stays one line and cannot drive
// the terminal; other bytes (UTF-8 text included) pass unchanged.
std::string TextOf(const unsigned char* data, std::size_t length);
std::string TextOf(const std::string& text);

// Every byte, for a line that goes to a terminal, a log or the journal: well-formed,
// printable UTF-8 passes; \n, \r, \t and \\ as in TextOf; every other byte (zero bytes,
// controls, bytes that are not UTF-8, C1 controls, line separators and direction
// overrides, which would break or reorder the line) becomes \xNN.
std::string EscapedText(const unsigned char* data, std::size_t length);

// The length of the well-formed UTF-8 sequence of two to four bytes at data[0] (no
// overlong forms, surrogates or code points past U+10FFFF), or 0 when there is none.
std::size_t Utf8SequenceLength(const unsigned char* data, std::size_t length);

// Every byte as two upper-case hexadecimal digits, no separators (01 FE gives 01FE).
std::string HexOf(const unsigned char* data, std::size_t length);
