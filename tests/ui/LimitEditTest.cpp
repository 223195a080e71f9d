#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QMenu>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <gtest/gtest.h>

#include "MessageBoxAnswerer.h"
#include "ui/CLimitEdit.h"

namespace {

const std::string kHexMessage = "输入字符范围： ['0' - '9'], ['a' - 'f'], ['A' - 'F']";
const std::string kPortMessage = "输入整数范围：[1 - 65535]!";

// A window with the field and a second field to move the focus to.
struct Form {
  QWidget window;
  CLimitEdit* field = new CLimitEdit(&window);
  QLineEdit* other = new QLineEdit(&window);

  Form() {
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(field);
    layout->addWidget(other);
    window.show();
    Focus(field);
  }
  // A message box took the activation away; the focus moves only in the active window.
  void Focus(QWidget* widget) {
    window.activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(&window));
    widget->setFocus();
    QApplication::processEvents();
  }
  void HexId() {
    field->ResetToDigits();
    field->AddCharRange('a', 'f');
    field->AddCharRange('A', 'F');
  }
  void PortNumber() {
    field->ResetToDigits();
    field->SetIntegerRange(1, 65535);
  }
  void LeaveField() { Focus(other); }
};

TEST(LimitEdit, RangesBuildTheRejectionMessageAndRefuseABackwardsRange) {
  CLimitEdit field;
  EXPECT_TRUE(field.ResetToDigits());
  EXPECT_TRUE(field.AddCharRange('a', 'f'));
  EXPECT_FALSE(field.AddCharRange('F', 'A'));
  EXPECT_TRUE(field.AddCharRange('A', 'F'));
  EXPECT_EQ(kHexMessage, field.RejectionMessage());
}

TEST(LimitEdit, HexFieldRefusesOtherCharactersButAlwaysTakesBackspace) {
  Form form;
  form.HexId();
  MessageBoxAnswerer boxes;
  QTest::keyClicks(form.field, "1aF");
  QTest::keyClicks(form.field, "g");
  QKeyEvent wide(QEvent::KeyPress, 0, Qt::NoModifier, QStringLiteral("中"));
  QApplication::sendEvent(form.field, &wide);
  EXPECT_EQ("1aF", form.field->text().toStdString());
  ASSERT_EQ(2u, boxes.Boxes().size());
  EXPECT_EQ(kHexMessage, boxes.Boxes()[0].Text);
  EXPECT_EQ("Vantrel", boxes.Boxes()[0].Caption);
  EXPECT_EQ(0, boxes.Boxes()[0].Type);
  QTest::keyClick(form.field, Qt::Key_Backspace);
  EXPECT_EQ("1a", form.field->text().toStdString());
}

TEST(LimitEdit, EveryPasteIsCheckedAndARefusedOneClearsTheField) {
  Form form;
  form.HexId();
  MessageBoxAnswerer boxes;
  struct Case {
    const char* clip;
    const char* how;
    const char* expected;
  } cases[] = {
      {"ABCD1234", "ctrl+v", "ABCD1234"},
      {"1 2", "ctrl+v", ""},
      {"1 2", "shift+insert", ""},
      {"xyz", "menu", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.clip) + " by " + c.how);
    boxes.Forget();
    form.field->clear();
    QApplication::clipboard()->setText(QString::fromUtf8(c.clip));
    if (std::string(c.how) == "ctrl+v") {
      QTest::keyClick(form.field, Qt::Key_V, Qt::ControlModifier);
    } else if (std::string(c.how) == "shift+insert") {
      QTest::keyClick(form.field, Qt::Key_Insert, Qt::ShiftModifier);
    } else {
      // The context menu's own Paste entry.
      QTimer::singleShot(0, [] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_NE(nullptr, menu);
        for (QAction* action : menu->actions()) {
          if (action->text().startsWith(QLineEdit::tr("&Paste"))) action->trigger();
        }
        menu->close();
      });
      QContextMenuEvent event(QContextMenuEvent::Keyboard, QPoint(1, 1), form.field->mapToGlobal(QPoint(1, 1)));
      QApplication::sendEvent(form.field, &event);
    }
    EXPECT_EQ(c.expected, form.field->text().toStdString());
    EXPECT_EQ(std::string(c.expected).empty() ? 1u : 0u, boxes.Boxes().size());
  }
}

TEST(LimitEdit, PortFieldOutOfRangeOnLeavingIsToldAndResetToTheMinimum) {
  Form form;
  form.PortNumber();
  MessageBoxAnswerer boxes;
  struct Case {
    const char* value;
    bool accepted;
  } cases[] = {{"", false}, {"0", false}, {"65536", false}, {"12a", false}, {"99999999999999999999", false},
               {"1", true},  {"65535", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    boxes.Forget();
    form.Focus(form.field);
    form.field->setText(QString::fromUtf8(c.value));
    form.LeaveField();
    if (c.accepted) {
      EXPECT_TRUE(boxes.Boxes().empty());
      EXPECT_EQ(c.value, form.field->text().toStdString());
    } else {
      ASSERT_EQ(1u, boxes.Boxes().size());
      EXPECT_EQ(kPortMessage, boxes.Boxes()[0].Text);
      EXPECT_EQ("1", form.field->text().toStdString());
      EXPECT_EQ("1", form.field->selectedText().toStdString());
    }
  }
}

TEST(LimitEdit, WithoutRangesEverythingIsTakenAndNothingIsChecked) {
  Form form;
  MessageBoxAnswerer boxes;
  QTest::keyClicks(form.field, "any ");
  QKeyEvent wide(QEvent::KeyPress, 0, Qt::NoModifier, QStringLiteral("文字"));
  QApplication::sendEvent(form.field, &wide);
  form.LeaveField();
  EXPECT_EQ("any 文字", form.field->text().toStdString());
  EXPECT_TRUE(boxes.Boxes().empty());
}

}  // namespace
