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
#include "TempDir.h"
#include "storage/CAccessInterface.h"
#include "ui/CDlgMgtData.h"
#include "ui/CLimitEdit.h"
#include "ui/CNotTransResultModel.h"

namespace {

const std::string kNoCondition = "请输入查询/删除条件！";
const std::string kIdLength = "请输入长度为8的设备ID!";
const std::string kQuerying = "查询中，请稍等....";
const std::string kNothing = "未查询到符合条件的数据";
const std::string kDeleteNothing = "没有符合条件的存储数据，未删除任何记录";

std::string Found(int count) { return "查询到 " + std::to_string(count) + " 条记录"; }
std::string Deleted(int count) { return "已删除 " + std::to_string(count) + " 条记录"; }

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
  EXPECT_EQ((std::vector<std::string>{"查询", "删除", "删除全部", "清空", "导出CSV..."}), shown);
  EXPECT_EQ("时间范围", dialog.TimeBox()->text().toStdString());
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
  EXPECT_EQ((std::vector<std::string>{kQuerying, Found(2)}), m_status.Texts());
  EXPECT_EQ(Found(2), dialog.Message().toStdString());
  EXPECT_EQ((std::vector<std::vector<std::string>>{{"0", "2026/01/02 10:00:00", "0000ABCD", "12"},
                                                    {"1", "2026/01/02 11:00:00", "0000ABCD", "hi\\n"}}),
            Rows(dialog));
  // The Hex box redraws at once, and back.
  dialog.HexBox()->setChecked(true);
  EXPECT_EQ("31 32 00 33", Rows(dialog)[0][3]);
  EXPECT_EQ("68 69 0A", Rows(dialog)[1][3]);
  dialog.HexBox()->setChecked(false);
  EXPECT_EQ("12", Rows(dialog)[0][3]);

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
  EXPECT_EQ((std::vector<std::vector<std::string>>{{"0", "2026/01/02 11:00:00", "0000ABCD", "68 69 0A"},
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

TEST_F(DataDialogTest, DeleteAsksWithTheCountAndTheListFollows) {
  CDlgMgtData dialog(nullptr, m_status.Handle());
  dialog.DeviceIdEdit()->setText("12345678");
  dialog.Query();
  ASSERT_EQ(2u, Rows(dialog).size());
  m_status.Forget();

  // No: nothing goes.
  dialog.Delete();
  ASSERT_EQ(1u, m_boxes.Boxes().size());
  EXPECT_EQ("删除符合条件的 2 条存储数据？", m_boxes.Boxes()[0].Text);
  EXPECT_EQ(4, Stored());
  EXPECT_EQ(2u, Rows(dialog).size());

  m_boxes.Then(IDYES);
  dialog.Delete();
  EXPECT_EQ(0, Stored("12345678"));
  EXPECT_EQ(2, Stored("0000ABCD"));
  EXPECT_TRUE(Rows(dialog).empty());
  EXPECT_EQ(Deleted(2), dialog.Message().toStdString());
  EXPECT_EQ(Deleted(2), m_status.Texts().back());

  // Nothing matches now: said so, without a question.
  dialog.Delete();
  EXPECT_EQ(2u, m_boxes.Boxes().size());
  EXPECT_EQ(kDeleteNothing, dialog.Message().toStdString());

  dialog.DeleteAll();
  ASSERT_EQ(3u, m_boxes.Boxes().size());
  EXPECT_EQ("删除全部 2 条存储数据？", m_boxes.Boxes()[2].Text);
  EXPECT_EQ(2, Stored());
  m_boxes.Then(IDYES);
  dialog.DeleteAll();
  EXPECT_EQ(0, Stored());
  EXPECT_EQ(Deleted(2), dialog.Message().toStdString());
  dialog.DeleteAll();
  EXPECT_EQ(kDeleteNothing, dialog.Message().toStdString());
  EXPECT_EQ(4u, m_boxes.Boxes().size());
}

TEST_F(DataDialogTest, AStartLaterThanTheEndIsRefused) {
  CDlgMgtData dialog(nullptr, m_status.Handle());
  dialog.DeviceIdBox()->setChecked(false);
  TimeRange(dialog, "2026/01/03 00:00:00", "2026/01/02 00:00:00");
  dialog.Query();
  dialog.Delete();
  ASSERT_EQ(2u, m_boxes.Boxes().size());
  EXPECT_EQ("开始时间晚于结束时间，请重新选择", m_boxes.Boxes()[0].Text);
  EXPECT_EQ("开始时间晚于结束时间，请重新选择", dialog.Message().toStdString());
  EXPECT_TRUE(Rows(dialog).empty());
  EXPECT_EQ(4, Stored());
}

TEST_F(DataDialogTest, ExportWritesTheShownRecordsAsCsv) {
  TempDir dir;
  CDlgMgtData dialog(nullptr, m_status.Handle());
  EXPECT_FALSE(dialog.ExportTo(QString::fromStdString(dir.File("none.csv"))));
  EXPECT_EQ("没有可导出的记录，请先查询", dialog.Message().toStdString());

  dialog.DeviceIdEdit()->setText("0000ABCD");
  dialog.Query();
  ASSERT_TRUE(dialog.ExportTo(QString::fromStdString(dir.File("out.csv"))));
  EXPECT_EQ("\xEF\xBB\xBF"
            "时间,设备ID,十六进制,文本\r\n"
            "2026/01/02 10:00:00,0000ABCD,31 32 00 33,12\r\n"
            "2026/01/02 11:00:00,0000ABCD,68 69 0A,hi\\n\r\n",
            dir.Read("out.csv"));
  EXPECT_EQ("已导出 2 条记录到 " + dir.File("out.csv"), dialog.Message().toStdString());

  // A place that cannot be written is told with its reason; nothing else changes.
  EXPECT_FALSE(dialog.ExportTo(QString::fromStdString(dir.File("missing/out.csv"))));
  EXPECT_NE(std::string::npos, dialog.Message().toStdString().find("无法写入 " + dir.File("missing/out.csv")));
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
  EXPECT_EQ((std::vector<std::string>{kQuerying, Found(2)}), m_status.Texts());
}

}  // namespace
