#include "core/TlsListenerSettings.h"

#include "model/SettingFields.h"
#include "platform/AppPaths.h"

std::shared_ptr<const Sockora::CTlsContext> LoadTlsListenerContext(const SettingInfo& settings, std::string& failure) {
  failure = TlsSettingsProblem(settings);
  if (!failure.empty() || settings.TlsPort == 0) return nullptr;
  Sockora::CTlsContext::Files files;
  files.Certificate = AppFilePath(settings.TlsCertificate);
  files.Key = AppFilePath(settings.TlsKey);
  if (!settings.TlsClientCa.empty()) files.ClientCa = AppFilePath(settings.TlsClientCa);
  return Sockora::CTlsContext::Load(files, failure);
}
