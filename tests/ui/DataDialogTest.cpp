#include <QAbstractItemModel>
#include <QCheckBox>
#include <QDateTimeEdit>
#include <QPushButton>
#include <QTableView>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../storage/StorageTestSupport.h"
#include "MessageBoxAnswerer.h"
#include "StatusPaneRecorder.h"
#include "storage/CAccessInterface.h"
#include "ui/CDlgMgtData.h"
#include "ui/CLimitEdit.h"
#include "ui/CNotTransResultModel.h"

namespace {

const std::string kNoCondition = "请输入查询/删除条件！";
const std::string kIdLength = "请输入长度为8的设备ID!";
const std::string kQuerying = "查询中，请稍等....";
const std::string kQueryOk = "查询成功";
const std::string kNothing = "未查询到符合条件的数据";
const std::string kDeleted = "删除成功";

// NotTransData holding records of two devices on 2 January and one on 3 January.
class DataDialogTest : public ::testing::Test {
 protected:
  DataDialogTest() {
    m_store.OpenDatabase(DATABASE_FILE_NAME);
    m_store.DeleteAllNotTransData();
    m_store.SaveNotTransData({MakeRecord("2026/01/02 10:00:00", "0000ABCD", {0x31, 0x32, 0x00, 0x33}),
                              MakeRecord("2026/01/02 11:00:00", "0000ABCD", {'h', 'i', '\n'}),
                              MakeRecord("2026/01/02 12:00:00", "12345678", {0xFE}),
                              MakeRecord("2026/01/03 09:00:00", "12345678", {0x00})});
  }

  // The cells of the results, row by row.
  std::vector<std::vector<std::string>> Rows(const CDlgMgtData& dialog) const {
    const QAbstractItemModel& model = dialog.Results();
    std::vector<std::vector<std::string>> rows;
    for (int r = 0; r < model.rowCount(); ++r) {
      std::vector<std::string> row;
      for (int c = 0; c < model.columnCount(); ++c) row.push_back(model.index(r, c).data().toString().toStdString());
      rows.push_back(row);
    }
    return rows;
  }

  // The stored records of one device, or of all.
  std::int64_t Stored(const std::string& deviceId = "") {
    const auto any = [](const NotTransRecord&) { return true; };
    if (deviceId.empty()) return m_store.QueryNotTransDataSql("select * from NotTransData;", {}, any);
    return m_store.VisitNotTransData(NotTransFilter{deviceId, "", ""}, any);
  }

  static void TimeRange(CDlgMgtData& dialog, const QString& start, const QString& end) {
    dialog.TimeBox()->setChecked(true);
    dialog.StartTimeEdit()->setDateTime(QDateTime::fromString(start, "yyyy/MM/dd HH:mm:ss"));
    dialog.EndTimeEdit()->setDateTime(QDateTime::fromString(end, "yyyy/MM/dd HH:mm:ss"));
  }

