#include "ui/CDlgMgtDevice.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QVBoxLayout>

#include "core/CTunnelTable.h"
#include "model/WindowMessages.h"
#include "platform/Notice.h"
#include "resources/CResourceStrings.h"
#include "resources/ListColumns.h"
#include "resources/ResourceIds.h"
#include "service/TunnelSaving.h"
#include "storage/CAccessInterface.h"
#include "storage/CStoreTransaction.h"
#include "ui/CDlgAddModifyDevice.h"
#include "ui/CMessageBoxCustom.h"
#include "ui/ResourceText.h"
#include "ui/StatusText.h"
#include "ui/CTunnelListModel.h"

CDlgMgtDevice::CDlgMgtDevice(QWidget* parent, TargetHandle mainWindow)
    : QDialog(parent), m_mainWindow(mainWindow),
      m_target([this](unsigned message, WPARAM wParam, LPARAM) {
        return message == WM_DEVICE_EDITED ? OnDeviceEdited(wParam) : 0;
      }),
      m_model(new CTunnelListModel(this)), m_filter(new QSortFilterProxyModel(this)), m_search(new QLineEdit(this)),
      m_list(new QTableView(this)),
      m_add(new QPushButton(DialogText(IDD_MGT_DEVICE, IDC_MGT_DEVICE_ADD), this)),
      m_modify(new QPushButton(DialogText(IDD_MGT_DEVICE, IDC_MGT_DEVICE_MODIFY), this)),
      m_delete(new QPushButton(DialogText(IDD_MGT_DEVICE, IDC_MGT_DEVICE_DELETE), this)),
      m_editor(new CDlgAddModifyDevice(this, mainWindow)) {
  setWindowTitle(DialogText(IDD_MGT_DEVICE, IDC_CAPTION));
  m_filter->setSourceModel(m_model);
  m_filter->setFilterKeyColumn(-1);
  m_filter->setFilterCaseSensitivity(Qt::CaseInsensitive);
  m_filter->setSortCaseSensitivity(Qt::CaseInsensitive);
  m_list->setModel(m_filter);
  m_list->setSortingEnabled(true);
  m_list->sortByColumn(0, Qt::AscendingOrder);
  m_search->setPlaceholderText(QText(IDS_SEARCH_HINT));
  m_search->setClearButtonEnabled(true);
  connect(m_search, &QLineEdit::textChanged, m_filter, &QSortFilterProxyModel::setFilterFixedString);
  m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_list->setSelectionMode(QAbstractItemView::SingleSelection);
  m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
  m_list->setShowGrid(true);
  m_list->verticalHeader()->hide();
  m_list->verticalHeader()->setDefaultSectionSize(m_list->fontMetrics().height() + 6);
  m_list->setStyleSheet(QStringLiteral("QTableView { background-color: rgb(249, 253, 232); }"));
  int width = 0;
  const auto columns = ListColumns(IDD_MGT_DEVICE, IDC_MGT_DEVICE_LIST);
  for (std::size_t i = 0; i < columns.size(); ++i) {
    m_list->setColumnWidth(static_cast<int>(i), columns[i].width);
    width += columns[i].width;
  }
  m_list->horizontalHeader()->setStretchLastSection(true);
  m_list->viewport()->installEventFilter(this);
  m_model->Reload();
  m_editor->SetNotifyTarget(m_target.Handle());

  connect(m_add, &QPushButton::clicked, this, &CDlgMgtDevice::OnAdd);
  connect(m_modify, &QPushButton::clicked, this, &CDlgMgtDevice::OnModify);
  connect(m_delete, &QPushButton::clicked, this, &CDlgMgtDevice::OnDelete);
  connect(m_list, &QTableView::doubleClicked, this, &CDlgMgtDevice::OnModify);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(m_add);
  buttons->addWidget(m_modify);
  buttons->addWidget(m_delete);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_search);
  layout->addWidget(m_list);
  layout->addLayout(buttons);
  // The note, last and stretched, gets room for a short description.
  resize(width + 200, 360);
}

CDlgMgtDevice::~CDlgMgtDevice() = default;

int CDlgMgtDevice::SourceRow(int shownRow) const { return m_filter->mapToSource(m_filter->index(shownRow, 0)).row(); }

int CDlgMgtDevice::SelectionMark() const {
  const QModelIndexList rows = m_list->selectionModel()->selectedRows();
  return rows.isEmpty() ? -1 : m_filter->mapToSource(rows.front()).row();
}

void CDlgMgtDevice::ClearSelectionMark() {
  m_list->clearSelection();
  m_list->setCurrentIndex(QModelIndex());
}

bool CDlgMgtDevice::eventFilter(QObject* watched, QEvent* event) {
  // A click beside every row drops the selection, so that Modify and Delete ask for one.
  if (watched == m_list->viewport() && event->type() == QEvent::MouseButtonPress &&
      !m_list->indexAt(static_cast<QMouseEvent*>(event)->position().toPoint()).isValid())
    ClearSelectionMark();
  return QDialog::eventFilter(watched, event);
}

void CDlgMgtDevice::OnAdd() { m_editor->ShowEditor(CDlgAddModifyDevice::AddMode); }

void CDlgMgtDevice::OnModify() {
  m_lastRow = SelectionMark();
  if (m_lastRow < 0) {
    CustomMessageBox(this, Text(IDS_SELECT_TO_MODIFY), "", 0);
    return;
  }
  m_editor->FillFromTunnel(CTunnelTable::Instance().Get(m_model->DeviceIdAt(m_lastRow)));
  m_editor->ShowEditor(CDlgAddModifyDevice::ModifyMode);
}

void CDlgMgtDevice::OnDelete() {
  m_lastRow = SelectionMark();
  if (m_lastRow < 0) {
    CustomMessageBox(this, Text(IDS_SELECT_TO_DELETE), "", 0);
    return;
  }
  const std::string id = m_model->DeviceIdAt(m_lastRow);
  if (CustomMessageBox(this, Filled(Text(IDS_CONFIRM_DELETE_DEVICE), {id}), Text(IDS_WARNING), 4) != IDYES) return;
  CAccessInterface store;
  // The reason goes into this dialog's own message.
  store.SetOpenFailureNotice(false);
  std::string result;
  bool deleted = false;
  if (store.OpenDatabase(DATABASE_FILE_NAME) == 1) {
    // The tunnel and its binding together, or neither.
    CStoreTransaction transaction(store);
    deleted = transaction.Begun() && DeleteTunnelAndBinding(store, id) && transaction.Commit();
  }
  if (deleted) {
    CTunnelTable::Instance().Remove(id);
    m_model->RemoveRow(m_lastRow);
    result = Text(IDS_DELETE_SUCCEEDED);
  } else {
    result = Text(IDS_DELETE_FAILED);
    CustomMessageBox(this, result + "\n" + store.LastFailureText(), "", 0);
  }
  ClearSelectionMark();
  SendStatusText(m_mainWindow, 0, result);
}

LRESULT CDlgMgtDevice::OnDeviceEdited(WPARAM code) {
  if (code == 0 || code == 1) m_model->Reload();
  if (code == 2) m_list->setFocus();
  ClearSelectionMark();
  return 0;
}
