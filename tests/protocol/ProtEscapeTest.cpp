#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "protocol/ProtEscape.h"

using Bytes = std::vector<unsigned char>;

namespace {

// Reference models, straight from the escaping tables.
Bytes NaiveEscape(const Bytes& in) {
  Bytes out;
  for (unsigned char b : in) {
    if (b == 0xFD) {
      out.insert(out.end(), {0xFD, 0xED});
    } else if (b == 0xFE) {
      out.insert(out.end(), {0xFD, 0xEE});
    } else {
      out.push_back(b);
    }
  }
  return out;
}

Bytes NaiveUnescape(const Bytes& in) {
  Bytes out;
  for (std::size_t i = 0; i < in.size(); ++i) {
    const bool pair = in[i] == 0xFD && i + 1 < in.size();
    if (pair && in[i + 1] == 0xED) {
      out.push_back(0xFD);
      ++i;
    } else if (pair && in[i + 1] == 0xEE) {
      out.push_back(0xFE);
      ++i;
    } else {
      out.push_back(in[i]);
    }
  }
  return out;
}

Bytes Escape(const Bytes& in) {
  Bytes out(in.size() * 2 + 1);
  out.resize(static_cast<std::size_t>(ProtEscape(in.data(), static_cast<int>(in.size()), out.data())));
  return out;
}

Bytes Unescape(const Bytes& in) {
  Bytes out(in.size() + 1);
  out.resize(static_cast<std::size_t>(ProtUnescape(in.data(), static_cast<int>(in.size()), out.data())));
  return out;
}

}  // namespace

TEST(ProtEscape, KnownCases) {
  struct Case {
    Bytes raw;
    Bytes escaped;
  };
  const Case cases[] = {
      {{}, {}},
      {{0x10, 0xFE, 0xFD, 0x20}, {0x10, 0xFD, 0xEE, 0xFD, 0xED, 0x20}},
      {{0xFE}, {0xFD, 0xEE}},
      {{0xFD}, {0xFD, 0xED}},
      {{0xFF, 0xEE, 0xED}, {0xFF, 0xEE, 0xED}},
  };
  for (const Case& c : cases) EXPECT_EQ(Escape(c.raw), c.escaped);
}

TEST(ProtUnescape, KnownCases) {
  struct Case {
    Bytes received;
    Bytes raw;
  };
  const Case cases[] = {
      {{0xFD, 0xED, 0x41, 0xFD, 0xEE}, {0xFD, 0x41, 0xFE}},
      {{0xFD, 0x42}, {0xFD, 0x42}},
      {{0x41, 0xFD}, {0x41, 0xFD}},  // FD at the end passes as it is
      {{0xFE}, {0xFE}},              // a heartbeat is not an escape sequence
      {{0xFD, 0xFD, 0xEE}, {0xFD, 0xFE}},
      {{}, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(Unescape(c.received), c.raw);
}

TEST(ProtEscape, MatchesTheReferenceModelOnRandomInput) {
  std::mt19937 random(12345);
  // Bytes drawn mostly from the interesting corner so that FD/FE/ED/EE meet often.
  std::uniform_int_distribution<int> pick(0, 9);
  std::uniform_int_distribution<int> anyByte(0, 255);
  const unsigned char corner[] = {0xFD, 0xFE, 0xED, 0xEE};
  for (int round = 0; round < 2000; ++round) {
    Bytes data(static_cast<std::size_t>(anyByte(random) % 64));
    for (auto& b : data) b = pick(random) < 6 ? corner[pick(random) % 4] : static_cast<unsigned char>(anyByte(random));
    ASSERT_EQ(Escape(data), NaiveEscape(data));
    ASSERT_EQ(Unescape(data), NaiveUnescape(data));
    ASSERT_EQ(Unescape(Escape(data)), data) << "escaping round-trips";
  }
}
