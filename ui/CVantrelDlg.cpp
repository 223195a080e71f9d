#include "ui/CVantrelDlg.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QScrollBar>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QVBoxLayout>

#include <algorithm>
#include <cstring>

#include "VantrelVersion.h"
#include "core/CDataCenter.h"
#include "model/SettingInfo.h"
#include "model/WindowMessages.h"
#include "platform/AppPaths.h"
#include "platform/CProfileFile.h"
#include "platform/Notice.h"
#include "resources/CResourceStrings.h"
#include "resources/ResourceIds.h"
#include "ui/AppIcons.h"
#include "ui/CAboutDlg.h"
#include "ui/CDeviceListCtrl.h"
#include "ui/CDlgAddModifyDevice.h"
#include "ui/CDlgHistory.h"
#include "ui/CDlgMgtData.h"
#include "ui/CDlgMgtDevice.h"
#include "ui/CDlgMgtVirtualCom.h"
#include "ui/CDlgMonitor.h"
#include "ui/CMessageBoxCustom.h"
#include "ui/CdlgSetting.h"
#include "ui/CToolBarEx.h"
#include "ui/ResourceText.h"
#include "ui/WindowPlace.h"

namespace {

// Right edges of panes 0, 1 and 2; pane 3 reaches the window's edge.
constexpr int kPaneEdges[] = {300, 500, 700};
constexpr int kStatusBarHeight = 25;
// The first size: wide enough for every column of the list where the screen allows.
constexpr int kInitialWidth = 1200;
constexpr int kInitialHeight = 560;


QString ZeroCount(unsigned id) { return QString::fromStdString(Text(id) + ": 0"); }

std::size_t OnlineDevices() { return static_cast<std::size_t>(std::max<std::int64_t>(0, CDataCenter::Instance().OnlineCount())); }

}  // namespace

CVantrelDlg::CVantrelDlg(Options options)
    : m_options(std::move(options)),
      m_language(CResourceStrings::Instance().Language()),
      m_target([this](unsigned message, WPARAM wParam, LPARAM lParam) { return HandleMessage(message, wParam, lParam); }),
      m_simulation(m_options.reopenPeriodMs),
      m_list(std::make_unique<CDeviceListCtrl>(m_simulation.DeviceList())),
      m_listEditor(std::make_unique<CDlgAddModifyDevice>(this, m_target.Handle(), m_simulation.Window())),
      m_monitor(std::make_unique<CDlgMonitor>(this, m_simulation)) {
  m_simulation.SetMainWindow(m_target.Handle());
  connect(m_list.get(), &CDeviceListCtrl::EditRequested, this,
          [this](int row) { m_listEditor->EditListedDevice(m_simulation.DeviceList(), row); });
  connect(m_list.get(), &CDeviceListCtrl::AddTunnelRequested, this,
          [this](const std::string& id) { m_listEditor->AddForDevice(id); });
  connect(m_list.get(), &CDeviceListCtrl::HistoryRequested, this,
          [this](const std::string& id) { (new CDlgHistory(this, id))->show(); });
  // Stopped, the list shows the configured devices.
  m_simulation.DeviceList().RebuildDeviceList();
  setWindowIcon(AppIcons::Application());
  setWindowTitle(QString::fromStdString(
      Filled(CResourceStrings::Instance().DialogText(IDD_VANTREL_DIALOG, IDC_CAPTION), {kVantrelVersion})));
  setCentralWidget(CreateListPane());
  CreateMenus();
  CreateToolBar();
  CreateStatusBar();
  ShowServiceState(false);
  ShowLanguageChecks();
  const int columns = m_list->horizontalHeader()->length() + 2 * m_list->frameWidth() +
                      m_list->verticalScrollBar()->sizeHint().width();
  const int room = screen() ? screen()->availableGeometry().width() : kInitialWidth;
  resize(std::max(kInitialWidth, std::min(columns, room)), kInitialHeight);
  if (!m_options.placeFile.empty())
    WindowPlace(QString::fromStdString(m_options.placeFile), QString::fromStdString(ApplicationDirectory()))
        .Restore(*this);

  m_statusTimer.setSingleShot(true);
  m_statusTimer.setInterval(m_options.statusResetMs);
  connect(&m_statusTimer, &QTimer::timeout, this,
          [this] { ShowInPane(0, m_startFailure.isEmpty() ? QText(IDS_READY) : m_startFailure); });
  m_autoStartTimer.setSingleShot(true);
  m_autoStartTimer.setInterval(m_options.autoStartDelayMs);
  connect(&m_autoStartTimer, &QTimer::timeout, this, [this] { OnStart(); });
  if (CurrentSettings().AutoStartSimulation) m_autoStartTimer.start();
}

