// A language module for tests. With its entry points it knows a single string, so every
// other ID must fall back to the built-in text; without them it is a shared object that
// is no language module.

#ifdef WITH_ENTRY_POINTS

#include "resources/LanguageModuleApi.h"
#include "resources/ResourceIds.h"

extern "C" {

const char* VantrelModuleString(unsigned id) { return id == IDS_READY ? "Partial ready" : nullptr; }
const char* VantrelModuleDialogText(unsigned, unsigned) { return nullptr; }
const char* VantrelModuleMenuText(unsigned commandId) { return commandId == ID_SIM_START ? "Partial start" : nullptr; }
}

#else

extern "C" int NotALanguageModule() { return 0; }

#endif
