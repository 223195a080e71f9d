#include "ui/CToolBarEx.h"

#include <QAction>

#include "resources/CResourceStrings.h"

CToolBarEx::CToolBarEx(QWidget* parent) : QToolBar(parent) {
  setMovable(false);
  setFloatable(false);
  setIconSize(QSize(kImageWidth, kImageHeight));
  setToolButtonStyle(Qt::ToolButtonIconOnly);
  setContextMenuPolicy(Qt::PreventContextMenu);
}

void CToolBarEx::AddButton(QAction* action, unsigned commandId) {
  const std::string text = CResourceStrings::Instance().LoadString(commandId);
  const std::size_t lineFeed = text.find('\n');
  action->setToolTip(QString::fromStdString(lineFeed == std::string::npos ? text : text.substr(lineFeed + 1)));
  addAction(action);
  widgetForAction(action)->setFixedSize(kButtonSize, kButtonSize);
}
