#include "protocol/ProtEscape.h"

#include <cstring>

int ProtEscape(const unsigned char* in, int length, unsigned char* out) {
  int written = 0;
  for (int i = 0; i < length;) {
    // Copy runs of plain bytes in one go: most traffic has no FD or FE at all.
    int run = i;
    while (run < length && in[run] != 0xFD && in[run] != 0xFE) ++run;
    std::memcpy(out + written, in + i, static_cast<std::size_t>(run - i));
    written += run - i;
    if (run == length) break;
    out[written++] = 0xFD;
    out[written++] = in[run] == 0xFD ? 0xED : 0xEE;
    i = run + 1;
  }
  return written;
}

int ProtUnescape(const unsigned char* in, int length, unsigned char* out) {
  int written = 0;
  int i = 0;
  while (i < length) {
    const unsigned char byte = in[i];
    if (byte == 0xFD && i + 1 < length && (in[i + 1] == 0xED || in[i + 1] == 0xEE)) {
      out[written++] = in[i + 1] == 0xED ? 0xFD : 0xFE;
      i += 2;
    } else {
      out[written++] = byte;
      ++i;
    }
  }
  return written;
}
