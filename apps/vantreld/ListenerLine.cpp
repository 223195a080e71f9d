#include "ListenerLine.h"

#include "service/CDlgSimulation.h"

std::string ListenerLine(const ListenerState& state, const std::string& firstAddress) {
  std::string where;
  if (state.Port != 0) where = state.Address + ":" + std::to_string(state.Port);
  if (state.TlsPort != 0)
    where += (where.empty() ? "" : " and ") + state.Address + ":" + std::to_string(state.TlsPort) + " (TLS)";
  switch (state.What) {
    case ListenerState::Change::Paused:
      return "Paused: new devices are not accepted on " + where +
             "; connected devices stay connected (resume with: vantreld --signal " +
             CDlgSimulation::kPauseResumeEventName + ")";
    case ListenerState::Change::Resumed:
      return "Resumed: listening for devices on " + where + " again";
    case ListenerState::Change::Started:
      break;
  }
  if (state.Address == "0.0.0.0") return "Listening for devices on " + where + " (every address of this computer)";
  if (state.Address == firstAddress) return "Listening for devices on " + where + " (this computer's first IPv4 address)";
  return "Listening for devices on " + where;
}
