#include "DevsimOptions.h"

#include <CLI/CLI.hpp>
#include <arpa/inet.h>

#include <cctype>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>

#include "ParseCommandLine.h"
#include "VantrelVersion.h"

namespace {

// "48 65 6c", "48656C" and "48:65:6C" all read the same; anything else is an error.
bool ParseHex(const std::string& text, std::vector<unsigned char>& out) {
  std::string digits;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c)))
      digits += c;
    else if (c != ' ' && c != ':' && c != ',' && c != '-')
      return false;
  }
  if (digits.empty() || digits.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < digits.size(); i += 2)
    out.push_back(static_cast<unsigned char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return true;
}

bool ParseDeviceId(const std::string& text, std::uint32_t& number) {
  if (text.size() != 8) return false;
  for (char c : text)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  number = static_cast<std::uint32_t>(std::stoul(text, nullptr, 16));
  return true;
}

int BadOption(const std::string& message) {
  std::cerr << "vantrel-devsim: " << message << "\nRun with --help for the options.\n";
  return 2;
}

}  // namespace

int ParseDevsimOptions(int argc, char** argv, DevsimOptions& options) {
  CLI::App app{
      "Simulates field devices for Vantrel: each one connects over TCP, registers with its "
      "21-byte packet, sends heartbeats and data, and prints what comes back.\n\n"
      "Examples:\n"
      "  vantrel-devsim --port 5001 --first-id 01ABCDEF --text \"hello\"\n"
      "  vantrel-devsim --devices 20 --generate 32 --count 100 --rate 5 --check\n"
      "  vantrel-devsim --heartbeat 30 --echo          (stay online, echo what arrives)\n"
      "  vantrel-devsim --port 5002 --tls --ca ca.pem --cert 00000001.pem --key 00000001.key --text hello\n",
      "vantrel-devsim"};
  app.set_version_flag("--version", std::string("vantrel-devsim ") + kVantrelVersion, "Print the version and exit");
  std::string firstId = "00000001";
  std::string text, hex, file, show = "text";
  int generate = 0;

  app.add_option("--host", options.host, "Address of the Vantrel server (IPv4)")->capture_default_str();
  app.add_option("--port", options.port, "Port of the Vantrel server")->capture_default_str();
  app.add_option("-n,--devices", options.devices, "Number of devices to simulate")
      ->check(CLI::Range(1, 100000))
      ->capture_default_str();
  app.add_option("--first-id", firstId,
                 "Device ID of the first device, 8 hexadecimal digits; the others follow consecutively")
      ->capture_default_str();
  app.add_option("--phone", options.phone, "Phone number put into the registration (at most 12 characters)")
      ->capture_default_str();
  app.add_option("--address", options.address, "IPv4 address put into the registration")->capture_default_str();
  app.add_option("--heartbeat", options.heartbeatSeconds, "Send a heartbeat (byte FE) every S seconds; 0: never")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  auto* textOption = app.add_option("--text", text, "Send this text as data");
  auto* hexOption = app.add_option("--hex", hex, "Send these bytes as data, e.g. \"01 02 FD\"");
  auto* fileOption = app.add_option("--file", file, "Send the contents of this file as data")
                         ->check(CLI::ExistingFile);
  auto* generateOption = app.add_option("--generate", generate, "Send generated messages of this many bytes")
                             ->check(CLI::Range(2, 10000));
  textOption->excludes(hexOption, fileOption, generateOption);
  hexOption->excludes(fileOption, generateOption);
  fileOption->excludes(generateOption);
  app.add_option("--count", options.count, "Messages each device sends")
      ->check(CLI::Range(0, 100000000))
      ->capture_default_str();
  app.add_option("--rate", options.rate, "Messages per second per device")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--show", show, "How to print data that comes back: text, hex or none")
      ->check(CLI::IsMember({"text", "hex", "none"}))
      ->capture_default_str();
  app.add_flag("--echo", options.echo, "Send back every byte that arrives");
  app.add_flag("--check", options.check,
               "Expect every byte sent to come back (an echo on the serial side); report round trips");
  app.add_flag("--escape", options.escape, "Escape FD/FE in what is sent and unescape what arrives");
  app.add_option("--duration", options.durationSeconds, "Stop after S seconds; 0: when the work is done")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  auto* tlsFlag = app.add_flag("--tls", options.tls,
                               "Connect with TLS 1.2 or 1.3 (to the server's TlsPort); without --ca the server's "
                               "certificate is NOT checked, so anyone on the path could pose as the server");
  app.add_option("--ca", options.tlsSettings.caFile,
                 "With --tls: verify the server's certificate against the CA certificates in this PEM file, and "
                 "its name against --server-name (else --host)")
      ->check(CLI::ExistingFile)
      ->needs(tlsFlag);
  app.add_option("--server-name", options.tlsSettings.serverName,
                 "With --tls: the name the server's certificate must carry (checked with --ca), also sent as "
                 "the server name (SNI); default: --host")
      ->needs(tlsFlag);
  auto* certOption = app.add_option("--cert", options.tlsSettings.certFile,
                                    "With --tls: present this client certificate (PEM, its CN the device ID when "
                                    "the server checks it); every device presents the same one")
                         ->check(CLI::ExistingFile)
                         ->needs(tlsFlag);
  auto* keyOption = app.add_option("--key", options.tlsSettings.keyFile, "The private key (PEM) of --cert")
                        ->check(CLI::ExistingFile)
                        ->needs(tlsFlag);
  certOption->needs(keyOption);
  keyOption->needs(certOption);
  app.add_option("--linger", options.lingerSeconds, "Seconds to wait for replies after the last message")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();

  if (const std::optional<int> exitCode = ParseCommandLine(app, argc, argv, BadOption)) return *exitCode;

  if (!ParseDeviceId(firstId, options.firstNumber))
    return BadOption("--first-id must be 8 hexadecimal digits, e.g. 01ABCDEF (got \"" + firstId + "\")");
  if (static_cast<std::uint64_t>(options.firstNumber) + static_cast<std::uint64_t>(options.devices) - 1 > 0xFFFFFFFFu)
    return BadOption("--first-id plus --devices runs past FFFFFFFF");
  if (options.phone.size() > 12) return BadOption("--phone holds at most 12 characters");
  in_addr parsed{};
  if (inet_pton(AF_INET, options.address.c_str(), &parsed) != 1)
    return BadOption("--address must be a dotted IPv4 address (got \"" + options.address + "\")");
  if (inet_pton(AF_INET, options.host.c_str(), &parsed) != 1)
    return BadOption("--host must be a dotted IPv4 address (got \"" + options.host + "\")");
  if (options.port == 0) return BadOption("--port must be between 1 and 65535");

  if (!text.empty()) {
    options.payload.assign(text.begin(), text.end());
  } else if (!hex.empty()) {
    if (!ParseHex(hex, options.payload)) return BadOption("--hex takes pairs of hexadecimal digits, e.g. \"01 02 FD\"");
  } else if (!file.empty()) {
    std::ifstream in(file, std::ios::binary);
    options.payload.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) return BadOption("cannot read " + file);
    if (options.payload.empty()) return BadOption(file + " is empty");
    if (options.payload.size() > 10000)
      return BadOption(file + " holds more than 10000 bytes; one message must fit the server's buffer");
  } else if (generate > 0) {
    options.payload.assign(static_cast<std::size_t>(generate), 0);
    options.generated = true;
  }
  if (options.payload.empty()) options.count = 0;
  if (options.payload.size() == 1 && options.payload[0] == 0xFE && !options.escape)
    std::cerr << "vantrel-devsim: note: a lone FE is a heartbeat to the server, not data\n";
  options.show = show == "hex" ? DevsimOptions::Show::Hex
                 : show == "none" ? DevsimOptions::Show::None
                                  : DevsimOptions::Show::Text;
  if (options.echo && options.check) return BadOption("--echo and --check cannot be used together");
  return -1;
}
