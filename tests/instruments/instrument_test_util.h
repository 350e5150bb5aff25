// Helpers of the instrument tests on the window: waiting for the main thread's events to bring
// a condition about, and the pixel value a colour paints.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRgb>
#include <chrono>
#include <functional>
#include <thread>

#include "platform/gdi/gdi_types.h"

namespace instrumenttest {

// Processes events until done holds; false when it still does not after timeoutMs.
inline bool ProcessUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

inline QRgb Rgb(TColor color) {
  return ToQColor(color).rgb();
}

}  // namespace instrumenttest
