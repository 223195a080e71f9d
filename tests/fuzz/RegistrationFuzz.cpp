// The registration and binding checks: what a registration packet says (ID, phone number,
// address), whether a device's binding (phone number, networks) admits it, and whether
// AllowedNetworks and the per-address cap admit a connection, each against a plain model
// of the rules. Input: the 21 packet bytes, the source address, the binding's phone and
// networks texts, the AllowedNetworks text, the cap and a count of connections.
#include <arpa/inet.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "core/CAdmission.h"
#include "core/CTunnelTable.h"
#include "model/NetworkList.h"
#include "protocol/RegistrationPacket.h"

namespace {

struct Network {
  std::uint32_t address;
  std::uint32_t mask;
};

std::string Trim(const std::string& text) {
  std::size_t from = 0, to = text.size();
  while (from < to && (text[from] == ' ' || text[from] == '\t')) ++from;
  while (to > from && (text[to - 1] == ' ' || text[to - 1] == '\t')) --to;
  return text.substr(from, to - from);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Dotted decimal, four parts of 0 to 255 without leading zeros.
std::optional<std::uint32_t> ModelAddress(const std::string& text) {
  std::uint32_t address = 0;
  std::size_t at = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (at >= text.size() || text[at] != '.') return std::nullopt;
      ++at;
    }
    const std::size_t start = at;
    unsigned value = 0;
    while (at < text.size() && IsDigit(text[at]) && at - start < 4) value = value * 10 + unsigned(text[at++] - '0');
    const std::size_t digits = at - start;
    if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && text[start] == '0')) return std::nullopt;
    address = address << 8 | value;
  }
  if (at != text.size()) return std::nullopt;
  return address;
}

