#include <QApplication>
#include <QPushButton>
#include <QScrollBar>
#include <QTextEdit>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include "MessageBoxAnswerer.h"
#include "resources/ResourceIds.h"
#include "ui/CMessageBoxCustom.h"
#include "ui/ResourceText.h"

namespace {

// Runs CustomMessageBox while `act` is applied to the box once it is shown.
template <typename Act>
int ShowAnd(const std::string& caption, int type, Act act) {
  QTimer::singleShot(0, [act] {
    auto* box = qobject_cast<CMessageBoxCustom*>(QApplication::activeModalWidget());
    ASSERT_NE(nullptr, box);
    act(*box);
  });
  return CustomMessageBox(nullptr, "text", caption, type);
}

TEST(MessageBox, KindsShowTheirButtonsAndCaption) {
  CMessageBoxCustom notice(nullptr, "line one\nline two", "", 0);
  EXPECT_EQ("Vantrel", notice.windowTitle().toStdString());
  EXPECT_EQ("line one\nline two", notice.Text());
  EXPECT_TRUE(notice.YesButton()->isHidden());
  EXPECT_EQ("确认", notice.NoButton()->text().toStdString());

  CMessageBoxCustom question(nullptr, "?", "Caption", 4);
  EXPECT_EQ("Caption", question.windowTitle().toStdString());
  EXPECT_FALSE(question.YesButton()->isHidden());
  EXPECT_EQ("是", question.YesButton()->text().toStdString());
  EXPECT_EQ("否", question.NoButton()->text().toStdString());
}

TEST(MessageBox, TheIconTellsTheKind) {
  struct Case {
    std::string caption;
    int type;
    QStyle::StandardPixmap icon;
  };
  for (const Case& c : {Case{"", 0, QStyle::SP_MessageBoxWarning}, Case{"Vantrel", 0, QStyle::SP_MessageBoxWarning},
                        Case{"", 4, QStyle::SP_MessageBoxQuestion}, Case{"Vantrel", 4, QStyle::SP_MessageBoxQuestion},
                        Case{Text(IDS_WARNING), 4, QStyle::SP_MessageBoxWarning}}) {
    SCOPED_TRACE(c.caption + std::to_string(c.type));
    EXPECT_EQ(c.icon, CMessageBoxCustom(nullptr, "text", c.caption, c.type).IconKind());
  }
}

TEST(MessageBox, TheBoxFitsItsTextAndOnlyAVeryLongOneScrolls) {
  std::string sentence, lines;
  for (int i = 0; i < 12; ++i) sentence += "设备 0000000" + std::to_string(i % 10) + " 的端口无法打开，";
  for (int i = 0; i < 60; ++i) lines += "line " + std::to_string(i) + "\n";
  CMessageBoxCustom small(nullptr, "OK?", "", 4), wide(nullptr, sentence, "", 0), tall(nullptr, lines, "", 0);
  for (CMessageBoxCustom* box : {&small, &wide, &tall}) {
    box->show();
    QApplication::processEvents();
  }
  EXPECT_LT(small.width(), wide.width());
  EXPECT_LT(small.height(), wide.height()) << "the sentence wraps";
  EXPECT_LE(wide.width(), 700);
  EXPECT_EQ(0, small.TextField()->verticalScrollBar()->maximum());
  EXPECT_EQ(0, wide.TextField()->verticalScrollBar()->maximum()) << "the wrapped sentence shows whole";
  EXPECT_GT(tall.TextField()->verticalScrollBar()->maximum(), 0);
  EXPECT_LE(tall.height(), 600);
}

TEST(MessageBox, OnlyYesOrEnterOnItAnswersYes) {
  auto press = [](bool yes) { return [yes](CMessageBoxCustom& box) { (yes ? box.YesButton() : box.NoButton())->click(); }; };
  auto key = [](Qt::Key k) { return [k](CMessageBoxCustom& box) { QTest::keyClick(&box, k); }; };
  auto close = [](CMessageBoxCustom& box) { box.close(); };
  EXPECT_EQ(IDYES, ShowAnd("", 4, press(true)));
  EXPECT_EQ(IDNO, ShowAnd("", 4, press(false)));
  EXPECT_EQ(IDYES, ShowAnd("", 4, key(Qt::Key_Return)));
  EXPECT_EQ(IDNO, ShowAnd("", 4, key(Qt::Key_Escape)));
  EXPECT_EQ(IDNO, ShowAnd("", 4, close));
  EXPECT_EQ(IDNO, ShowAnd("", 0, press(false)));
  EXPECT_EQ(IDNO, ShowAnd("", 0, key(Qt::Key_Return)));
}

TEST(MessageBox, FocusStartsOnYesForAQuestion) {
  int focusedYes = -1;
  ShowAnd("", 4, [&focusedYes](CMessageBoxCustom& box) {
    focusedYes = box.focusWidget() == box.YesButton() ? 1 : 0;
    box.NoButton()->click();
  });
  EXPECT_EQ(1, focusedYes);
}

}  // namespace
