// The metrics page's request path: the input is what a client sends to the scrape server
// (the real server, on loopback, answering with the real page text). Whatever comes, the
// server answers with a well-formed status line and a body as long as it says, serves the
// page only to a GET of its path, and stays up for the next client.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "FuzzCheck.h"
#include "model/MetricsText.h"
#include "model/ServiceSnapshot.h"
#include "net/CScrapeServer.h"
#include "platform/ProcessFigures.h"

namespace {

constexpr char kPath[] = "/metrics";

struct Server {
  Server() : page(MetricsText(ServiceSnapshot{}, ProcessFigures{})) {
    std::string failure;
    server = CScrapeServer::Start(
        "127.0.0.1", 0, kPath, kMetricsContentType, [this]() -> std::optional<std::string> { return page; }, failure);
    FuzzCheck(server != nullptr, "the scrape server does not start: " + failure);
  }
  const std::string page;
  std::unique_ptr<CScrapeServer> server;
};

Server& TheServer() {
  static Server server;
  return server;
}

class Connection {
 public:
  Connection() : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) { FuzzCheck(m_fd >= 0, "socket"); }
  ~Connection() {
    // Reset rather than linger: thousands of closes a minute must not use up the ports.
    const linger reset{1, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(m_fd);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  int Fd() const { return m_fd; }

 private:
  int m_fd;
};

// Everything the server sends until it closes; bounded in time and size.
std::string ReadAnswer(int fd) {
  std::string answer;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  char chunk[8192];
  while (answer.size() < (1u << 20)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    FuzzCheck(left.count() > 0, "the server neither answered nor closed within 20 s");
    pollfd readable{fd, POLLIN, 0};
    if (::poll(&readable, 1, static_cast<int>(left.count())) <= 0) continue;
    const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // closed (or reset: a request it would not read)
    answer.append(chunk, static_cast<std::size_t>(got));
  }
  return answer;
}

void CheckAnswer(const std::string& request, const std::string& answer) {
  if (answer.empty()) return;  // closed without answering: fine for bytes that are no request
  const std::size_t headEnd = answer.find("\r\n\r\n");
  FuzzCheck(headEnd != std::string::npos, "an answer without the end of its head");
  const std::string head = answer.substr(0, headEnd);
  const std::string body = answer.substr(headEnd + 4);
  FuzzCheck((head.rfind("HTTP/1.1 ", 0) == 0 || head.rfind("HTTP/1.0 ", 0) == 0) && head.size() >= 12,
            "no plain status line: " + head.substr(0, 40));
  const int status = std::atoi(head.substr(9, 3).c_str());
  FuzzCheck(status >= 200 && status <= 599, "status " + std::to_string(status));
  // Only the server's own header lines: nothing the client sent comes back in the head.
  std::string told;
  for (std::size_t from = head.find("\r\n"); from != std::string::npos;) {
    const std::size_t next = head.find("\r\n", from + 2);
    const std::string line = head.substr(from + 2, next == std::string::npos ? std::string::npos : next - from - 2);
    from = next;
    const std::size_t colon = line.find(": ");
    const std::string name = line.substr(0, colon);
    FuzzCheck(colon != std::string::npos &&
                  (name == "Content-Type" || name == "Content-Length" || name == "Allow" || name == "Connection"),
              "a header line the server does not write: " + line);
    if (name == "Content-Length") told = line.substr(colon + 2);
  }
  FuzzCheck(told == std::to_string(body.size()), "a body of " + std::to_string(body.size()) + " bytes told as " + told);
  if (status == 200 || body == TheServer().page) {
    FuzzCheck(status == 200 && body == TheServer().page, "another page served");
    // Blank bytes before the request line are skipped, as HTTP allows.
    const std::size_t start = request.find_first_not_of(" \t\r\n\v\f");
    FuzzCheck(start != std::string::npos && request.compare(start, 4, "GET ") == 0,
              "the page served to another method than GET");
    // The library reads "///\metrics" as the path too (slashes merged, a backslash as a slash).
    FuzzCheck(request.find(kPath + 1) != std::string::npos, "the page served for another path");
  }
}

// Each exchange comes from another loopback address: thousands of connections a second to
// one port would otherwise meet their own earlier ones still waiting out the close.
void BindSource(int fd) {
  static std::uint32_t exchanges = 0;
  ++exchanges;
  sockaddr_in source{};
  source.sin_family = AF_INET;
  source.sin_addr.s_addr = htonl(0x7F000000u | (1 + exchanges % 0xFFFFFEu));
  FuzzCheck(::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) == 0,
            std::string("cannot bind a loopback source: ") + std::strerror(errno));
}

void Exchange(const std::string& request, std::string& answer) {
  Connection client;
  BindSource(client.Fd());
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(TheServer().server->Port());
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // libFuzzer's timer signal interrupts waits: a connect it cut short goes on by itself.
  int connected = ::connect(client.Fd(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  if (connected != 0 && errno == EINTR) {
    pollfd writable{client.Fd(), POLLOUT, 0};
    int error = 0;
    socklen_t size = sizeof error;
    for (int wait = 0; wait < 100 && ::poll(&writable, 1, 200) <= 0; ++wait) {
    }
    connected = ::getsockopt(client.Fd(), SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0 ? 0 : -1;
    errno = error;
  }
  FuzzCheck(connected == 0, std::string("the server takes no connection: ") + std::strerror(errno));
  std::size_t sent = 0;
  while (sent < request.size()) {
    const ssize_t put = ::send(client.Fd(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) break;  // the server may close on a request it refuses before reading it all
    sent += static_cast<std::size_t>(put);
  }
  ::shutdown(client.Fd(), SHUT_WR);
  answer = ReadAnswer(client.Fd());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  TheServer();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string request(reinterpret_cast<const char*>(data), size);
  std::string answer;
  Exchange(request, answer);
  CheckAnswer(request, answer);
  // Still serving: a plain scrape after whatever came before.
  const std::string scrape = std::string("GET ") + kPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  Exchange(scrape, answer);
  FuzzCheck(answer.rfind("HTTP/1.1 200", 0) == 0, "the server stopped serving: " + answer.substr(0, 40));
  CheckAnswer(scrape, answer);
  return 0;
}
