#include "ui/CDlgMgtData.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>
#include <vector>

#include "model/NotTransRecord.h"
#include "model/TunnelFields.h"
#include "platform/Notice.h"
#include "platform/WriteDebugLine.h"
#include "resources/CResourceStrings.h"
#include "resources/ListColumns.h"
#include "resources/ResourceIds.h"
#include "ui/CLimitEdit.h"
#include "ui/CMessageBoxCustom.h"
#include "ui/CNotTransResultModel.h"
#include "ui/CsvFile.h"
#include "ui/ResourceText.h"
#include "ui/StatusText.h"

namespace {

const QString kTimeFormat = QStringLiteral("yyyy/MM/dd HH:mm:ss");


}  // namespace

CDlgMgtData::CDlgMgtData(QWidget* parent, TargetHandle mainWindow, std::size_t maxShownRecords)
    : QDialog(parent), m_mainWindow(mainWindow), m_maxShownRecords(maxShownRecords),
      m_results(new CNotTransResultModel(this)) {
  m_store.OpenDatabase(DATABASE_FILE_NAME);
  BuildWindow();
}

void CDlgMgtData::BuildWindow() {
  setWindowTitle(DialogText(IDD_MGT_DATA, IDC_CAPTION));
  auto button = [this](unsigned id) { return new QPushButton(DialogText(IDD_MGT_DATA, id), this); };
  QPushButton* query = button(IDC_DATA_QUERY);
  QPushButton* remove = button(IDC_DATA_DELETE);
  QPushButton* removeAll = button(IDC_DATA_DELETE_ALL);
  QPushButton* clear = button(IDC_DATA_CLEAR);
  connect(query, &QPushButton::clicked, this, &CDlgMgtData::Query);
  connect(remove, &QPushButton::clicked, this, &CDlgMgtData::Delete);
  connect(removeAll, &QPushButton::clicked, this, &CDlgMgtData::DeleteAll);
  connect(clear, &QPushButton::clicked, this, &CDlgMgtData::Clear);

  auto* actions = new QGroupBox(DialogText(IDD_MGT_DATA, IDC_DATA_GROUP_ACTIONS), this);
  auto* actionsLayout = new QGridLayout(actions);
  actionsLayout->addWidget(query, 0, 0);
  actionsLayout->addWidget(remove, 0, 1);
  actionsLayout->addWidget(removeAll, 1, 0);
  actionsLayout->addWidget(clear, 1, 1);
  auto* exportButton = new QPushButton(QText(IDS_EXPORT_CSV), this);
  connect(exportButton, &QPushButton::clicked, this, &CDlgMgtData::Export);
  actionsLayout->addWidget(exportButton, 2, 0, 1, 2);

  m_useDeviceId = new QCheckBox(DialogText(IDD_MGT_DATA, IDC_DATA_USE_DEVICE_ID), this);
  m_useDeviceId->setChecked(true);
  m_deviceId = new CLimitEdit(this);
  m_deviceId->ResetToDigits();
  m_deviceId->AddCharRange('a', 'f');
  m_deviceId->AddCharRange('A', 'F');
  m_deviceId->setMaxLength(8);
  m_useTime = new QCheckBox(QText(IDS_TIME_RANGE), this);
  m_startTime = new QDateTimeEdit(QDateTime(QDate::currentDate(), QTime(0, 0, 0)), this);
  m_endTime = new QDateTimeEdit(QDateTime(QDate::currentDate(), QTime(23, 59, 59)), this);
  for (QDateTimeEdit* picker : {m_startTime, m_endTime}) {
    picker->setDisplayFormat(kTimeFormat);
    picker->setCalendarPopup(true);
    // Room for the whole time beside the popup's arrow.
    picker->setMinimumWidth(picker->fontMetrics().horizontalAdvance(QStringLiteral("0000/00/00 00:00:00")) + 48);
  }
  m_hex = new QCheckBox(DialogText(IDD_MGT_DATA, IDC_DATA_HEX), this);
  connect(m_hex, &QCheckBox::toggled, m_results, &CNotTransResultModel::SetHex);
  m_direction = new QComboBox(this);
  m_direction->addItems({QStringLiteral("Tcp  -> Com"), QStringLiteral("Com  -> Tcp"), QStringLiteral("Tcp <-> Com")});
  m_direction->setCurrentIndex(2);
  auto* directionLabel = new QLabel(DialogText(IDD_MGT_DATA, IDC_DATA_LABEL_DIRECTION), this);
  connect(m_useDeviceId, &QCheckBox::toggled, this, &CDlgMgtData::UpdateEnabled);
  connect(m_useTime, &QCheckBox::toggled, this, &CDlgMgtData::UpdateEnabled);

  auto* condition = new QGroupBox(DialogText(IDD_MGT_DATA, IDC_DATA_GROUP_CONDITION), this);
  auto* conditionLayout = new QGridLayout(condition);
  conditionLayout->addWidget(m_useDeviceId, 0, 0);
  conditionLayout->addWidget(m_deviceId, 0, 1);
  conditionLayout->addWidget(m_useTime, 1, 0);
  conditionLayout->addWidget(new QLabel(DialogText(IDD_MGT_DATA, IDC_DATA_LABEL_START_TIME), condition), 1, 1, Qt::AlignRight);
  conditionLayout->addWidget(m_startTime, 1, 2);
  conditionLayout->addWidget(new QLabel(DialogText(IDD_MGT_DATA, IDC_DATA_LABEL_END_TIME), condition), 2, 1, Qt::AlignRight);
  conditionLayout->addWidget(m_endTime, 2, 2);
  conditionLayout->addWidget(m_hex, 0, 2);
  conditionLayout->addWidget(directionLabel, 3, 0);
  conditionLayout->addWidget(m_direction, 3, 1);
  directionLabel->hide();
  m_direction->hide();

  m_resultsView = new QTableView(this);
  m_resultsView->setModel(m_results);
  m_resultsView->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_resultsView->setShowGrid(true);
  m_resultsView->verticalHeader()->hide();
  m_resultsView->setStyleSheet(QStringLiteral("QTableView { background-color: rgb(249, 253, 232); }"));
  const auto columns = ListColumns(IDD_MGT_DATA, IDC_DATA_RESULTS);
  for (std::size_t i = 0; i < columns.size(); ++i)
    m_resultsView->setColumnWidth(static_cast<int>(i), columns[i].width);
  m_resultsView->horizontalHeader()->setStretchLastSection(true);

  // Paging that was never wired: there, but hidden.
  auto* paging = new QHBoxLayout;
  auto* pageSizeLabel = new QLabel(DialogText(IDD_MGT_DATA, IDC_DATA_LABEL_PAGE_SIZE), this);
  auto* pageSize = new QComboBox(this);
  pageSize->addItems({QStringLiteral("200"), QStringLiteral("500"), QStringLiteral("1000"), QStringLiteral("5000")});
  pageSize->setCurrentIndex(0);
  paging->addWidget(pageSizeLabel);
  paging->addWidget(pageSize);
  pageSizeLabel->hide();
  pageSize->hide();
  for (unsigned id : {IDC_DATA_FIRST_PAGE, IDC_DATA_PREVIOUS_PAGE, IDC_DATA_NEXT_PAGE, IDC_DATA_LAST_PAGE}) {
    QPushButton* page = button(id);
    paging->addWidget(page);
    page->hide();
  }

  auto* results = new QGroupBox(DialogText(IDD_MGT_DATA, IDC_DATA_GROUP_RESULTS), this);
  auto* resultsLayout = new QVBoxLayout(results);
  resultsLayout->addWidget(m_resultsView);
  resultsLayout->addLayout(paging);

  auto* top = new QHBoxLayout;
  top->addWidget(condition, 1);
  top->addWidget(actions);
  m_message = new QLabel(this);
  m_message->setWordWrap(true);
  m_message->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(results, 1);
  layout->addWidget(m_message);
  resize(720, 520);
  UpdateEnabled();
}

