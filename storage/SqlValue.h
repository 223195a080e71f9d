#pragma once

#include <cstddef>
#include <string>
#include <vector>

// A value bound to a '?' of a statement: text, or a blob whose bytes are kept exactly
// (zero bytes included). Values are never pasted into the statement text.
struct SqlValue {
  std::string Bytes;
  bool Blob = false;

  bool operator==(const SqlValue&) const = default;
};

using SqlValues = std::vector<SqlValue>;

inline SqlValue SqlText(std::string text) { return SqlValue{std::move(text), false}; }

inline SqlValue SqlBlob(const unsigned char* data, std::size_t length) {
  return SqlValue{std::string(reinterpret_cast<const char*>(data), length), true};
}

// A condition text with its '?' placeholders and the values for them, in order.
struct SqlCondition {
  std::string Text;
  SqlValues Values;

  bool operator==(const SqlCondition&) const = default;
};
