#include <QAbstractItemModel>
#include <QComboBox>
#include <QLineEdit>
#include <QItemSelectionModel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>

#include "DevicesFixture.h"
#include "SerialFixture.h"
#include "platform/CNullModemPair.h"
#include "resources/ResourceIds.h"
#include "ui/CDlgAddModifyDevice.h"
#include "ui/CDlgMgtDevice.h"
#include "ui/CLimitEdit.h"
#include "ui/CTunnelListModel.h"
#include "ui/ResourceText.h"

namespace {

class DeviceDialogsTest : public DevicesFixture {
 protected:
  void SetUp() override {
    DevicesFixture::SetUp();
    // Ports of this computer as the editor finds them.
    m_portDir.Write("COM3", "");
    m_portDir.Write("COM4", "");
    m_portDir.Write("COM4_FF", "");
  }

  // Types the tunnel into the editor (the ID field as a paste would fill it) and presses OK.
  static void Enter(CDlgAddModifyDevice& editor, const std::string& id, const std::string& port,
                    const std::string& baud = "115200", const std::string& note = "") {
    if (editor.IdField()->isEnabled()) editor.IdField()->setText(QString::fromStdString(id));
    editor.PortList()->setCurrentIndex(editor.PortList()->findText(QString::fromStdString(port)));
    editor.BaudRateList()->setCurrentIndex(editor.BaudRateList()->findText(QString::fromStdString(baud)));
    editor.NoteField()->setPlainText(QString::fromStdString(note));
    editor.OkButton()->click();
  }

  static const TunnelInfo* Find(const std::vector<TunnelInfo>& tunnels, const std::string& id) {
    for (const TunnelInfo& tunnel : tunnels)
      if (tunnel.DeviceID == id) return &tunnel;
    return nullptr;
  }

  std::string LastBox() const { return m_answerer.Boxes().empty() ? "" : m_answerer.Boxes().back().Text; }
};

TEST_F(DeviceDialogsTest, RefusedIdsStoreNothing) {
  Configure({"0000000A", "COM3", "9600", "8", "1", "None", ""});
  CDlgMgtDevice dialog(nullptr, m_mainWindow.Handle());
  dialog.show();
  dialog.OnAdd();
  CDlgAddModifyDevice& editor = dialog.Editor();
  struct Case {
    const char* id;
    std::string message;
  } cases[] = {
      {"1234567", Str(IDS_DEVICE_ID_LENGTH)},
      {"GHIJKLMN", editor.IdField()->RejectionMessage()},
      {"0000000A", Str(IDS_DEVICE_EXISTS)},
      // Devices register in upper case: both spellings would name one device.
      {"0000000a", Str(IDS_DEVICE_EXISTS)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    m_answerer.Forget();
    Enter(editor, c.id, "COM4");
    ASSERT_EQ(m_answerer.Boxes().size(), 1u);
    EXPECT_EQ(LastBox(), c.message);
    EXPECT_EQ(Stored().size(), 1u);
    EXPECT_EQ(CTunnelTable::Instance().Count(), 1u);
  }
  EXPECT_TRUE(Status().empty());
}

TEST_F(DeviceDialogsTest, AddStoresInUpperCaseTellsTheListAndStaysOpen) {
  CDlgMgtDevice dialog(nullptr, m_mainWindow.Handle());
  dialog.show();
  dialog.OnAdd();
  CDlgAddModifyDevice& editor = dialog.Editor();
  EXPECT_EQ(editor.windowTitle().toStdString(), Str(IDS_ADD_DEVICE));
  // This computer's own UARTs come with the port directory's entries, in number order.
  EXPECT_EQ(editor.PortList()->currentIndex(), 0);
  EXPECT_LT(editor.PortList()->findText("COM3"), editor.PortList()->findText("COM4"));
  EXPECT_EQ(editor.PortList()->findText("COM4_FF"), -1);
  EXPECT_EQ(editor.BaudRateList()->currentText(), "115200");
  Enter(editor, "00abcdef", "COM4", "9600", "meter 'east'");

  const std::vector<TunnelInfo> stored = Stored();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].DeviceID, "00ABCDEF");
  EXPECT_EQ(stored[0].SerialNo, "COM4");
  EXPECT_EQ(stored[0].BaudRate, "9600");
  EXPECT_EQ(stored[0].Note, "meter 'east'");
  EXPECT_TRUE(CTunnelTable::Instance().Contains("00ABCDEF"));
  EXPECT_EQ(Status(), std::vector<std::string>{Str(IDS_ADD_SUCCEEDED)});
  EXPECT_EQ(dialog.Model().rowCount(), 1);
  EXPECT_TRUE(editor.isVisible());
  EXPECT_TRUE(m_answerer.Boxes().empty());
}

