#include "ui/CsvFile.h"

#include <QSaveFile>

namespace {

QString Field(const QString& value) {
  if (!value.contains(QLatin1Char(',')) && !value.contains(QLatin1Char('"')) && !value.contains(QLatin1Char('\n')) &&
      !value.contains(QLatin1Char('\r')))
    return value;
  QString quoted = value;
  quoted.replace(QLatin1String("\""), QLatin1String("\"\""));
  return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QByteArray Line(const QStringList& fields) {
  QStringList quoted;
  quoted.reserve(fields.size());
  for (const QString& field : fields) quoted << Field(field);
  return quoted.join(QLatin1Char(',')).toUtf8() + "\r\n";
}

}  // namespace

QString WriteCsvFile(const QString& path, const QStringList& header, const std::vector<QStringList>& rows) {
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return file.errorString();
  file.write("\xEF\xBB\xBF");
  file.write(Line(header));
  for (const QStringList& row : rows) file.write(Line(row));
  if (!file.commit()) return file.errorString();
  return {};
}
