// The wave driver of the virtual devices alone, for tests that play through the virtual output
// (NEEDLEREC_VIRTUAL_OUTPUT names the file that receives what it played).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/kernel/thread.h"
#include "platform/mainloop/main_loop.h"
#include "platform/wave/system_driver.h"
#include "platform/wave/virtual_driver.h"

// Installs the driver, its devices running `speed` times faster than real time.
inline void UseVirtualDriver(const char* speed) {
  std::vector<std::unique_ptr<TWaveBackend>> backends;
  backends.push_back(std::make_unique<TVirtualBackend>());
  SetWaveDriver(std::make_shared<TSystemWaveDriver>(std::move(backends)));
  setenv("NEEDLEREC_VIRTUAL_SPEED", speed, 1);
}

// Removes it again, with its settings, and waits for the threads it started to end.
inline void EndVirtualDriver() {
  unsetenv("NEEDLEREC_VIRTUAL_OUTPUT");
  unsetenv("NEEDLEREC_VIRTUAL_SPEED");
  SetWaveDriver(nullptr);
  EXPECT_TRUE(RunUntil([] { return LiveThreadCount() == 0; }, 5000));
  ReapFinishedThreads();
}
