#include "net/CScrapeServer.h"

#include <arpa/inet.h>
#include <civetweb.h>

#include <array>
#include <cstring>
#include <mutex>
#include <utility>

#include "platform/WriteDebugLine.h"

namespace {

// The library's one-time set-up; its own documentation says it is not thread-safe.
void InitialiseLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { mg_init_library(0); });
}

// The library's first complaint on the thread that starts a server: its start error says
// only that the ports could not be set up, its log says why ("cannot bind to ...").
thread_local std::string* t_startComplaint = nullptr;

}  // namespace

CScrapeServer::CScrapeServer(std::string path, std::string contentType, Provider provider)
    : m_path(std::move(path)), m_contentType(std::move(contentType)), m_provider(std::move(provider)) {}

void CScrapeServer::ContextStop::operator()(mg_context* context) const { mg_stop(context); }

CScrapeServer::~CScrapeServer() = default;

std::unique_ptr<CScrapeServer> CScrapeServer::Start(const std::string& ipv4, std::uint16_t port, std::string path,
                                                    std::string contentType, Provider provider, std::string& failure) {
  // Checked here: the library reads more into the text (several ports, "s" for TLS, ...).
  in_addr parsed{};
  if (inet_pton(AF_INET, ipv4.c_str(), &parsed) != 1) {
    failure = "\"" + ipv4 + "\" is not a dotted IPv4 address";
    return nullptr;
  }
  InitialiseLibrary();
  std::unique_ptr<CScrapeServer> server(new CScrapeServer(std::move(path), std::move(contentType), std::move(provider)));
  const std::string listening = ipv4 + ":" + std::to_string(port);
  const std::string threads = std::to_string(kRequestThreads);
  const std::string queued = std::to_string(kQueuedConnections);
  const std::string requestBytes = std::to_string(kMaxRequestBytes);
  const std::string timeout = std::to_string(kRequestTimeoutMs);
  const char* options[] = {"listening_ports", listening.c_str(),
                           "num_threads", threads.c_str(),
                           "connection_queue", queued.c_str(),
                           "listen_backlog", queued.c_str(),
                           "max_request_size", requestBytes.c_str(),
                           "request_timeout_ms", timeout.c_str(),
                           "enable_keep_alive", "no",
                           nullptr};
  mg_callbacks callbacks{};
  callbacks.begin_request = &CScrapeServer::OnRequest;
  callbacks.log_message = &CScrapeServer::OnLogMessage;
  callbacks.http_error = &CScrapeServer::OnLibraryError;
  mg_init_data init{};
  init.callbacks = &callbacks;
  init.user_data = server.get();
  init.configuration_options = options;
  std::array<char, 256> errorText{};
  unsigned errorCode = 0;
  mg_error_data error{};
  error.code = &errorCode;
  error.text = errorText.data();
  error.text_buffer_size = errorText.size();
  std::string complaint;
  t_startComplaint = &complaint;
  server->m_context.reset(mg_start2(&init, &error));
  t_startComplaint = nullptr;
  if (!server->m_context) {
    failure = complaint.empty() ? "cannot listen on " + listening + ": " + errorText.data() : complaint;
    return nullptr;
  }
  mg_server_port ports[1]{};
  if (mg_get_server_ports(server->m_context.get(), 1, ports) == 1) server->m_port = static_cast<std::uint16_t>(ports[0].port);
  return server;
}

int CScrapeServer::OnRequest(mg_connection* connection) {
  const mg_request_info* request = mg_get_request_info(connection);
  const auto* server = static_cast<const CScrapeServer*>(request->user_data);
  const char* uri = request->local_uri != nullptr ? request->local_uri : "";
  if (server->m_path != uri) {
    Answer(connection, 404, "text/plain", "Not found: only " + server->m_path + " is served\n");
    return 404;
  }
  if (std::strcmp(request->request_method, "GET") != 0) {
    Answer(connection, 405, "text/plain", "Method not allowed: " + server->m_path + " answers GET only\n", "GET");
    return 405;
  }
  const std::optional<std::string> page = server->m_provider();
  if (!page) {
    Answer(connection, 503, "text/plain", "The service does not answer: try again later\n");
    return 503;
  }
  Answer(connection, 200, server->m_contentType, *page);
  return 200;
}

void CScrapeServer::Answer(mg_connection* connection, int status, const std::string& contentType,
                           const std::string& body, const char* allow) {
  // The head is written here, not by the library: its status line repeats the version the
  // request named, as received, and a request line with a lone CR in it carried the client's
  // bytes (header lines included) into the answer's head. Only 1.0 is answered as named.
  const mg_request_info* request = mg_get_request_info(connection);
  const bool http10 =
      request != nullptr && request->http_version != nullptr && std::strcmp(request->http_version, "1.0") == 0;
  std::string head = std::string(http10 ? "HTTP/1.0 " : "HTTP/1.1 ") + std::to_string(status) + " " +
                     mg_get_response_code_text(connection, status) + "\r\nContent-Type: " + contentType +
                     "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  if (allow != nullptr) head += std::string("Allow: ") + allow + "\r\n";
  head += "Connection: close\r\n\r\n";
  if (mg_write(connection, head.data(), head.size()) < 0 || mg_write(connection, body.data(), body.size()) < 0)
    WriteDebugLine("[MSG]", "HTTP server: the client went before its %d answer was sent\n", status);
}

// The library's own refusals (a request it cannot parse, one too large, a timeout) get the
// same plain head as the answers above.
int CScrapeServer::OnLibraryError(mg_connection* connection, int status, const char*) {
  Answer(connection, status, "text/plain", std::string(mg_get_response_code_text(connection, status)) + "\n");
  return 0;
}

// The library's own complaints (a request too large, a bad request line, ...) go to the
// debug sink rather than straight to standard error.
int CScrapeServer::OnLogMessage(const mg_connection*, const char* message) {
  if (t_startComplaint != nullptr) {
    if (t_startComplaint->empty()) *t_startComplaint = message;
  } else {
    WriteDebugLine("[MSG]", "HTTP server: %s\n", message);
  }
  return 1;
}
