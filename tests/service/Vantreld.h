#pragma once

#include "AppProcess.h"

// vantreld in an English locale without a language file: English texts, from the
// English.so beside the program.
class Vantreld : public AppProcess {
 public:
  explicit Vantreld(const std::string& appDir)
      // Without a language file vantreld follows the locale.
      : AppProcess(VANTRELD_PROGRAM, appDir, {{"LC_ALL", "C.UTF-8"}}) {}
};

// Its status lines.
inline const std::string kStarted = "Service started.";
inline const std::string kStopped = "Service stopped.";
inline const std::string kMatchedOnline = "Matched Online";
