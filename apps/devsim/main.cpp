#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include "CDeviceSimulator.h"
#include "DevsimOptions.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

}  // namespace

int main(int argc, char** argv) {
  DevsimOptions options;
  const int parsed = ParseDevsimOptions(argc, argv, options);
  if (parsed >= 0) return parsed;
  std::unique_ptr<CTlsClientContext> tls;
  if (options.tls) {
    std::string error;
    tls = CTlsClientContext::Create(options.tlsSettings, error);
    if (!tls) {
      std::fprintf(stderr, "vantrel-devsim: %s\n", error.c_str());
      return 2;
    }
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  CDeviceSimulator simulator(options, tls.get());
  return simulator.Run(g_stop);
}
