#include <QApplication>
#include <QComboBox>
#include <QProcess>
#include <QTableWidget>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "MessageBoxAnswerer.h"
#include "StatusPaneRecorder.h"
#include "TempDir.h"
#include "WaitFor.h"
#include "platform/CPairRecord.h"
#include "serial/SystemPortNames.h"
#include "ui/CDlgMgtVirtualCom.h"

namespace {

const std::string kFailed = "运行setupc失败";

std::vector<std::string> Offered(const CDlgMgtVirtualCom& dialog) {
  std::vector<std::string> names;
  for (int i = 0; i < dialog.PortList()->count(); ++i) names.push_back(dialog.PortList()->itemText(i).toStdString());
  return names;
}

bool Has(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// Lets setupc run to its end with the event loop turning, as the open dialog has it.
bool WaitForSetupc(const CDlgMgtVirtualCom& dialog) {
  return WaitFor([&dialog] {
    QApplication::processEvents();
    return !dialog.Creating();
  });
}

// A port directory of the test's own; every pair made there is removed at the end.
class VirtualComDialogTest : public ::testing::Test {
 protected:
  ~VirtualComDialogTest() override {
    for (const std::string& name : m_made) {
      QProcess::execute(QString::fromStdString(CDlgMgtVirtualCom::DefaultSetupcPath()),
                        {QStringLiteral("remove"), QString::fromStdString("PortName=" + name)});
    }
  }

  void Link(const std::string& name) const {
    std::filesystem::create_symlink("/dev/null", m_ports.File(name));
  }

  TempPortDir m_ports;
  StatusPaneRecorder m_status;
  MessageBoxAnswerer m_boxes;
  std::vector<std::string> m_made;
};

TEST_F(VirtualComDialogTest, OffersTheFirst256NamesLessThePortsThatExist) {
  Link("COM200");
  Link("COM202");
  // Not a port name: the driver opens only COM<n>.
  Link("COM201_FF");
  CDlgMgtVirtualCom dialog(nullptr, m_status.Handle());
  std::vector<std::string> expected;
  const std::vector<std::string> present = SystemPortNames();
  for (int n = 1; n <= 256; ++n) {
    const std::string name = "COM" + std::to_string(n);
    if (!Has(present, name)) expected.push_back(name);
  }
  EXPECT_TRUE(Has(present, "COM200"));
  EXPECT_EQ(expected, Offered(dialog));
  EXPECT_FALSE(Has(Offered(dialog), "COM202"));
  EXPECT_TRUE(Has(Offered(dialog), "COM201"));
  EXPECT_EQ(0, dialog.PortList()->currentIndex());
}

TEST_F(VirtualComDialogTest, CreateMakesThePairThatThePortListThenShows) {
  CDlgMgtVirtualCom dialog(nullptr, m_status.Handle());
  const std::string name = dialog.PortList()->currentText().toStdString();
  const std::string next = dialog.PortList()->itemText(1).toStdString();
  ASSERT_FALSE(Has(SystemPortNames(), name));
  dialog.Create();
  m_made.push_back(name);
  ASSERT_TRUE(WaitForSetupc(dialog));
  EXPECT_TRUE(m_boxes.Boxes().empty()) << m_boxes.Boxes()[0].Text;
  // Says which end the serial software opens, and where.
  const std::string created = "已创建虚拟串口对：Vantrel使用 " + name + "，串口软件请打开 " + name + "_FF（" +
                              m_ports.File(name + "_FF") + "）";
  EXPECT_EQ(std::vector<std::string>{created}, m_status.Texts());
  EXPECT_EQ(created, dialog.Message().toStdString());
  ASSERT_EQ(1, dialog.PairList()->rowCount());
  EXPECT_EQ(name, dialog.PairList()->item(0, 0)->text().toStdString());
  EXPECT_EQ("正常", dialog.PairList()->item(0, 2)->text().toStdString());
  EXPECT_FALSE(Has(Offered(dialog), name));
  EXPECT_EQ(next, dialog.PortList()->currentText().toStdString());
  EXPECT_TRUE(Has(SystemPortNames(), name));
  EXPECT_TRUE(std::filesystem::exists(m_ports.File(name + "_FF")));
}

// After a reboot (here: the holder killed) the pair's links remain but lead nowhere safe.
TEST_F(VirtualComDialogTest, APairWhoseHolderIsGoneIsNoPortAndItsNameIsOfferedAgain) {
  std::string name;
  {
    CDlgMgtVirtualCom dialog(nullptr, m_status.Handle());
    name = dialog.PortList()->currentText().toStdString();
    dialog.Create();
    m_made.push_back(name);
    ASSERT_TRUE(WaitForSetupc(dialog));
  }
  const std::vector<CPairRecord> pairs = CPairRecord::Scan(m_ports.Path());
  ASSERT_EQ(1u, pairs.size());
  ASSERT_EQ(0, ::kill(pairs[0].pid, SIGKILL));
  ASSERT_TRUE(WaitFor([&] { return !pairs[0].HolderAlive(); }));
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(m_ports.File(name))));
  EXPECT_FALSE(Has(SystemPortNames(), name));

