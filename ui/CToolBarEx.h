#pragma once

#include <QToolBar>

// The main window's toolbar: flat, fixed at the top, 20 x 20 images on 30 x 30 buttons,
// each button's tip the string-table text of its command after the line feed.
// User-interface thread.
class CToolBarEx : public QToolBar {
 public:
  static constexpr int kImageWidth = 20;
  static constexpr int kImageHeight = 20;
  static constexpr int kButtonSize = 30;

  explicit CToolBarEx(QWidget* parent = nullptr);

  // Appends a button for `action`, whose tip becomes the text of string `commandId`
  // after its line feed.
  void AddButton(QAction* action, unsigned commandId);
};
