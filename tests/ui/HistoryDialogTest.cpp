#include <QLineEdit>
#include <QTableWidget>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "../storage/SqliteFile.h"
#include "TestAppDirectory.h"
#include "storage/CAccessInterface.h"
#include "ui/CDlgHistory.h"

namespace {

// Three events of device 0000ABCD and one of another device, in the test's Info.db.
class HistoryDialogTest : public ::testing::Test {
 protected:
  HistoryDialogTest() {
    CAccessInterface store;
    store.OpenDatabase(DATABASE_FILE_NAME);
    SqliteFile(TestAppDirectory().Path() + "/" + DATABASE_FILE_NAME).Exec("delete from DeviceEvents");
    store.SaveDeviceEvents({{"2026/01/02 10:00:00", "0000ABCD", "registered", "203.0.113.9:40112", "phone", ""},
                            {"2026/01/02 11:00:00", "0000ABCD", "offline", "203.0.113.9:40112", "ended", ""},
                            {"2026/01/02 11:30:00", "12345678", "unconfigured", "198.51.100.7:5000", "", ""},
                            {"2026/01/02 12:00:00", "0000ABCD", "registered", "203.0.113.10:40200", "phone", ""}});
  }

  static std::vector<std::string> Column(const CDlgHistory& dialog, int column) {
    std::vector<std::string> cells;
    for (int row = 0; row < dialog.Table()->rowCount(); ++row)
      cells.push_back(dialog.Table()->item(row, column)->text().toStdString());
    return cells;
  }
};

}  // namespace

TEST_F(HistoryDialogTest, ShowsOneDevicesLatestEventsOrEveryDevicesAndSaysWhatItLeftOut) {
  // Deletes itself only when closed, which this test never does.
  auto dialog = std::make_unique<CDlgHistory>(nullptr, "0000ABCD", 2);
  EXPECT_EQ(Column(*dialog, 0), (std::vector<std::string>{"2026/01/02 11:00:00", "2026/01/02 12:00:00"}));
  EXPECT_EQ(Column(*dialog, 3), (std::vector<std::string>{"203.0.113.9:40112", "203.0.113.10:40200"}));
  EXPECT_NE(dialog->Message().toStdString().find("2"), std::string::npos);

  struct Case {
    const char* typed;
    std::vector<std::string> events;
  };
  for (const Case& row : std::vector<Case>{{"12345678", {"unconfigured"}}, {"", {"unconfigured", "registered"}}}) {
    SCOPED_TRACE(row.typed);
    dialog->DeviceEdit()->setText(row.typed);
    dialog->Refresh();
    EXPECT_EQ(Column(*dialog, 2), row.events);
  }
  dialog->DeviceEdit()->setText("12G");
  dialog->Refresh();
  EXPECT_EQ(dialog->Table()->rowCount(), 0);
  EXPECT_NE(dialog->Message().toStdString().find("8 hexadecimal digits"), std::string::npos)
      << dialog->Message().toStdString();
}