CVantrelDlg::~CVantrelDlg() = default;

QAction* CVantrelDlg::AddCommand(QMenu* menu, unsigned id, const QIcon& icon) {
  QAction* action = menu->addAction(icon, MenuText(id));
  connect(action, &QAction::triggered, this, [this, id] { OnCommand(id); });
  m_actions[id] = action;
  return action;
}

void CVantrelDlg::CreateMenus() {
  QMenu* management = menuBar()->addMenu(MenuText(ID_MENU_MANAGEMENT));
  AddCommand(management, ID_SETTINGS);
  AddCommand(management, ID_MGT_VIRTUAL_COM);
  AddCommand(management, ID_MGT_DEVICE, AppIcons::DeviceManagement());
  AddCommand(management, ID_MGT_DATA);
  AddCommand(management, ID_MGT_HISTORY);
  QMenu* simulation = menuBar()->addMenu(MenuText(ID_MENU_SIMULATION));
  AddCommand(simulation, ID_SIM_START, AppIcons::Start());
  AddCommand(simulation, ID_SIM_STOP, AppIcons::Stop());
  AddCommand(simulation, ID_SIM_MONITOR, AppIcons::Monitor());
  QMenu* language = menuBar()->addMenu(MenuText(ID_MENU_LANGUAGE));
  AddCommand(language, ID_LANG_CHINESE)->setCheckable(true);
  AddCommand(language, ID_LANG_ENGLISH)->setCheckable(true);
  // There is no system menu to carry it: the About item sits on the menu bar itself.
  if (const QString about = QText(IDS_ABOUTBOX); !about.isEmpty()) {
    QAction* action = menuBar()->addAction(about);
    connect(action, &QAction::triggered, this, [this] { OnCommand(IDM_ABOUTBOX); });
    m_actions[IDM_ABOUTBOX] = action;
  }

  m_trayMenu = new QMenu(this);
  AddCommand(m_trayMenu, ID_TRAY_SHOW);
  // The menu bar's actions: enabled and disabled with them.
  m_trayMenu->addAction(m_actions[ID_SIM_START]);
  m_trayMenu->addAction(m_actions[ID_SIM_STOP]);
  AddCommand(m_trayMenu, IDCANCEL);
}

void CVantrelDlg::CreateToolBar() {
  m_toolBar = new CToolBarEx(this);
  m_toolBar->setObjectName(QStringLiteral("ToolBar"));
  addToolBar(Qt::TopToolBarArea, m_toolBar);
  m_toolBar->AddButton(m_actions[ID_SIM_START], ID_SIM_START);
  m_toolBar->AddButton(m_actions[ID_SIM_STOP], ID_SIM_STOP);
  m_toolBar->AddButton(m_actions[ID_SIM_MONITOR], ID_SIM_MONITOR);
  m_toolBar->addSeparator();
  m_toolBar->AddButton(m_actions[ID_MGT_DEVICE], ID_MGT_DEVICE);
}

