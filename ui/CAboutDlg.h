#pragma once

#include <QDialog>

class QLabel;

// The About box: the application icon, the version line and OK. User-interface thread.
class CAboutDlg : public QDialog {
 public:
  explicit CAboutDlg(QWidget* parent = nullptr);

  QString VersionLine() const;

 private:
  QLabel* m_version;
};
