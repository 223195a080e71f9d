#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "model/DataItem.h"

// What a registration or offline record carries besides its kind. A registration record
// holds the packet's first 20 bytes, then the text of the connection's source address and
// port ("203.0.113.9:40112"); an offline record holds one byte, OFFLINE_REPLACED or
// OFFLINE_ENDED, then the same text. The source is where the connection really came from,
// unlike the address written inside the packet. A registration over TLS ends with
// kTlsLinkMark after the source. Pure functions: any thread.

// The one marker byte of an offline record whose connection simply ended.
inline constexpr unsigned char OFFLINE_ENDED = 'E';

// The packet's bytes at the start of a registration record.
inline constexpr std::size_t kLinkRegistrationBytes = 20;

// Where the source text starts in a record of this kind.
constexpr std::size_t LinkSourceOffset(int kind) { return kind == DATA_REGISTER ? kLinkRegistrationBytes : 1; }

// What follows the source text of a registration that came over a TLS link.
inline constexpr std::string_view kTlsLinkMark = " tls";

// Appends `source` (and, for a TLS link, kTlsLinkMark) after the record's first
// `LinkSourceOffset` bytes and sets Length.
void SetLinkSource(DataItem& item, std::string_view source, bool tls = false);

// The source text of a registration or offline record of `length` bytes; empty when the
// record has none.
std::string LinkSource(int kind, const unsigned char* data, std::size_t length);

// Whether a registration record of `length` bytes came over a TLS link.
bool IsTlsLink(int kind, const unsigned char* data, std::size_t length);

// Whether an offline record tells of a connection replaced by a newer one of its device.
bool IsReplacedOffline(const unsigned char* data, std::size_t length);
