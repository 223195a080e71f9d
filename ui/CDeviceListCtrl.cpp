#include "ui/CDeviceListCtrl.h"

#include <QHeaderView>

#include "resources/CResourceStrings.h"
#include "resources/ListColumns.h"
#include "resources/ResourceIds.h"
#include "ui/CMessageBoxCustom.h"

namespace {

// The list's own row height; a taller font gets the room it needs.
constexpr int kRowHeight = 18;

}  // namespace

CDeviceListCtrl::CDeviceListCtrl(CDeviceList& list, QWidget* parent)
    : QTableView(parent), m_list(list), m_model(list) {
  setModel(&m_model);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setShowGrid(true);
  setSortingEnabled(false);
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
  columns->setSectionsClickable(false);
  columns->setHighlightSections(false);
  columns->setDefaultAlignment(Qt::AlignCenter);
  // The note takes what the window has beyond the fixed widths.
  columns->setStretchLastSection(true);
  int column = 0;
  for (const ListColumn& each : ListColumns(IDD_SIMULATION, IDC_DEVICE_LIST)) columns->resizeSection(column++, each.width);
}

void CDeviceListCtrl::mouseDoubleClickEvent(QMouseEvent* event) {
  QTableView::mouseDoubleClickEvent(event);
  // As the list's selection mark: the row last chosen, also when the click hit no row.
  const QModelIndex current = currentIndex();
  if (!current.isValid()) {
    CustomMessageBox(this, CResourceStrings::Instance().LoadString(IDS_SELECT_TO_MODIFY), "", 0);
    return;
  }
  m_list.SetSelectedRow(current.row());
  emit EditRequested(current.row());
}