void CVantrelDlg::CreateStatusBar() {
  QStatusBar* bar = statusBar();
  bar->setFixedHeight(kStatusBarHeight);
  int left = 0;
  for (int pane = 0; pane < 4; ++pane) {
    m_panes[pane] = new QLabel(bar);
    m_panes[pane]->setFrameShape(QFrame::StyledPanel);
    m_panes[pane]->setFrameShadow(QFrame::Sunken);
    if (pane < 3) {
      m_panes[pane]->setFixedWidth(kPaneEdges[pane] - left);
      left = kPaneEdges[pane];
      bar->addWidget(m_panes[pane]);
    } else {
      bar->addWidget(m_panes[pane], 1);
    }
  }
  m_panes[0]->setText(QText(IDS_READY));
  m_panes[1]->setText(ZeroCount(IDS_CHANNEL_TOTAL));
  m_panes[2]->setText(ZeroCount(IDS_CONNECTED_TOTAL));
  m_panes[3]->setText(ZeroCount(IDS_MATCHED_ONLINE_TOTAL));
}

QWidget* CVantrelDlg::CreateListPane() {
  auto* pane = new QWidget(this);
  m_search = new QLineEdit(pane);
  m_search->setPlaceholderText(QText(IDS_SEARCH_HINT));
  m_search->setClearButtonEnabled(true);
  m_search->setMinimumWidth(m_search->fontMetrics().horizontalAdvance(m_search->placeholderText()) + 40);
  m_problemsOnly = new QCheckBox(QText(IDS_PROBLEMS_ONLY), pane);
  m_shownCount = new QLabel(pane);
  connect(m_search, &QLineEdit::textChanged, this, [this](const QString& text) {
    m_list->Filter().SetSearchText(text);
    UpdateShownCount();
  });
  connect(m_problemsOnly, &QCheckBox::toggled, this, [this](bool on) {
    m_list->Filter().SetProblemsOnly(on);
    UpdateShownCount();
  });
  for (auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved})
    connect(&m_list->Filter(), signal, this, [this] { UpdateShownCount(); });
  connect(&m_list->Filter(), &QAbstractItemModel::modelReset, this, [this] { UpdateShownCount(); });
  auto* bar = new QHBoxLayout;
  bar->setContentsMargins(4, 4, 4, 0);
  bar->addWidget(m_search);
  bar->addWidget(m_problemsOnly);
  bar->addStretch();
  bar->addWidget(m_shownCount);
  auto* layout = new QVBoxLayout(pane);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(4);
  layout->addLayout(bar);
  layout->addWidget(m_list.get(), 1);
  UpdateShownCount();
  return pane;
}

void CVantrelDlg::UpdateShownCount() {
  m_shownCount->setText(QString::fromStdString(Filled(Text(IDS_ROWS_SHOWN),
                                                      {std::to_string(m_list->Filter().rowCount()),
                                                       std::to_string(m_list->Model().rowCount())})));
}

QString CVantrelDlg::ShownCount() const { return m_shownCount->text(); }

QString CVantrelDlg::TrayToolTip() const { return m_tray ? m_tray->toolTip() : QString(); }

void CVantrelDlg::UpdateTray() {
  if (!m_tray) return;
  QString tip = QStringLiteral("Vantrel\n") + QText(m_running ? IDS_SERVICE_STATE_RUNNING : IDS_SERVICE_STATE_STOPPED);
  if (m_running) tip += QStringLiteral("\n") + m_panes[2]->text() + QStringLiteral("\n") + m_panes[3]->text();
  m_tray->setToolTip(tip);
}

void CVantrelDlg::ShowInPane(int pane, const QString& text) {
  m_panes[pane]->setText(text);
  // A pane has a fixed width; a longer text (a failed start's reason) is read whole here.
  m_panes[pane]->setToolTip(text);
}

QAction* CVantrelDlg::Action(unsigned id) const {
  const auto it = m_actions.find(id);
  return it == m_actions.end() ? nullptr : it->second;
}

QString CVantrelDlg::StatusText(int pane) const { return pane >= 0 && pane < 4 ? m_panes[pane]->text() : QString(); }

bool CVantrelDlg::InTray() const { return m_tray && m_tray->isVisible(); }

