#include "ui/CAboutDlg.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "VantrelVersion.h"
#include "resources/CResourceStrings.h"
#include "resources/ResourceIds.h"
#include "ui/AppIcons.h"
#include "ui/ResourceText.h"

namespace {

}  // namespace

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent), m_version(new QLabel(this)) {
  setWindowTitle(DialogText(IDD_ABOUTBOX, IDC_CAPTION));
  auto* icon = new QLabel(this);
  icon->setPixmap(AppIcons::Application().pixmap(32, 32));
  m_version->setText(DialogText(IDD_ABOUTBOX, IDC_ABOUT_VERSION).replace(QStringLiteral("%s"), QString::fromLatin1(kVantrelVersion)));
  auto* ok = new QPushButton(DialogText(IDD_ABOUTBOX, IDOK), this);
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  auto* line = new QHBoxLayout;
  line->addWidget(icon);
  line->addSpacing(12);
  line->addWidget(m_version, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ok);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(line);
  layout->addSpacing(8);
  layout->addLayout(buttons);
  setMinimumWidth(320);
}

QString CAboutDlg::VersionLine() const { return m_version->text(); }
