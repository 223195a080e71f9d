#pragma once

#include <cerrno>
#include <memory>
#include <optional>
#include <string>

#include "resources/LanguageModuleApi.h"

// A loaded language module (English.so): its texts replace the built-in ones. Unloaded
// when the object goes; texts it returned must not be used after that.
class CLanguageModule {
 public:
  // The error code of a file that could be read but is no loadable module (not an object
  // file for this machine, missing libraries, or without the entry points).
  static constexpr int kUnusableModule = ENOEXEC;

  // Loads the module at `path` (main thread, at start-up). On failure returns nothing and
  // sets errorCode to the errno of a file that cannot be read, or kUnusableModule; the loader's own
  // error text goes to the debug sink.
  static std::optional<CLanguageModule> Load(const std::string& path, int& errorCode);

  // The module's text, or nullptr when it has none. Any thread.
  const char* String(unsigned id) const { return m_string(id); }
  const char* DialogText(unsigned dialogId, unsigned controlId) const { return m_dialogText(dialogId, controlId); }
  const char* MenuText(unsigned commandId) const { return m_menuText(commandId); }

 private:
  struct Unloader {
    void operator()(void* handle) const;
  };

  CLanguageModule(void* handle, ModuleStringFn string, ModuleDialogTextFn dialogText, ModuleMenuTextFn menuText);

  std::unique_ptr<void, Unloader> m_handle;
  ModuleStringFn m_string;
  ModuleDialogTextFn m_dialogText;
  ModuleMenuTextFn m_menuText;
};