TEST_F(DeviceDialogsTest, SamePortRuleAsksAndYesChangesTheOtherDevice) {
  Configure({"00000001", "COM3", "9600", "8", "1", "None", "first"});
  CDlgMgtDevice dialog(nullptr, m_mainWindow.Handle());
  dialog.show();
  dialog.OnAdd();
  CDlgAddModifyDevice& editor = dialog.Editor();

  m_answerer.Then(IDNO);
  Enter(editor, "00000002", "COM3", "115200");
  ASSERT_EQ(m_answerer.Boxes().size(), 1u);
  EXPECT_EQ(m_answerer.Boxes()[0].Text, Str(IDS_SAME_PORT_WARNING));
  EXPECT_EQ(m_answerer.Boxes()[0].Caption, Str(IDS_WARNING));
  EXPECT_EQ(m_answerer.Boxes()[0].Type, 4);
  EXPECT_EQ(Stored().size(), 1u);
  EXPECT_EQ(CTunnelTable::Instance().Get("00000001").BaudRate, "9600");
  EXPECT_FALSE(CTunnelTable::Instance().Contains("00000002"));
  EXPECT_TRUE(Status().empty());

  m_answerer.Then(IDYES);
  Enter(editor, "00000002", "COM3", "115200");
  std::vector<TunnelInfo> stored = Stored();
  ASSERT_EQ(stored.size(), 2u);
  ASSERT_NE(Find(stored, "00000001"), nullptr);
  EXPECT_EQ(Find(stored, "00000001")->BaudRate, "115200");
  EXPECT_EQ(Find(stored, "00000001")->Note, "first");
  EXPECT_EQ(CTunnelTable::Instance().Get("00000001").BaudRate, "115200");
  EXPECT_TRUE(CTunnelTable::Instance().Contains("00000002"));

  // The same settings as the port's other devices: no question.
  m_answerer.Forget();
  Enter(editor, "00000003", "COM3", "115200");
  EXPECT_TRUE(m_answerer.Boxes().empty());
  EXPECT_EQ(Stored().size(), 3u);
  EXPECT_EQ(dialog.Model().rowCount(), 3);
}

TEST_F(DeviceDialogsTest, ModifyAndDeleteTheSelectedRow) {
  Configure({"00000001", "COM3", "9600", "8", "1", "None", ""});
  Configure({"00000002", "COM4", "9600", "7", "2", "even", "old"});
  CDlgMgtDevice dialog(nullptr, m_mainWindow.Handle());
  dialog.show();
  CDlgAddModifyDevice& editor = dialog.Editor();

  dialog.OnModify();
  EXPECT_EQ(LastBox(), Str(IDS_SELECT_TO_MODIFY));
  EXPECT_FALSE(editor.isVisible());

  dialog.List()->selectRow(1);
  dialog.OnModify();
  EXPECT_EQ(editor.windowTitle().toStdString(), Str(IDS_MODIFY_DEVICE));
  EXPECT_FALSE(editor.IdField()->isEnabled());
  EXPECT_EQ(editor.IdField()->text(), "00000002");
  EXPECT_EQ(editor.DataBitsList()->currentText(), "7");
  EXPECT_EQ(editor.ParityList()->currentText(), "偶");
  EXPECT_EQ(editor.StopBitsList()->currentText(), "2");
  m_answerer.Forget();
  Enter(editor, "", "COM4", "19200", "new");
  EXPECT_TRUE(m_answerer.Boxes().empty()) << "the only device on its port";
  const std::vector<TunnelInfo> stored = Stored();
  ASSERT_NE(Find(stored, "00000002"), nullptr);
  EXPECT_EQ(Find(stored, "00000002")->BaudRate, "19200");
  // Shown in the language in use, stored as the file names it.
  EXPECT_EQ(Find(stored, "00000002")->Parity, "Even");
  for (int row = 0; row < dialog.Model().rowCount(); ++row) {
    if (dialog.Model().index(row, 0).data().toString() == "00000002") {
      EXPECT_EQ(dialog.Model().index(row, 4).data().toString(), "偶");
    }
  }
  EXPECT_EQ(Find(stored, "00000002")->Note, "new");
  EXPECT_EQ(CTunnelTable::Instance().Get("00000002").Note, "new");
  EXPECT_EQ(Status().back(), Str(IDS_MODIFY_SUCCEEDED));
  EXPECT_TRUE(dialog.List()->selectionModel()->selectedRows().isEmpty());

  dialog.OnDelete();
  EXPECT_EQ(LastBox(), Str(IDS_SELECT_TO_DELETE));
  EXPECT_EQ(Stored().size(), 2u);
  // A question first; No keeps the device.
  dialog.List()->selectRow(0);
  dialog.OnDelete();
  EXPECT_EQ(LastBox(), Filled(Str(IDS_CONFIRM_DELETE_DEVICE), {"00000001"}));
  EXPECT_EQ(Stored().size(), 2u);
  EXPECT_TRUE(CTunnelTable::Instance().Contains("00000001"));
  m_answerer.Then(IDYES);
  dialog.List()->selectRow(0);
  dialog.OnDelete();
  ASSERT_EQ(Stored().size(), 1u);
  EXPECT_EQ(Stored()[0].DeviceID, "00000002");
  EXPECT_FALSE(CTunnelTable::Instance().Contains("00000001"));
  EXPECT_EQ(dialog.Model().rowCount(), 1);
  EXPECT_EQ(Status().back(), Str(IDS_DELETE_SUCCEEDED));
}

