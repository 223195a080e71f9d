#include "model/LinkEvent.h"

#include <algorithm>
#include <cstring>

namespace {

// "255.255.255.255:65535" and a little room: a source text is never longer.
constexpr std::size_t kSourceLimit = 32;

}  // namespace

void SetLinkSource(DataItem& item, std::string_view source, bool tls) {
  const std::size_t offset = LinkSourceOffset(item.Kind);
  std::size_t length = std::min(source.size(), kSourceLimit);
  std::memcpy(item.Data + offset, source.data(), length);
  if (tls) {
    std::memcpy(item.Data + offset + length, kTlsLinkMark.data(), kTlsLinkMark.size());
    length += kTlsLinkMark.size();
  }
  item.Length = static_cast<std::int32_t>(offset + length);
}

bool IsTlsLink(int kind, const unsigned char* data, std::size_t length) {
  const std::size_t offset = LinkSourceOffset(kind);
  if (kind != DATA_REGISTER || length < offset + kTlsLinkMark.size()) return false;
  return std::string_view(reinterpret_cast<const char*>(data) + length - kTlsLinkMark.size(), kTlsLinkMark.size()) ==
         kTlsLinkMark;
}

std::string LinkSource(int kind, const unsigned char* data, std::size_t length) {
  const std::size_t offset = LinkSourceOffset(kind);
  if (IsTlsLink(kind, data, length)) length -= kTlsLinkMark.size();
  if (length <= offset) return {};
  const std::size_t size = std::min(length - offset, kSourceLimit);
  std::string source(reinterpret_cast<const char*>(data + offset), size);
  // Only what an address and port are made of: the record may come from anywhere.
  const bool plain = std::all_of(source.begin(), source.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.' || c == ':'; });
  return plain ? source : std::string();
}

bool IsReplacedOffline(const unsigned char* data, std::size_t length) { return length >= 1 && data[0] == OFFLINE_REPLACED; }
