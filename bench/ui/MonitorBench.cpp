// Forwarding throughput through the service as the desktop program runs it: the service
// host and its device list on a Qt user-interface thread whose message queue is driven
// from Qt's event loop (offscreen), a device on TCP, a pty as its port. Rounds alternate
// between the monitor window open (started, every channel, auto-scroll) and not open;
// each figure is the median of its rounds.
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QEventLoop>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BulkTransfer.h"
#include "FreePort.h"
#include "PtyEnd.h"
#include "TempDir.h"
#include "core/CDataCenter.h"
#include "core/CTunnelTable.h"
#include "model/SettingInfo.h"
#include "protocol/RegistrationPacket.h"
#include "service/CDlgSimulation.h"
#include "ui/CDlgMonitor.h"
#include "ui/CQtMessagePump.h"
#include "ui/CMonitorRowModel.h"

namespace {

constexpr int kRoundsEach = 15;

// Runs the event loop until `done` holds or the bound passes; sleeps while nothing happens.
template <typename Condition>
bool RunUntil(Condition done) {
  const Clock::time_point deadline = Clock::now() + kBound;
  QTimer tick;
  tick.start(5);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    QApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

double ThreadCpuSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Bulk on its own thread while this thread runs the event loop, as the program's does.
// Adds the user-interface thread's processor time to `uiSeconds`: unlike the throughput,
// it does not depend on what else the machine runs.
double BulkWithEventLoop(int from, int to, double& uiSeconds) {
  const double cpuBefore = ThreadCpuSeconds();
  QEventLoop loop;
  double megabytes = 0;
  std::thread transfer([&] {
    megabytes = Bulk(from, to);
    QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
  });
  loop.exec();
  transfer.join();
  uiSeconds += ThreadCpuSeconds() - cpuBefore;
  return megabytes;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  const TempDir appDir("VANTREL_APP_DIR");
  const TempPortDir portDir;
  QApplication app(argc, argv);

  // The program's own pump: the service's messages reach the device list through Qt's loop.
  CQtMessagePump pump;

  Pty pty;
  if (!pty.ready || ::symlink(pty.slavePath.c_str(), portDir.File("COM3").c_str()) != 0) {
    std::fprintf(stderr, "cannot make a pty\n");
    return 1;
  }
  SettingInfo settings;
  settings.LocalIp = "127.0.0.1";
  settings.LocalPort = FreePort();
  settings.DelayComRead = 0;
  ReplaceSettings(settings);
  CTunnelTable::Instance().Add(TunnelInfo{"00000001", "COM3", "115200", "8", "1", "None", ""});

  auto simulation = std::make_unique<CDlgSimulation>();
  simulation->StartService();
  int device = -1;
  const bool started = RunUntil([&] { return simulation->Accepting(); });
  if (started) device = ConnectTo(static_cast<std::uint16_t>(settings.LocalPort));
  RegistrationPacket packet{};
  BuildRegistrationPacket(1, "13800000000", "10.0.0.1", packet);
  if (device < 0 || !WriteAll(device, packet.data(), packet.size(), Clock::now() + kBound) ||
      !RunUntil([&] { return CDataCenter::Instance().MatchedOnlineCount() == 1; })) {
    std::fprintf(stderr, "set-up failed: %s\n", simulation->LastStartFailure().c_str());
    return 1;
  }

  std::vector<double> toPty[2], toDevice[2];  // [0] monitor not open, [1] open
  double uiSeconds[2] = {0, 0};
  std::size_t rowsShown = 0;
  for (int round = 0; round < 2 * kRoundsEach; ++round) {
    const int open = round % 2;
    std::unique_ptr<CDlgMonitor> monitor;
    if (open != 0) {
      monitor = std::make_unique<CDlgMonitor>(nullptr, *simulation);
      monitor->show();
      monitor->StartStopButton()->click();
      RunUntil([&] { return monitor->isVisible(); });
      // Its first painting is part of opening it, not of forwarding.
      monitor->repaint();
    }
    toPty[open].push_back(BulkWithEventLoop(device, pty.master, uiSeconds[open]));
    toDevice[open].push_back(BulkWithEventLoop(pty.master, device, uiSeconds[open]));
    if (monitor) {
      for (int i = 0; i < 10; ++i) QApplication::processEvents();
      rowsShown = std::max(rowsShown, static_cast<std::size_t>(monitor->TcpToCom().rowCount() +
                                                               monitor->ComToTcp().rowCount()));
    }
  }

  std::printf("forwarding through the desktop service host, %zu MB bulk each way, median of %d rounds each\n",
              kBulkBytes >> 20, kRoundsEach);
  std::printf("%-22s %14s %14s %8s\n", "", "monitor open", "not open", "ratio");
  const double a = Median(toPty[1]), b = Median(toPty[0]), c = Median(toDevice[1]), d = Median(toDevice[0]);
  std::printf("%-22s %14.1f %14.1f %8.2f\n", "device->pty MB/s", a, b, a / b);
  std::printf("%-22s %14.1f %14.1f %8.2f\n", "pty->device MB/s", c, d, c / d);
  std::printf("user-interface thread, processor ms per MB forwarded: monitor open %.2f, not open %.2f\n",
              uiSeconds[1] * 1e3 / (2.0 * kRoundsEach * (kBulkBytes >> 20)),
              uiSeconds[0] * 1e3 / (2.0 * kRoundsEach * (kBulkBytes >> 20)));
  std::printf("monitor rows at the end of an open round: %zu\n", rowsShown);
  std::printf("rounds (MB/s, device->pty / pty->device):");
  for (int i = 0; i < kRoundsEach; ++i)
    std::printf(" open %.0f/%.0f, not %.0f/%.0f;", toPty[1][i], toDevice[1][i], toPty[0][i], toDevice[0][i]);
  std::printf("\n");

  ::close(device);
  simulation.reset();
  return a > 0 && c > 0 ? 0 : 1;
}