TEST_F(DeviceDialogsTest, TheListSortsAndSearchesAndActsOnTheRowShown) {
  Configure({"00000001", "COM3", "9600", "8", "1", "None", "boiler house"});
  Configure({"00000002", "COM4", "9600", "8", "1", "None", "pump"});
  Configure({"00000003", "COM5", "9600", "8", "1", "None", "Boiler yard"});
  CDlgMgtDevice dialog(nullptr, m_mainWindow.Handle());
  dialog.show();
  QAbstractItemModel& shown = *dialog.List()->model();
  dialog.List()->sortByColumn(0, Qt::DescendingOrder);
  EXPECT_EQ(shown.index(0, 0).data().toString(), "00000003");
  dialog.SearchEdit()->setText("boiler");
  ASSERT_EQ(shown.rowCount(), 2);
  EXPECT_EQ(shown.index(1, 0).data().toString(), "00000001");

  // Delete acts on the device of the row shown, not on the model's row of that number.
  m_answerer.Then(IDYES);
  dialog.List()->selectRow(1);
  dialog.OnDelete();
  EXPECT_FALSE(CTunnelTable::Instance().Contains("00000001"));
  EXPECT_TRUE(CTunnelTable::Instance().Contains("00000002"));
  EXPECT_EQ(shown.rowCount(), 1);
}

TEST_F(DeviceDialogsTest, TheRunningListFollowsAModifyOnEveryRowOfThePort) {
  CNullModemPair pair;
  ASSERT_TRUE(pair.Create());
  ASSERT_TRUE(pair.Link(m_portDir.Path(), "COM5", "COM5_FF"));
  Configure({"00000001", "COM5", "9600", "8", "1", "None", ""});
  Configure({"00000002", "COM5", "9600", "8", "1", "None", ""});
  Configure({"00000003", "COM3", "9600", "8", "1", "None", ""});
  m_simulation.StartService();
  ASSERT_TRUE(PumpUntil([&] { return m_simulation.Accepting(); })) << m_simulation.LastStartFailure();
  CDeviceList& list = m_simulation.DeviceList();
  ASSERT_TRUE(PumpUntil([&] { return list.Row(0).PortState == DeviceRow::Port::Open; }));

  CDlgAddModifyDevice editor(nullptr, m_mainWindow.Handle(), m_simulation.Window());
  editor.EditListedDevice(list, -1);
  EXPECT_EQ(LastBox(), Str(IDS_SELECT_TO_MODIFY));

  editor.EditListedDevice(list, 0);
  EXPECT_EQ(editor.EditorMode(), CDlgAddModifyDevice::ModifyMode);
  EXPECT_EQ(editor.IdField()->text(), "00000001");
  m_answerer.Then(IDYES);
  Enter(editor, "", "COM5", "19200");
  EXPECT_EQ(LastBox(), Str(IDS_SAME_PORT_WARNING));
  EXPECT_EQ(list.Row(0).BaudRate, "19200");
  EXPECT_EQ(list.Row(1).BaudRate, "19200");
  EXPECT_EQ(list.Row(2).BaudRate, "9600");
  EXPECT_EQ(CTunnelTable::Instance().Get("00000002").BaudRate, "19200");
  // The port is opened again with the new settings.
  ASSERT_TRUE(PumpUntil([&] { return list.Row(1).PortState == DeviceRow::Port::Open; }));
  for (const TunnelInfo& tunnel : Stored())
    EXPECT_EQ(tunnel.BaudRate, tunnel.SerialNo == "COM5" ? "19200" : "9600") << tunnel.DeviceID;
}

