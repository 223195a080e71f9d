#include "ui/CDeviceListCtrl.h"

#include <QContextMenuEvent>
#include <QHeaderView>
#include <QMenu>

#include "resources/CResourceStrings.h"
#include "resources/ListColumns.h"
#include "resources/ResourceIds.h"
#include "ui/CMessageBoxCustom.h"
#include "ui/ResourceText.h"

namespace {

// The list's own row height; a taller font gets the room it needs.
constexpr int kRowHeight = 18;

// Where the columns appear: the note, free text of any length, last.
constexpr int kVisualOrder[] = {CDeviceList::DeviceId,  CDeviceList::Phone,     CDeviceList::SourceIp,
                                CDeviceList::RemoteAddress, CDeviceList::Port,  CDeviceList::BaudRate,
                                CDeviceList::LinkState, CDeviceList::PortState, CDeviceList::BytesIn,
                                CDeviceList::BytesOut,  CDeviceList::LastData,  CDeviceList::Note};
static_assert(std::size(kVisualOrder) == CDeviceList::kColumns);

}  // namespace

CDeviceFilterModel::CDeviceFilterModel(QObject* parent) : QSortFilterProxyModel(parent) {
  setSortRole(CDeviceListModel::SortRole);
  setSortCaseSensitivity(Qt::CaseInsensitive);
  setDynamicSortFilter(true);
}

void CDeviceFilterModel::SetSearchText(const QString& text) {
  m_search = text.trimmed();
  invalidateRowsFilter();
}

void CDeviceFilterModel::SetProblemsOnly(bool problemsOnly) {
  m_problemsOnly = problemsOnly;
  invalidateRowsFilter();
}

bool CDeviceFilterModel::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const {
  const QModelIndex index = sourceModel()->index(sourceRow, 0, sourceParent);
  if (m_problemsOnly && !index.data(CDeviceListModel::ProblemRole).toBool()) return false;
  return m_search.isEmpty() ||
         index.data(CDeviceListModel::SearchRole).toString().contains(m_search, Qt::CaseInsensitive);
}

CDeviceListCtrl::CDeviceListCtrl(CDeviceList& list, QWidget* parent)
    : QTableView(parent), m_list(list), m_model(list) {
  m_filter.setSourceModel(&m_model);
  setModel(&m_filter);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setShowGrid(true);
  setWordWrap(false);
  setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);

  QPalette colours = palette();
  colours.setColor(QPalette::Base, CDeviceListModel::kBackground);
  colours.setColor(QPalette::Text, CDeviceListModel::kListText);
  setPalette(colours);

  QHeaderView* rows = verticalHeader();
  rows->hide();
  rows->setSectionResizeMode(QHeaderView::Fixed);
  rows->setDefaultSectionSize(std::max(kRowHeight, fontMetrics().height() + 4));
  QHeaderView* columns = horizontalHeader();
  columns->setHighlightSections(false);
  columns->setDefaultAlignment(Qt::AlignCenter);
  int column = 0;
  for (const ListColumn& each : ListColumns(IDD_SIMULATION, IDC_DEVICE_LIST)) {
    // No caption is cut, in either language.
    const int caption = columns->fontMetrics().horizontalAdvance(QText(each.stringId)) + 28;
    columns->resizeSection(column++, std::max(each.width, caption));
  }
  for (int visual = 0; visual < CDeviceList::kColumns; ++visual)
    columns->moveSection(columns->visualIndex(kVisualOrder[visual]), visual);
  // The note takes what the window has beyond the fixed widths.
  columns->setStretchLastSection(true);
  setSortingEnabled(true);
  sortByColumn(CDeviceList::DeviceId, Qt::AscendingOrder);
}

int CDeviceListCtrl::SourceRow(int shownRow) const {
  return m_filter.mapToSource(m_filter.index(shownRow, 0)).row();
}

void CDeviceListCtrl::ActOnRow(int sourceRow) {
  if (m_model.IsUnknown(sourceRow)) {
    emit AddTunnelRequested(m_model.DeviceIdAt(sourceRow));
    return;
  }
  m_list.SetSelectedRow(sourceRow);
  emit EditRequested(sourceRow);
}

void CDeviceListCtrl::mouseDoubleClickEvent(QMouseEvent* event) {
  QTableView::mouseDoubleClickEvent(event);
  // As the list's selection mark: the row last chosen, also when the click hit no row.
  const QModelIndex current = currentIndex();
  if (!current.isValid()) {
    CustomMessageBox(this, CResourceStrings::Instance().LoadString(IDS_SELECT_TO_MODIFY), "", 0);
    return;
  }
  ActOnRow(m_filter.mapToSource(current).row());
}

void CDeviceListCtrl::contextMenuEvent(QContextMenuEvent* event) {
  const QModelIndex at = indexAt(viewport()->mapFromGlobal(event->globalPos()));
  if (!at.isValid()) return;
  setCurrentIndex(at);
  const int row = m_filter.mapToSource(at).row();
  QMenu menu(this);
  menu.addAction(QText(m_model.IsUnknown(row) ? IDS_ADD_TUNNEL : IDS_MODIFY_TUNNEL), this,
                 [this, row] { ActOnRow(row); });
  menu.addAction(QText(IDS_HISTORY_OF_DEVICE), this, [this, row] { emit HistoryRequested(m_model.DeviceIdAt(row)); });
  menu.exec(event->globalPos());
}
