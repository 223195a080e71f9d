#pragma once

#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "TempDir.h"
#include "TestDevice.h"

// An HTTP answer as a client reads it off the connection.
struct HttpAnswer {
  int Status = 0;  // 0: no status line came
  std::string Head;
  std::string Body;
};

// Sends `request` as it is to 127.0.0.1:`port` and reads until the server closes the
// connection (or the bound passes).
inline HttpAnswer HttpExchange(std::uint16_t port, const std::string& request) {
  TestDevice client(port);
  HttpAnswer answer;
  if (!client.IsOpen() || !client.Send(Bytes(request.begin(), request.end()))) return answer;
  const Bytes bytes = client.Read(1 << 24);
  const std::string text(bytes.begin(), bytes.end());
  const std::size_t end = text.find("\r\n\r\n");
  answer.Head = text.substr(0, end);
  if (end != std::string::npos) answer.Body = text.substr(end + 4);
  if (text.rfind("HTTP/1.", 0) == 0 && text.size() > 12) answer.Status = std::atoi(text.c_str() + 9);
  return answer;
}

inline std::string HttpRequest(const std::string& method, const std::string& path, const std::string& headers = "") {
  return method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n";
}

// The samples of a Prometheus text page, by "name" or "name{label=\"value\"}" as written.
inline std::map<std::string, double> MetricSamples(const std::string& page) {
  std::map<std::string, double> samples;
  std::istringstream lines(page);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t blank = line.rfind(' ');
    if (blank == std::string::npos) continue;
    samples[line.substr(0, blank)] = std::strtod(line.c_str() + blank + 1, nullptr);
  }
  return samples;
}

// promtool's verdict on a page: its exit status (0: clean) and what it said; -1 when
// promtool is not installed.
struct PromtoolVerdict {
  int Status = -1;
  std::string Output;
};

inline PromtoolVerdict PromtoolCheck(const std::string& page) {
  PromtoolVerdict verdict;
  if (std::system("command -v promtool >/dev/null 2>&1") != 0) return verdict;
  TempDir dir;
  std::ofstream(dir.File("page.txt"), std::ios::binary) << page;
  const std::string command =
      "promtool check metrics < '" + dir.File("page.txt") + "' > '" + dir.File("said.txt") + "' 2>&1";
  const int status = std::system(command.c_str());
  verdict.Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
  std::ifstream said(dir.File("said.txt"));
  std::ostringstream text;
  text << said.rdbuf();
  verdict.Output = text.str();
  return verdict;
}
