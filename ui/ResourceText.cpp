#include "ui/ResourceText.h"

#include <QStringList>

#include "model/TunnelFields.h"
#include "resources/CResourceStrings.h"
#include "resources/ResourceIds.h"

std::string Text(unsigned id) { return CResourceStrings::Instance().LoadString(id); }

QString QText(unsigned id) { return QString::fromStdString(Text(id)); }

QString DialogText(unsigned dialogId, unsigned controlId) {
  return QString::fromStdString(CResourceStrings::Instance().DialogText(dialogId, controlId));
}

QString MenuText(unsigned commandId) {
  return QString::fromStdString(CResourceStrings::Instance().MenuText(commandId));
}

QString ParityText(const std::string& parity) {
  const QStringList names = QText(IDS_PARITY_NAMES).split(u'\n');
  const QString stored = QString::fromStdString(parity);
  for (std::size_t i = 0; i < kParities.size() && i < static_cast<std::size_t>(names.size()); ++i)
    if (stored.compare(QString::fromLatin1(kParities[i]), Qt::CaseInsensitive) == 0) return names[static_cast<qsizetype>(i)];
  return stored;
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
