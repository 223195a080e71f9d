#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

struct mg_connection;
struct mg_context;

// A small HTTP server for a monitoring system: GET on one path is answered with the text
// its provider makes for that request (503 when it has none); any other path gets 404, any
// other method on the path 405. Whatever comes, it stays small: two request threads, a few connections queued
// behind them, request heads of at most kMaxRequestBytes, kRequestTimeoutMs to receive a
// request and send the answer, one request per connection, nothing served from files.
class CScrapeServer {
 public:
  // Called on a request thread, possibly on both at once; nothing when the page cannot be
  // made now.
  using Provider = std::function<std::optional<std::string>()>;

  static constexpr int kRequestThreads = 2;
  static constexpr int kQueuedConnections = 8;
  static constexpr int kMaxRequestBytes = 8192;
  static constexpr int kRequestTimeoutMs = 5000;

  // Listens on `ipv4`:`port` (dotted IPv4; port 0: any free one). Null when it cannot,
  // with the reason in `failure`. Any thread.
  static std::unique_ptr<CScrapeServer> Start(const std::string& ipv4, std::uint16_t port, std::string path,
                                              std::string contentType, Provider provider, std::string& failure);
  // Stops listening and waits for the requests in progress. Not on a request thread.
  ~CScrapeServer();
  CScrapeServer(const CScrapeServer&) = delete;
  CScrapeServer& operator=(const CScrapeServer&) = delete;

  // The port it listens on. Any thread.
  std::uint16_t Port() const { return m_port; }

 private:
  CScrapeServer(std::string path, std::string contentType, Provider provider);
  static int OnRequest(mg_connection* connection);
  static int OnLogMessage(const mg_connection* connection, const char* message);
  static int OnLibraryError(mg_connection* connection, int status, const char* message);
  static void Answer(mg_connection* connection, int status, const std::string& contentType, const std::string& body,
                     const char* allow = nullptr);

  const std::string m_path;
  const std::string m_contentType;
  const Provider m_provider;
  std::uint16_t m_port = 0;
  struct ContextStop {
    void operator()(mg_context* context) const;
  };
  std::unique_ptr<mg_context, ContextStop> m_context;
};