  CDlgMgtVirtualCom dialog(nullptr, m_status.Handle());
  ASSERT_EQ(name, dialog.PortList()->currentText().toStdString());
  // Listed as stale, with the end the serial software would open.
  ASSERT_EQ(1, dialog.PairList()->rowCount());
  EXPECT_EQ(name, dialog.PairList()->item(0, 0)->text().toStdString());
  EXPECT_EQ(0u, dialog.PairList()->item(0, 1)->text().toStdString().rfind(name + "_FF", 0));
  EXPECT_EQ("失效(后台进程已退出)", dialog.PairList()->item(0, 2)->text().toStdString());
  dialog.Create();
  ASSERT_TRUE(WaitForSetupc(dialog));
  EXPECT_TRUE(m_boxes.Boxes().empty());
  EXPECT_TRUE(Has(SystemPortNames(), name));
  EXPECT_EQ("正常", dialog.PairList()->item(0, 2)->text().toStdString());
}

TEST_F(VirtualComDialogTest, RemoveAsksThenRemovesTheSelectedPair) {
  CDlgMgtVirtualCom dialog(nullptr, m_status.Handle());
  dialog.Remove();
  ASSERT_EQ(1u, m_boxes.Boxes().size());
  EXPECT_EQ("请选择要删除的虚拟串口对", m_boxes.Boxes()[0].Text);

  const std::string name = dialog.PortList()->currentText().toStdString();
  dialog.Create();
  m_made.push_back(name);
  ASSERT_TRUE(WaitForSetupc(dialog));
  ASSERT_EQ(1, dialog.PairList()->rowCount());
  dialog.PairList()->selectRow(0);
  dialog.Remove();
  ASSERT_EQ(2u, m_boxes.Boxes().size());
  EXPECT_EQ("删除虚拟串口对 " + name + " / " + name + "_FF？使用它们的程序将失去串口。", m_boxes.Boxes()[1].Text);
  EXPECT_FALSE(dialog.Creating());
  EXPECT_TRUE(Has(SystemPortNames(), name));

  m_boxes.Then(IDYES);
  dialog.PairList()->selectRow(0);
  dialog.Remove();
  ASSERT_TRUE(WaitForSetupc(dialog));
  EXPECT_EQ(3u, m_boxes.Boxes().size());
  EXPECT_EQ(0, dialog.PairList()->rowCount());
  EXPECT_FALSE(Has(SystemPortNames(), name));
  EXPECT_TRUE(Has(Offered(dialog), name));
  EXPECT_EQ("已删除虚拟串口对 " + name, dialog.Message().toStdString());
}

TEST_F(VirtualComDialogTest, AMissingSetupcIsToldAndTheListStays) {
  TempDir elsewhere;
  CDlgMgtVirtualCom dialog(nullptr, m_status.Handle(), elsewhere.File("setupc"));
  const std::vector<std::string> before = Offered(dialog);
  dialog.Create();
  EXPECT_FALSE(dialog.Creating());
  ASSERT_EQ(1u, m_boxes.Boxes().size());
  EXPECT_EQ("未找到setupc程序，请检查程序目录下是否有setupc", m_boxes.Boxes()[0].Text);
  EXPECT_EQ(before, Offered(dialog));
  EXPECT_TRUE(m_status.Texts().empty());
}

TEST_F(VirtualComDialogTest, ASetupcThatRefusesIsToldWithItsReasonAndTheListStays) {
  CDlgMgtVirtualCom dialog(nullptr, m_status.Handle());
  const std::string name = dialog.PortList()->currentText().toStdString();
  // The other end's name is taken: setupc creates nothing.
  Link(name + "_FF");
  const std::vector<std::string> before = Offered(dialog);
  dialog.Create();
  ASSERT_TRUE(WaitForSetupc(dialog));
  ASSERT_EQ(1u, m_boxes.Boxes().size());
  EXPECT_EQ(0u, m_boxes.Boxes()[0].Text.rfind(kFailed + "\nsetupc: ", 0)) << m_boxes.Boxes()[0].Text;
  EXPECT_EQ(before, Offered(dialog));
  EXPECT_FALSE(Has(SystemPortNames(), name));
  EXPECT_TRUE(m_status.Texts().empty());
}

}  // namespace
