#pragma once

#include <QString>

class QWidget;

// Where a window was and how big, remembered per application directory in an INI file
// of the user's (two instances with different application directories each come back
// where they were). User-interface thread.
class WindowPlace {
 public:
  WindowPlace(QString file, QString applicationDirectory);

  // Puts `window` where it was remembered; false when nothing was.
  bool Restore(QWidget& window) const;
  // Remembers where `window` is; false, with a diagnostic line, when the file cannot be
  // written.
  bool Save(const QWidget& window) const;

 private:
  QString m_file;
  QString m_key;
};
