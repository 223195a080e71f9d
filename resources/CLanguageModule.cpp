#include "resources/CLanguageModule.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform/DebugSink.h"

namespace {

void ReportLoaderError(const std::string& path) {
  const char* reason = ::dlerror();
  DebugOutput("[ERROR]CLanguageModule::Load() " + path + ": " + (reason != nullptr ? reason : "unknown error") + "\n");
}

// 0 when `path` opens for reading and is no directory, else the errno that says why not.
// The loader keeps the reason of a failed open to itself, so it is asked for here first.
int CheckReadable(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat info {};
  int error = ::fstat(fd, &info) != 0 ? errno : 0;
  if (error == 0 && S_ISDIR(info.st_mode)) error = EISDIR;
  ::close(fd);
  return error;
}

template <typename Function>
Function Resolve(void* handle, const char* name) {
  return reinterpret_cast<Function>(::dlsym(handle, name));
}

}  // namespace

std::optional<CLanguageModule> CLanguageModule::Load(const std::string& path, int& errorCode) {
  if (const int error = CheckReadable(path); error != 0) {
    errorCode = error;
    DebugOutput("[ERROR]CLanguageModule::Load() " + path + ": " + std::strerror(error) + "\n");
    return std::nullopt;
  }
  ::dlerror();
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    errorCode = kUnusableModule;
    ReportLoaderError(path);
    return std::nullopt;
  }
  const auto string = Resolve<ModuleStringFn>(handle, "VantrelModuleString");
  const auto dialogText = Resolve<ModuleDialogTextFn>(handle, "VantrelModuleDialogText");
  const auto menuText = Resolve<ModuleMenuTextFn>(handle, "VantrelModuleMenuText");
  if (string == nullptr || dialogText == nullptr || menuText == nullptr) {
    errorCode = kUnusableModule;
    ReportLoaderError(path);
    ::dlclose(handle);
    return std::nullopt;
  }
  errorCode = 0;
  return CLanguageModule(handle, string, dialogText, menuText);
}

CLanguageModule::CLanguageModule(void* handle, ModuleStringFn string, ModuleDialogTextFn dialogText,
                                 ModuleMenuTextFn menuText)
    : m_handle(handle), m_string(string), m_dialogText(dialogText), m_menuText(menuText) {}

void CLanguageModule::Unloader::operator()(void* handle) const { ::dlclose(handle); }
