#pragma once

struct ServiceOptions {
  bool monitor = false;  // print every forwarded block
  bool hex = false;      // ... with its data in hexadecimal
  bool quiet = false;    // only problems, no status or device lines
};

// Runs the forwarding service until SIGTERM, SIGINT or the SockoraServerShutdown event,
// then stops it cleanly; SIGHUP reloads the tunnels, bindings and settings into the running
// service (CDlgSimulation::ReloadConfiguration), keeping connected devices whose tunnel did
// not change, and says in a line what changed or why nothing could. Returns the exit code: 0
// after a clean stop, 1 when the service could not start or another instance already runs
// with this application directory (the reason on stderr). Main thread, before any other
// thread exists.
int RunService(const ServiceOptions& options);
