#pragma once

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "FreePort.h"
#include "ServiceSetup.h"
#include "MessageBoxAnswerer.h"
#include "ProcessSingletons.h"
#include "TempDir.h"
#include "WaitFor.h"
#include "core/CTunnelTable.h"
#include "model/SettingInfo.h"
#include "model/WindowMessages.h"
#include "platform/CMessageQueue.h"
#include "platform/CMessageTarget.h"
#include "platform/Notice.h"
#include "resources/CResourceStrings.h"
#include "service/CDlgSimulation.h"
#include "storage/CAccessInterface.h"

// The desktop program's service host on this (the user-interface) thread, a port
// directory, Info.db without tunnels, a main window that records its status texts, and
// an answerer for every message box.
class DevicesFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetProcessSingletons();
    UseLoopbackSettings(m_port);
    SetNoticeHook([](const std::string&, const std::string&, int) { return IDNO; });
    m_simulation.SetMainWindow(m_mainWindow.Handle());
    CAccessInterface store;
    ASSERT_EQ(store.OpenDatabase(DATABASE_FILE_NAME), 1);
    std::vector<TunnelInfo> tunnels;
    ASSERT_EQ(store.LoadTunnels(tunnels), 1);
    for (const TunnelInfo& tunnel : tunnels) ASSERT_EQ(store.DeleteTunnel(tunnel.DeviceID), 1);
    std::vector<TunnelBinding> bindings;
    ASSERT_EQ(store.LoadBindings(bindings), 1);
    for (const TunnelBinding& binding : bindings) ASSERT_EQ(store.DeleteBinding(binding.DeviceID), 1);
    store.DeleteAllNotTransData();
  }

  void TearDown() override {
    m_simulation.StopService();
    SetNoticeHook(nullptr);
    ResetProcessSingletons();
  }

  static std::string Str(unsigned id) { return CResourceStrings::Instance().LoadString(id); }

  // A tunnel in the store and the tunnel table, as start-up would have loaded it.
  static void Configure(const TunnelInfo& tunnel) {
    CAccessInterface store;
    ASSERT_EQ(store.OpenDatabase(DATABASE_FILE_NAME), 1);
    ASSERT_EQ(store.AddTunnel(tunnel), 1);
    CTunnelTable::Instance().Add(tunnel);
  }

  // A binding in the store and the tunnel table, as start-up would have loaded it.
  static void Bind(const TunnelBinding& binding) {
    CAccessInterface store;
    ASSERT_EQ(store.OpenDatabase(DATABASE_FILE_NAME), 1);
    ASSERT_EQ(store.SaveBinding(binding), 1);
    std::string bad;
    ASSERT_TRUE(CTunnelTable::Instance().SetBinding(binding, bad)) << bad;
  }

  static std::vector<TunnelBinding> StoredBindings() {
    CAccessInterface store;
    std::vector<TunnelBinding> bindings;
    EXPECT_EQ(store.OpenDatabase(DATABASE_FILE_NAME), 1);
    EXPECT_EQ(store.LoadBindings(bindings), 1);
    return bindings;
  }

  static std::vector<TunnelInfo> Stored() {
    CAccessInterface store;
    std::vector<TunnelInfo> tunnels;
    EXPECT_EQ(store.OpenDatabase(DATABASE_FILE_NAME), 1);
    EXPECT_EQ(store.LoadTunnels(tunnels), 1);
    return tunnels;
  }

  // Handles this thread's messages and Qt's events until `condition`.
  template <typename Condition>
  bool PumpUntil(Condition condition) {
    return WaitFor([&] {
      CMessageQueue::ForThisThread()->ProcessAll();
      QCoreApplication::processEvents();
      return condition();
    });
  }

  std::vector<std::string> Status() {
    std::lock_guard lock(m_mutex);
    return m_status;
  }

  TempPortDir m_portDir;
  const std::uint16_t m_port = FreePort();
  MessageBoxAnswerer m_answerer;
  std::mutex m_mutex;
  std::vector<std::string> m_status;  // pane 0
  CMessageTarget m_mainWindow{[this](unsigned message, WPARAM wParam, LPARAM lParam) -> LRESULT {
    if (message == WM_STATUS_TEXT && wParam == 0) {
      std::lock_guard lock(m_mutex);
      m_status.emplace_back(reinterpret_cast<const char*>(lParam));
    }
    return 0;
  }};
  CDlgSimulation m_simulation{200};
};
