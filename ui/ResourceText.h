#pragma once

#include <QString>
#include <initializer_list>
#include <string>

// The user-interface texts of the active language (see CResourceStrings), in the forms
// the widgets take them. Any thread.

// The string table entry; empty for an unknown ID.
std::string Text(unsigned id);
QString QText(unsigned id);
// A dialog's caption (control 0) or a control's caption.
QString DialogText(unsigned dialogId, unsigned controlId);
QString MenuText(unsigned commandId);

// A stored parity (None, Odd, Even, Space, Mark, letter case ignored) by its name in the
// language in use; any other text as it is.
QString ParityText(const std::string& parity);

// `format` with its "%s" markers replaced by `values`, in order. Nothing else in the
// format is read, so a translated text with a stray '%' cannot break it.
std::string Filled(std::string format, std::initializer_list<std::string> values);
