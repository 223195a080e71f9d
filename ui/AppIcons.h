#pragma once

#include <QIcon>

// The program's icons, drawn for 20 x 20 and built in (ui/icons): rendered from their
// SVG at the usual sizes, so they need no image plug-in at run time. User-interface thread.
namespace AppIcons {
QIcon Application();
QIcon Start();
QIcon Stop();
QIcon Monitor();
QIcon DeviceManagement();
}  // namespace AppIcons
