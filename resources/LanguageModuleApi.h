#pragma once

// The entry points of a language module (English.so). Each returns the module's UTF-8
// text for the ID, valid while the module is loaded, or nullptr when the module has none
// (the built-in text is used then). Any thread.
extern "C" {
const char* VantrelModuleString(unsigned id);
const char* VantrelModuleDialogText(unsigned dialogId, unsigned controlId);
const char* VantrelModuleMenuText(unsigned commandId);
}

using ModuleStringFn = const char* (*)(unsigned id);
using ModuleDialogTextFn = const char* (*)(unsigned dialogId, unsigned controlId);
using ModuleMenuTextFn = const char* (*)(unsigned commandId);