void CDlgMgtData::UpdateEnabled() {
  m_deviceId->setEnabled(m_useDeviceId->isChecked());
  m_direction->setEnabled(m_useDeviceId->isChecked());
  m_startTime->setEnabled(m_useTime->isChecked());
  m_endTime->setEnabled(m_useTime->isChecked());
}

std::optional<NotTransFilter> CDlgMgtData::Condition() {
  NotTransFilter filter;
  if (m_useDeviceId->isChecked()) {
    // Stored IDs are upper case and compared byte-wise: a typed "0000abcd" means 0000ABCD.
    const std::optional<std::string> id = DeviceIdField(m_deviceId->text().toStdString());
    if (!id) {
      CustomMessageBox(this, Text(IDS_DEVICE_ID_LENGTH), "", 0);
      return std::nullopt;
    }
    filter.DeviceId = *id;
  }
  if (m_useTime->isChecked()) {
    if (m_startTime->dateTime() > m_endTime->dateTime()) {
      Tell(Text(IDS_START_LATER_THAN_END));
      CustomMessageBox(this, Text(IDS_START_LATER_THAN_END), "", 0);
      m_startTime->setFocus();
      return std::nullopt;
    }
    filter.StartTime = m_startTime->dateTime().toString(kTimeFormat).toStdString();
    filter.EndTime = m_endTime->dateTime().toString(kTimeFormat).toStdString();
  }
  if (!m_useDeviceId->isChecked() && !m_useTime->isChecked()) {
    CustomMessageBox(this, Text(IDS_NO_CONDITION), "", 0);
    return std::nullopt;
  }
  return filter;
}

QString CDlgMgtData::Message() const { return m_message->text(); }

void CDlgMgtData::Tell(const std::string& text) {
  m_message->setText(QString::fromStdString(text));
  SendStatusText(m_mainWindow, 0, text);
}

