#include "ui/ResourceText.h"

#include "resources/CResourceStrings.h"

std::string Text(unsigned id) { return CResourceStrings::Instance().LoadString(id); }

QString QText(unsigned id) { return QString::fromStdString(Text(id)); }

QString DialogText(unsigned dialogId, unsigned controlId) {
  return QString::fromStdString(CResourceStrings::Instance().DialogText(dialogId, controlId));
}

QString MenuText(unsigned commandId) {
  return QString::fromStdString(CResourceStrings::Instance().MenuText(commandId));
}

std::string Filled(std::string format, std::initializer_list<std::string> values) {
  std::size_t from = 0;
  for (const std::string& value : values) {
    const std::size_t at = format.find("%s", from);
    if (at == std::string::npos) break;
    format.replace(at, 2, value);
    from = at + value.size();
  }
  return format;
}