LRESULT CVantrelDlg::HandleMessage(unsigned message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_STATUS_TEXT && lParam != 0)
    SetStatusText(static_cast<int>(wParam), QString::fromUtf8(reinterpret_cast<const char*>(lParam)));
  else if (message == WM_COMMAND)
    OnCommand(static_cast<unsigned>(wParam));
  return 0;
}

void CVantrelDlg::SetStatusText(int pane, const QString& text) {
  if (pane < 0 || pane >= 4) return;
  ShowInPane(pane, text);
  if (pane == 0) m_statusTimer.start();
  if (pane >= 2) UpdateTray();
}

void CVantrelDlg::OnCommand(unsigned id) {
  switch (id) {
    case ID_SIM_START:
      OnStart();
      break;
    case ID_SIM_STOP:
      OnStop();
      break;
    case ID_LANG_CHINESE:
      SwitchLanguage(CResourceStrings::kChinese);
      break;
    case ID_LANG_ENGLISH:
      SwitchLanguage(CResourceStrings::kEnglish);
      break;
    case ID_TRAY_SHOW:
      ShowFromTray();
      break;
    case IDCANCEL:
      if (ConfirmDropping(IDS_EXIT_WITH_DEVICES)) End(0);
      break;
    case IDM_ABOUTBOX:
      About();
      break;
    // The dialogs read the store when they are built, so each run starts from what is stored.
    case ID_SETTINGS:
      EditSettings();
      break;
    case ID_MGT_VIRTUAL_COM: {
      CDlgMgtVirtualCom dialog(this, Handle());
      dialog.exec();
      ApplyStoredConfiguration();
      break;
    }
    case ID_MGT_DEVICE: {
      CDlgMgtDevice dialog(this, Handle());
      dialog.exec();
      ApplyStoredConfiguration();
      break;
    }
    case ID_MGT_DATA: {
      CDlgMgtData dialog(this, Handle());
      dialog.exec();
      break;
    }
    case ID_MGT_HISTORY:
      // Deletes itself when closed.
      (new CDlgHistory(this, ""))->show();
      break;
    case ID_SIM_MONITOR:
      m_monitor->ShowOver(m_list.get());
      break;
    default:
      break;
  }
}

void CVantrelDlg::ShowServiceState(bool running) {
  m_actions[ID_SIM_START]->setEnabled(!running);
  m_actions[ID_SIM_STOP]->setEnabled(running);
  for (unsigned id : {ID_SETTINGS, ID_MGT_VIRTUAL_COM, ID_MGT_DEVICE, ID_MGT_DATA, ID_SIM_MONITOR})
    m_actions[id]->setEnabled(true);
  m_list->Model().SetServiceRunning(running);
}

void CVantrelDlg::OnStart() {
  m_autoStartTimer.stop();
  m_startFailure.clear();
  m_simulation.StartService();
  m_running = true;
  ShowServiceState(true);
  UpdateTray();
}

void CVantrelDlg::OnStop() {
  m_simulation.StopService();
  m_running = false;
  ShowServiceState(false);
  m_simulation.DeviceList().RebuildDeviceList();
  m_panes[2]->setText(ZeroCount(IDS_CONNECTED_TOTAL));
  m_panes[3]->setText(ZeroCount(IDS_MATCHED_ONLINE_TOTAL));
  m_startFailure = QString::fromStdString(m_simulation.StartFailureText());
  if (!m_startFailure.isEmpty()) {
    m_statusTimer.stop();
    ShowInPane(0, m_startFailure);
  }
  UpdateTray();
}

bool CVantrelDlg::ConfirmDropping(unsigned questionId) {
  const std::size_t online = m_running ? OnlineDevices() : 0;
  if (online == 0) return true;
  return CustomMessageBox(this, Filled(Text(questionId), {std::to_string(online)}), Text(IDS_WARNING), 4) == IDYES;
}

void CVantrelDlg::ApplyStoredConfiguration() {
  if (!m_running) {
    m_simulation.DeviceList().RebuildDeviceList();
    return;
  }
  std::string outcome;
  if (!m_simulation.ReloadConfiguration(outcome)) {
    CustomMessageBox(this, Filled(Text(IDS_NOT_APPLIED_LIVE), {outcome}), "", 0);
    return;
  }
  SetStatusText(0, QText(IDS_APPLIED_LIVE));
}

