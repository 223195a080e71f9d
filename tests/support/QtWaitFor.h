#pragma once

#include <QCoreApplication>
#include <QEventLoop>
#include <chrono>

#include "WaitFor.h"

// Runs Qt's event loop (and with it the user-interface thread's message queue) until
// `condition` holds or the bound passes.
template <typename Condition>
bool QtWaitFor(Condition condition, std::chrono::milliseconds bound = std::chrono::seconds(20)) {
  return WaitFor(
      [&] {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        return condition();
      },
      bound);
}
