#include "ui/WindowPlace.h"

#include <QSettings>
#include <QWidget>
#include <utility>

#include "platform/WriteDebugLine.h"

namespace {

// The directory's path is the key; QSettings would read its slashes as groups.
QString KeyOf(const QString& applicationDirectory) {
  return QStringLiteral("MainWindow/") + QString::fromLatin1(applicationDirectory.toUtf8().toPercentEncoding());
}

}  // namespace

WindowPlace::WindowPlace(QString file, QString applicationDirectory)
    : m_file(std::move(file)), m_key(KeyOf(applicationDirectory)) {}

bool WindowPlace::Restore(QWidget& window) const {
  const QByteArray place = QSettings(m_file, QSettings::IniFormat).value(m_key).toByteArray();
  return !place.isEmpty() && window.restoreGeometry(place);
}

bool WindowPlace::Save(const QWidget& window) const {
  QSettings settings(m_file, QSettings::IniFormat);
  settings.setValue(m_key, window.saveGeometry());
  settings.sync();
  if (settings.status() == QSettings::NoError) return true;
  WriteDebugLine("[ERROR]", "the window's place cannot be written to %s\n", m_file.toLocal8Bit().constData());
  return false;
}
