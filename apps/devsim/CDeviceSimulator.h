#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "DevsimOptions.h"
#include "TlsClient.h"

// Runs the simulated devices on one thread: a poll loop over their sockets that connects,
// registers, sends heartbeats and messages on schedule, and prints, echoes or checks
// what comes back. With a TLS context every device talks TLS over its socket and registers
// once the handshake is done.
class CDeviceSimulator {
 public:
  // `tls`: null for plain devices; else it outlives the simulator. Main thread.
  CDeviceSimulator(const DevsimOptions& options, const CTlsClientContext* tls);
  ~CDeviceSimulator();
  CDeviceSimulator(const CDeviceSimulator&) = delete;
  CDeviceSimulator& operator=(const CDeviceSimulator&) = delete;

  // Runs until the work is done, the duration is over or `stopRequested` turns true.
  // Returns the exit code: 0 when no device failed (a connection the server closed is no
  // failure) and, with --check, every byte came back; 1 otherwise. Prints the summary on stdout.
  int Run(const volatile std::sig_atomic_t& stopRequested);

 private:
  using Clock = std::chrono::steady_clock;

  struct Device {
    std::uint32_t number = 0;
    std::string id;
    int fd = -1;
    bool connected = false;   // the TCP connection is up
    bool registered = false;  // the registration went out (after the TLS handshake)
    std::unique_ptr<CTlsSession> tls;
    Clock::time_point connectedAt{};
    bool failed = false;
    bool closedByServer = false;  // the run ended normally for this device
    std::vector<unsigned char> pending;  // bytes the socket did not take yet
    Clock::time_point registeredAt{};
    Clock::time_point nextHeartbeat{};
    Clock::time_point nextMessage{};
    int messagesSent = 0;
    std::uint64_t bytesSent = 0;      // payload bytes, before escaping
    std::uint64_t bytesReceived = 0;  // after unescaping
    bool carryFd = false;             // an FD ended the last chunk: its pair may follow
    std::deque<unsigned char> expected;
    std::deque<std::pair<std::uint64_t, Clock::time_point>> stamps;  // end offset, send time
    std::uint64_t mismatched = 0;
  };

  void Connect(Device& device);
  void CloseSocket(Device& device);
  void Register(Device& device, Clock::time_point now);
  void ContinueHandshake(Device& device);
  void OnWritable(Device& device);
  void OnReadable(Device& device);
  void OnData(Device& device, const unsigned char* buffer, std::size_t got);
  // Sends as much of `length` bytes as the socket takes now; how many, or -1 once the device ended.
  long Transmit(Device& device, const unsigned char* data, std::size_t length);
  short PollEvents(const Device& device) const;
  void SendMessage(Device& device, Clock::time_point now);
  void SendRaw(Device& device, const unsigned char* data, std::size_t length);
  void Fail(Device& device, const std::string& why);
  // A receive or send that ended with `error` (the end of the stream counts as ECONNRESET): the server
  // closing the connection ends the device normally, anything else fails it.
  void FailOrClosed(Device& device, const char* what, int error);
  void Print(const Device& device, const std::vector<unsigned char>& data) const;
  std::vector<unsigned char> MessageFor(const Device& device) const;
  bool WorkDone(Clock::time_point now) const;
  int Report(Clock::time_point started) const;

  const DevsimOptions m_options;
  const CTlsClientContext* const m_tls;
  bool m_tlsShown = false;  // the first handshake's line is printed
  std::vector<Device> m_devices;
  std::vector<double> m_roundTripsMs;
  Clock::time_point m_lastSend{};
};
