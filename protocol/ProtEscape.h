#pragma once

// PROT escaping of the bytes 0xFD and 0xFE on the device link.

// FD -> FD ED, FE -> FD EE. `out` must hold 2 * length bytes. Returns the bytes written.
int ProtEscape(const unsigned char* in, int length, unsigned char* out);

// FD ED -> FD, FD EE -> FE; any other FD (also one at the end) passes as it is.
// `out` must hold `length` bytes and may be `in` itself. Returns the bytes written.
int ProtUnescape(const unsigned char* in, int length, unsigned char* out);