void CVantrelDlg::EditSettings() {
  const SettingInfo inEffect = CurrentSettings();
  CdlgSetting dialog(this, Handle());
  dialog.exec();
  // The dialog made what it stored the process-wide settings; the reload moves the
  // listeners by comparing those with the stored ones, so it must see the ones the
  // running listeners were opened with. A reload that fails leaves these in effect.
  if (m_running) ReplaceSettings(inEffect);
  ApplyStoredConfiguration();
}

void CVantrelDlg::ShowLanguageChecks() {
  m_actions[ID_LANG_CHINESE]->setChecked(m_language == CResourceStrings::kChinese);
  m_actions[ID_LANG_ENGLISH]->setChecked(m_language == CResourceStrings::kEnglish);
}

void CVantrelDlg::SwitchLanguage(int code) {
  // Triggering a checkable item toggled its mark; the marks show the language in use.
  ShowLanguageChecks();
  if (code == m_language) return;
  const std::size_t online = m_running ? OnlineDevices() : 0;
  const std::string question = online > 0 ? Filled(Text(IDS_LANGUAGE_WITH_DEVICES), {std::to_string(online)})
                                          : Text(IDS_RESTART_FOR_LANGUAGE);
  if (CustomMessageBox(this, question, online > 0 ? Text(IDS_WARNING) : "", 4) != IDYES) return;
  const int error = CProfileFile(m_options.languageFile)
                        .WriteString(CResourceStrings::kLanguageSection, CResourceStrings::kLanguageKey,
                                     std::to_string(code));
  // A restart without the new code would come back in the old language without a word.
  if (error != 0) {
    CustomMessageBox(this, Filled(Text(IDS_LANGUAGE_FILE_FAILED), {m_options.languageFile, std::strerror(error)}), "",
                     0);
    return;
  }
  if (m_options.restart && !m_options.restart()) {
    CustomMessageBox(this, Filled(Text(IDS_RESTART_FAILED), {QCoreApplication::applicationFilePath().toStdString()}),
                     "", 0);
    return;
  }
  End(0);
}

void CVantrelDlg::HideToTray() {
  if (!m_tray) {
    m_tray = std::make_unique<QSystemTrayIcon>(windowIcon());
    m_tray->setContextMenu(m_trayMenu);
    connect(m_tray.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
      if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) ShowFromTray();
    });
  }
  UpdateTray();
  m_tray->show();
  RememberPlace();
  hide();
}

void CVantrelDlg::ShowFromTray() {
  showNormal();
  raise();
  activateWindow();
}

void CVantrelDlg::CloseRequest() {
  if (m_running) {
    const std::size_t online = OnlineDevices();
    const std::string question =
        online > 0 ? Filled(Text(IDS_EXIT_WITH_DEVICES), {std::to_string(online)}) : Text(IDS_EXIT_WHILE_RUNNING);
    if (CustomMessageBox(this, question, "Vantrel", 4) != IDYES) return;
    m_simulation.StopService();
  }
  End(0);
}

void CVantrelDlg::closeEvent(QCloseEvent* event) {
  if (m_ended) {
    event->accept();
    return;
  }
  event->ignore();
  if (m_options.trayAvailable)
    HideToTray();
  else
    // Hidden without a tray icon, the window could never be shown again.
    CloseRequest();
}

void CVantrelDlg::About() {
  CAboutDlg about(this);
  about.exec();
}

void CVantrelDlg::End(int code) {
  if (m_ended) return;
  m_ended = true;
  m_autoStartTimer.stop();
  if (isVisible()) RememberPlace();
  hide();
  m_tray.reset();
  emit Ended(code);
}

void CVantrelDlg::RememberPlace() {
  if (m_options.placeFile.empty()) return;
  WindowPlace(QString::fromStdString(m_options.placeFile), QString::fromStdString(ApplicationDirectory())).Save(*this);
}
