#include "ui/AppIcons.h"

#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

// Resources of a static library are registered by hand; outside any namespace, as the
// macro declares the registering function.
static void RegisterIconResources() { Q_INIT_RESOURCE(icons); }

namespace {

QIcon FromSvg(const QString& resource) {
  static const bool registered = (RegisterIconResources(), true);
  (void)registered;
  QSvgRenderer renderer(resource);
  QIcon icon;
  for (int size : {16, 20, 22, 24, 32, 40, 48, 64, 128, 256}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    renderer.render(&painter);
    painter.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

}  // namespace

namespace AppIcons {
QIcon Application() { return FromSvg(QStringLiteral(":/icons/vantrel.svg")); }
QIcon Start() { return FromSvg(QStringLiteral(":/icons/start.svg")); }
QIcon Stop() { return FromSvg(QStringLiteral(":/icons/stop.svg")); }
QIcon Monitor() { return FromSvg(QStringLiteral(":/icons/monitor.svg")); }
QIcon DeviceManagement() { return FromSvg(QStringLiteral(":/icons/devices.svg")); }
}  // namespace AppIcons
