#include "model/SettingInfo.h"

#include <mutex>

namespace {

struct ProcessSettings {
  std::mutex mutex;
  SettingInfo settings;
};

// Never destroyed: worker threads read settings until the very end of the process.
ProcessSettings& TheSettings() {
  static ProcessSettings& settings = *new ProcessSettings;
  return settings;
}

}  // namespace

SettingInfo CurrentSettings() {
  ProcessSettings& process = TheSettings();
  std::lock_guard lock(process.mutex);
  return process.settings;
}

void ReplaceSettings(const SettingInfo& settings) {
  ProcessSettings& process = TheSettings();
  std::lock_guard lock(process.mutex);
  process.settings = settings;
}