  CAccessInterface m_store;
  StatusPaneRecorder m_status;
  MessageBoxAnswerer m_boxes;
};

TEST_F(DataDialogTest, OpensWithTheDeviceIdConditionAndTheUnusedControlsHidden) {
  CDlgMgtData dialog(nullptr, m_status.Handle());
  EXPECT_TRUE(dialog.DeviceIdBox()->isChecked());
  EXPECT_TRUE(dialog.DeviceIdEdit()->isEnabled());
  EXPECT_FALSE(dialog.TimeBox()->isChecked());
  EXPECT_FALSE(dialog.StartTimeEdit()->isEnabled());
  EXPECT_EQ("yyyy/MM/dd HH:mm:ss", dialog.StartTimeEdit()->displayFormat().toStdString());
  dialog.TimeBox()->setChecked(true);
  dialog.DeviceIdBox()->setChecked(false);
  EXPECT_TRUE(dialog.EndTimeEdit()->isEnabled());
  EXPECT_FALSE(dialog.DeviceIdEdit()->isEnabled());
  EXPECT_EQ(8, dialog.DeviceIdEdit()->maxLength());

  dialog.show();
  std::vector<std::string> shown;
  for (const QPushButton* button : dialog.findChildren<QPushButton*>()) {
    if (button->isVisible()) shown.push_back(button->text().toStdString());
  }
  EXPECT_EQ((std::vector<std::string>{"查询", "删除", "删除全部", "清空"}), shown);
  const QAbstractItemModel& model = dialog.Results();
  std::vector<std::string> headers;
  for (int c = 0; c < model.columnCount(); ++c) headers.push_back(model.headerData(c, Qt::Horizontal).toString().toStdString());
  EXPECT_EQ((std::vector<std::string>{"序号", "时间", "设备ID", "数据"}), headers);
}

TEST_F(DataDialogTest, AnIncompleteConditionIsToldAndNothingRuns) {
  CDlgMgtData dialog(nullptr, m_status.Handle());
  dialog.DeviceIdBox()->setChecked(false);
  dialog.Query();
  dialog.Delete();
  dialog.DeviceIdBox()->setChecked(true);
  dialog.DeviceIdEdit()->setText("0000ABC");
  dialog.Query();
  dialog.Delete();
  ASSERT_EQ(4u, m_boxes.Boxes().size());
  EXPECT_EQ(kNoCondition, m_boxes.Boxes()[0].Text);
  EXPECT_EQ(kNoCondition, m_boxes.Boxes()[1].Text);
  EXPECT_EQ(kIdLength, m_boxes.Boxes()[2].Text);
  EXPECT_EQ(kIdLength, m_boxes.Boxes()[3].Text);
  EXPECT_TRUE(m_status.Texts().empty());
  EXPECT_EQ(4, Stored());
}

TEST_F(DataDialogTest, QueriesShowEveryByteAsTextUpToAZeroOrAsHex) {
  CDlgMgtData dialog(nullptr, m_status.Handle());
  // Typed in lower case: devices register in upper case.
  dialog.DeviceIdEdit()->setText("0000abcd");
  dialog.Query();
  EXPECT_EQ((std::vector<std::string>{kQuerying, kQueryOk}), m_status.Texts());
  EXPECT_EQ((std::vector<std::vector<std::string>>{{"0", "2026/01/02 10:00:00", "0000ABCD", "12"},
                                                    {"1", "2026/01/02 11:00:00", "0000ABCD", "hi\\n"}}),
            Rows(dialog));
  // The Hex box counts from the next query on.
  dialog.HexBox()->setChecked(true);
  EXPECT_EQ("12", Rows(dialog)[0][3]);
  dialog.Query();
  EXPECT_EQ("31320033", Rows(dialog)[0][3]);
  EXPECT_EQ("68690A", Rows(dialog)[1][3]);

  dialog.Clear();
  EXPECT_TRUE(Rows(dialog).empty());
  EXPECT_EQ(4, Stored());
}

TEST_F(DataDialogTest, TheTimeConditionAloneFindsEveryDeviceInTheRange) {
  CDlgMgtData dialog(nullptr, m_status.Handle());
  dialog.DeviceIdBox()->setChecked(false);
  TimeRange(dialog, "2026/01/02 10:30:00", "2026/01/03 00:00:00");
  dialog.HexBox()->setChecked(true);
  dialog.Query();
  EXPECT_EQ((std::vector<std::vector<std::string>>{{"0", "2026/01/02 11:00:00", "0000ABCD", "68690A"},
                                                    {"1", "2026/01/02 12:00:00", "12345678", "FE"}}),
            Rows(dialog));

  // Both conditions together.
  dialog.DeviceIdBox()->setChecked(true);
  dialog.DeviceIdEdit()->setText("12345678");
  TimeRange(dialog, "2026/01/03 00:00:00", "2026/01/03 23:59:59");
  dialog.Query();
  EXPECT_EQ((std::vector<std::vector<std::string>>{{"0", "2026/01/03 09:00:00", "12345678", "00"}}), Rows(dialog));
}

TEST_F(DataDialogTest, AQueryThatFindsNothingEmptiesTheList) {
  CDlgMgtData dialog(nullptr, m_status.Handle());
  dialog.DeviceIdEdit()->setText("0000ABCD");
  dialog.Query();
  ASSERT_EQ(2u, Rows(dialog).size());
  m_status.Forget();
  dialog.DeviceIdEdit()->setText("FFFFFFFF");
  dialog.Query();
  EXPECT_TRUE(Rows(dialog).empty());
  EXPECT_EQ((std::vector<std::string>{kQuerying, kNothing}), m_status.Texts());
}

TEST_F(DataDialogTest, DeleteTakesTheConditionAndDeleteAllEverythingWithoutAsking) {
  CDlgMgtData dialog(nullptr, m_status.Handle());
  dialog.DeviceIdEdit()->setText("12345678");
  dialog.Query();
  m_status.Forget();
  dialog.Delete();
  EXPECT_EQ(std::vector<std::string>{kDeleted}, m_status.Texts());
  EXPECT_EQ(0, Stored("12345678"));
  EXPECT_EQ(2, Stored("0000ABCD"));
  // The list is not changed by deleting.
  EXPECT_EQ(2u, Rows(dialog).size());

  dialog.DeleteAll();
  EXPECT_EQ((std::vector<std::string>{kDeleted, kDeleted}), m_status.Texts());
  EXPECT_EQ(0, Stored());
  EXPECT_TRUE(m_boxes.Boxes().empty());
}

TEST_F(DataDialogTest, MoreMatchesThanTheBoundShowTheFirstAndSaySo) {
  CDlgMgtData dialog(nullptr, m_status.Handle(), 2);
  dialog.DeviceIdBox()->setChecked(false);
  TimeRange(dialog, "2026/01/01 00:00:00", "2026/12/31 23:59:59");
  dialog.Query();
  EXPECT_EQ(2u, Rows(dialog).size());
  EXPECT_EQ((std::vector<std::string>{kQuerying, "查询成功，仅显示前2条，另有更多符合条件的数据"}), m_status.Texts());

  // Exactly the bound is no more.
  dialog.DeviceIdBox()->setChecked(true);
  dialog.DeviceIdEdit()->setText("0000ABCD");
  m_status.Forget();
  dialog.Query();
  EXPECT_EQ((std::vector<std::string>{kQuerying, kQueryOk}), m_status.Texts());
}

}  // namespace