// A prefix length: one or two characters, a whole number from 0 to 32 (a minus sign
// before a zero reads as zero).
std::optional<int> ModelBits(const std::string& text) {
  if (text.empty() || text.size() > 2) return std::nullopt;
  const bool minus = text[0] == '-';
  const std::string digits = minus ? text.substr(1) : text;
  if (digits.empty()) return std::nullopt;
  int value = 0;
  for (char c : digits) {
    if (!IsDigit(c)) return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (minus) value = -value;
  if (value < 0 || value > 32) return std::nullopt;
  return value;
}

// Comma-separated entries, blanks around each ignored; a blank text is an empty list;
// an entry's host bits under its mask must be clear.
std::optional<std::vector<Network>> ModelNetworks(const std::string& text) {
  std::vector<Network> networks;
  if (Trim(text).empty()) return networks;
  std::size_t from = 0;
  for (;;) {
    const std::size_t comma = text.find(',', from);
    const std::string entry = Trim(text.substr(from, comma == std::string::npos ? std::string::npos : comma - from));
    const std::size_t slash = entry.find('/');
    const std::optional<std::uint32_t> address = ModelAddress(entry.substr(0, slash));
    std::optional<int> bits = 32;
    if (slash != std::string::npos) bits = ModelBits(entry.substr(slash + 1));
    if (!address || !bits) return std::nullopt;
    const std::uint32_t mask = *bits == 0 ? 0 : ~std::uint32_t{0} << (32 - *bits);
    if ((*address & ~mask) != 0) return std::nullopt;
    networks.push_back({*address, mask});
    if (comma == std::string::npos) return networks;
    from = comma + 1;
  }
}

bool ModelIn(const std::vector<Network>& networks, std::uint32_t address) {
  for (const Network& network : networks)
    if ((address & network.mask) == network.address) return true;
  return false;
}

void CheckPacket(const std::vector<std::uint8_t>& packet) {
  const std::uint32_t number = packet[0] | packet[1] << 8 | packet[2] << 16 | std::uint32_t(packet[3]) << 24;
  char id[9];
  std::snprintf(id, sizeof id, "%08X", number);
  FuzzCheck(RegisteredDeviceId(packet.data()) == id, "registration ID");
  std::string phone;
  for (std::size_t i = 4; i < 4 + 11 && packet[i] != 0; ++i) phone += char(packet[i]);
  FuzzCheck(RegisteredPhone(packet.data()) == phone, "registration phone");
  const std::string address = std::to_string(packet[16]) + "." + std::to_string(packet[17]) + "." +
                              std::to_string(packet[18]) + "." + std::to_string(packet[19]);
  FuzzCheck(RegisteredAddress(packet.data()) == address, "registration address");

  // A packet built from what was read says the same again (the phone field holds 12 bytes).
  RegistrationPacket built{};
  FuzzCheck(BuildRegistrationPacket(number, phone, address, built), "a read address is refused by the builder");
  FuzzCheck(RegisteredDeviceId(built.data()) == id && RegisteredPhone(built.data()) == phone &&
                RegisteredAddress(built.data()) == address,
            "a built packet reads differently");
}

void CheckNetworkText(const std::string& text) {
  std::vector<Ipv4Network> parsed;
  std::string bad;
  const bool accepted = ParseNetworks(text, parsed, bad);
  const std::optional<std::vector<Network>> model = ModelNetworks(text);
  FuzzCheck(accepted == model.has_value(), "ParseNetworks accepted \"" + text + "\": " + (accepted ? "yes" : "no"));
  if (!accepted) {
    FuzzCheck(parsed.empty() && !bad.empty(), "a refused network list names no bad entry or keeps networks");
    return;
  }
  FuzzCheck(parsed.size() == model->size(), "network count");
  for (std::size_t i = 0; i < parsed.size(); ++i)
    FuzzCheck(parsed[i].Address == (*model)[i].address && parsed[i].Mask == (*model)[i].mask, "network value");
  std::vector<Ipv4Network> again;
  FuzzCheck(ParseNetworks(NetworksText(parsed), again, bad) && again == parsed, "the canonical text reads differently");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  std::vector<std::uint8_t> packet = input.Bytes(kRegistrationLength);
  packet.resize(kRegistrationLength, 0);
  const std::uint32_t source = input.Long();
  const std::string phone = input.Text();
  const std::string networks = input.Text();
  const std::string allowed = input.Text();
  const std::int32_t cap = input.Byte() % 6;
  const int arrivals = input.Byte() % 8;

  CheckPacket(packet);
  CheckNetworkText(networks);
  CheckNetworkText(allowed);

  // The binding as the link handler asks it.
  const std::string id = RegisteredDeviceId(packet.data());
  CTunnelTable& table = CTunnelTable::Instance();
  table.Clear();
  std::string bad;
  const std::optional<std::vector<Network>> bound = ModelNetworks(networks);
  const bool set = table.SetBinding({id, phone, networks}, bad);
  FuzzCheck(set == bound.has_value(), "SetBinding took a list ParseNetworks refuses, or the other way");
  CTunnelTable::Admission expected = CTunnelTable::Admission::Accepted;
  if (set && !phone.empty() && RegisteredPhone(packet.data()) != phone)
    expected = CTunnelTable::Admission::WrongPhone;
  else if (set && !bound->empty() && !ModelIn(*bound, source))
    expected = CTunnelTable::Admission::WrongNetwork;
  const std::string registeredPhone = RegisteredPhone(packet.data());
  FuzzCheck(table.Admit(id, registeredPhone, source) == expected, "binding admission");
  // Another device's binding never decides for this one.
  FuzzCheck(table.Admit(id + "X", registeredPhone, source) == CTunnelTable::Admission::Accepted,
            "a binding admitted or refused another ID");
  table.Clear();

  // AllowedNetworks and the cap, connection by connection; a list that does not parse
  // admits every address.
  CAdmission admission(CAdmission::Limits{});
  const std::optional<std::vector<Network>> allowedModel = ModelNetworks(allowed);
  const bool outside = allowedModel && !allowedModel->empty() && !ModelIn(*allowedModel, source);
  int open = 0;
  for (int i = 0; i < arrivals; ++i) {
    RefusalReason reason = RefusalReason::Binding;
    const bool admitted = admission.Arrive(source, allowed, cap, reason);
    const bool modelAdmits = !outside && (cap == 0 || open < cap);
    FuzzCheck(admitted == modelAdmits, "connection admission");
    if (admitted) {
      ++open;
    } else {
      FuzzCheck(reason == (outside ? RefusalReason::Network : RefusalReason::PerAddressCap), "refusal reason");
    }
    // Every other admitted connection leaves again at once.
    if (admitted && i % 2 == 1) {
      admission.Left(source);
      --open;
    }
  }
  return 0;
}
