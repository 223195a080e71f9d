#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// A fault the target found: said on stderr, then abort(), which libFuzzer keeps as a crash
// with its input and which fails a replay.
[[noreturn]] inline void FuzzFault(const std::string& what) {
  std::fprintf(stderr, "FUZZ FAULT: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

inline void FuzzCheck(bool holds, const std::string& what) {
  if (!holds) FuzzFault(what);
}

// Reads a fuzz input front to back; past its end every read gives zeros, so a target
// never needs to check the length.
class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

  bool Empty() const { return m_offset >= m_size; }
  std::size_t Left() const { return m_offset < m_size ? m_size - m_offset : 0; }
  std::uint8_t Byte() { return m_offset < m_size ? m_data[m_offset++] : 0; }
  std::uint16_t Word() { return static_cast<std::uint16_t>(Byte() | Byte() << 8); }
  std::uint32_t Long() { return static_cast<std::uint32_t>(Word() | static_cast<std::uint32_t>(Word()) << 16); }
  // Up to `count` bytes, fewer at the end.
  std::vector<std::uint8_t> Bytes(std::size_t count) {
    const std::size_t take = count < Left() ? count : Left();
    std::vector<std::uint8_t> bytes(m_data + m_offset, m_data + m_offset + take);
    m_offset += take;
    return bytes;
  }
  // A text whose length is the next byte.
  std::string Text() {
    const std::vector<std::uint8_t> bytes = Bytes(Byte());
    return std::string(bytes.begin(), bytes.end());
  }
  std::vector<std::uint8_t> Rest() { return Bytes(Left()); }

 private:
  const std::uint8_t* m_data;
  std::size_t m_size;
  std::size_t m_offset = 0;
};
