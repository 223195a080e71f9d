#include <csignal>
#include <cstdio>

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
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  CDeviceSimulator simulator(options);
  return simulator.Run(g_stop);
}
