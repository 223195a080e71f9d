#include "CommandStatus.h"

#include <iostream>

int BadInput(const std::string& message) {
  std::cerr << "vantreld: " << message << '\n';
  return kExitBadInput;
}

int Failure(const std::string& message) {
  std::cerr << "vantreld: " << message << '\n';
  return kExitFailure;
}