std::int64_t CDlgMgtData::Count(const NotTransFilter& filter) {
  // Empty values in place of the data: only the matches are counted, no record is read.
  const SqlCondition condition = m_store.BuildNotTransCondition(filter);
  return m_store.QueryNotTransDataSql(
      "select '' as DeviceID, x'' as ReceiveData, '' as ReceiveTime from NotTransData" +
          (condition.Text.empty() ? std::string() : " where " + condition.Text) + ";",
      condition.Values, [](const NotTransRecord&) { return true; });
}

std::string CDlgMgtData::ShowRecords(const NotTransFilter& filter) {
  std::vector<NotTransRecord> records;
  bool moreMatched = false;
  const std::int64_t count = m_store.QueryNotTransData(filter, records, m_maxShownRecords, &moreMatched);
  m_shown = filter;
  if (count < 0) {
    WriteDebugLine("[ERROR]", "CDlgMgtData: query failed: %s\n", m_store.LastFailureText().c_str());
    m_results->Clear();
    m_shown.reset();
    return Text(IDS_QUERY_FAILED) + "\n" + m_store.LastFailureText();
  }
  if (count == 0) {
    m_results->Clear();
    return Text(IDS_QUERY_NOTHING);
  }
  m_results->SetRecords(records);
  if (moreMatched) return Filled(Text(IDS_QUERY_MORE_MATCHED), {std::to_string(count)});
  return Filled(Text(IDS_QUERY_COUNT), {std::to_string(count)});
}

void CDlgMgtData::Query() {
  const std::optional<NotTransFilter> filter = Condition();
  if (!filter) return;
  Tell(Text(IDS_QUERYING));
  Tell(ShowRecords(*filter));
}

void CDlgMgtData::Delete() {
  const std::optional<NotTransFilter> filter = Condition();
  if (!filter) return;
  const std::int64_t matching = Count(*filter);
  if (matching == 0) {
    Tell(Text(IDS_DELETE_NOTHING));
    return;
  }
  // Unknown (the store cannot be read): the delete itself tells why it fails.
  if (matching > 0 &&
      CustomMessageBox(this, Filled(Text(IDS_CONFIRM_DELETE_DATA), {std::to_string(matching)}), Text(IDS_WARNING),
                       4) != IDYES)
    return;
  if (m_store.DeleteNotTransData(*filter) != 1) {
    WriteDebugLine("[ERROR]", "CDlgMgtData: delete failed: %s\n", m_store.LastFailureText().c_str());
    Tell(Text(IDS_DELETE_FAILED) + "\n" + m_store.LastFailureText());
    return;
  }
  const std::int64_t deleted = m_store.ChangedRows();
  if (m_shown) ShowRecords(*m_shown);
  Tell(deleted > 0 ? Filled(Text(IDS_DELETED_COUNT), {std::to_string(deleted)}) : Text(IDS_DELETE_NOTHING));
}

void CDlgMgtData::DeleteAll() {
  const std::int64_t stored = Count(NotTransFilter{});
  if (stored == 0) {
    Tell(Text(IDS_DELETE_NOTHING));
    return;
  }
  if (stored > 0 &&
      CustomMessageBox(this, Filled(Text(IDS_CONFIRM_DELETE_ALL_DATA), {std::to_string(stored)}), Text(IDS_WARNING),
                       4) != IDYES)
    return;
  if (m_store.DeleteAllNotTransData() != 1) {
    WriteDebugLine("[ERROR]", "CDlgMgtData: delete all failed: %s\n", m_store.LastFailureText().c_str());
    Tell(Text(IDS_DELETE_FAILED) + "\n" + m_store.LastFailureText());
    return;
  }
  const std::int64_t deleted = m_store.ChangedRows();
  m_results->Clear();
  m_shown.reset();
  Tell(Filled(Text(IDS_DELETED_COUNT), {std::to_string(deleted)}));
}

void CDlgMgtData::Clear() {
  m_results->Clear();
  m_shown.reset();
}

void CDlgMgtData::Export() {
  if (m_results->rowCount() == 0) {
    Tell(Text(IDS_NOTHING_TO_EXPORT));
    return;
  }
  const QString path = QFileDialog::getSaveFileName(this, QText(IDS_EXPORT_CSV), QStringLiteral("nottrans.csv"),
                                                    QStringLiteral("CSV (*.csv)"));
  if (!path.isEmpty()) ExportTo(path);
}

bool CDlgMgtData::ExportTo(const QString& path) {
  if (m_results->rowCount() == 0) {
    Tell(Text(IDS_NOTHING_TO_EXPORT));
    return false;
  }
  const QString failure = WriteCsvFile(path, CNotTransResultModel::CsvHeader(), m_results->CsvRows());
  if (!failure.isEmpty()) {
    Tell(Filled(Text(IDS_WRITE_FAILED), {path.toStdString(), failure.toStdString()}));
    return false;
  }
  Tell(Filled(Text(IDS_EXPORTED), {std::to_string(m_results->rowCount()), path.toStdString()}));
  return true;
}