TEST_F(DeviceDialogsTest, TheEditorShowsAndStoresTheBindingAndDeleteRemovesIt) {
  Configure({"0000000A", "COM3", "9600", "8", "1", "None", ""});
  const TunnelBinding bound{"0000000A", "555", "10.0.0.0/8"};
  Bind(bound);
  CDlgMgtDevice dialog(nullptr, m_mainWindow.Handle());
  dialog.show();
  CDlgAddModifyDevice& editor = dialog.Editor();
  dialog.List()->selectRow(0);
  dialog.OnModify();
  EXPECT_EQ(editor.PhoneEdit()->text(), "555");
  EXPECT_EQ(editor.NetworksEdit()->text(), "10.0.0.0/8");

  // Refused as the command line refuses them: nothing changes.
  struct Case {
    const char* phone;
    const char* networks;
    std::string message;
  } cases[] = {
      {"555", "10.0.0.0/8,10.0.0.256", Filled(Str(IDS_NETWORKS_INVALID), {"10.0.0.256"})},
      {"555", "10.0.0.1/8", Filled(Str(IDS_NETWORKS_INVALID), {"10.0.0.1/8"})},
      {"555", "10.0.0.0/8,", Filled(Str(IDS_NETWORKS_INVALID), {""})},
      {"138 0013", "", Str(IDS_PHONE_INVALID)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.phone) + " " + c.networks);
    m_answerer.Forget();
    editor.PhoneEdit()->setText(c.phone);
    editor.NetworksEdit()->setText(c.networks);
    Enter(editor, "", "COM3", "9600");
    ASSERT_EQ(m_answerer.Boxes().size(), 1u);
    EXPECT_EQ(LastBox(), c.message);
    EXPECT_EQ(StoredBindings(), std::vector<TunnelBinding>{bound});
    EXPECT_EQ(CTunnelTable::Instance().GetBinding("0000000A"), bound);
  }

  m_answerer.Forget();
  editor.PhoneEdit()->setText(" 777 ");
  editor.NetworksEdit()->setText("192.168.1.7, 10.0.0.0/8");
  Enter(editor, "", "COM3", "9600");
  EXPECT_TRUE(m_answerer.Boxes().empty());
  const TunnelBinding changed{"0000000A", "777", "192.168.1.7/32,10.0.0.0/8"};
  EXPECT_EQ(StoredBindings(), std::vector<TunnelBinding>{changed});
  EXPECT_EQ(CTunnelTable::Instance().GetBinding("0000000A"), changed);
  EXPECT_EQ(editor.NetworksEdit()->text().toStdString(), changed.Networks) << "shown as stored";

  editor.PhoneEdit()->clear();
  editor.NetworksEdit()->clear();
  Enter(editor, "", "COM3", "9600");
  EXPECT_TRUE(StoredBindings().empty());
  EXPECT_FALSE(CTunnelTable::Instance().GetBinding("0000000A"));

  // A new tunnel with a binding; deleting the tunnel deletes the binding.
  dialog.OnAdd();
  editor.PhoneEdit()->setText("888");
  editor.NetworksEdit()->setText("");
  Enter(editor, "0000000b", "COM4");
  EXPECT_EQ(StoredBindings(), (std::vector<TunnelBinding>{{"0000000B", "888", ""}}));
  m_answerer.Then(IDYES);
  dialog.List()->selectRow(1);
  dialog.OnDelete();
  EXPECT_EQ(Status().back(), Str(IDS_DELETE_SUCCEEDED));
  EXPECT_TRUE(StoredBindings().empty());
  EXPECT_FALSE(CTunnelTable::Instance().GetBinding("0000000B"));
}

}  // namespace
