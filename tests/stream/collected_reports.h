// Collects the texts of the errors the engine reports while it lives, instead of showing them.
#pragma once

#include <exception>
#include <string>
#include <vector>

#include "platform/mainloop/main_loop.h"

struct TCollectedReports {
  std::vector<std::string> Texts;
  TCollectedReports() {
    SetExceptionHandler([this](std::exception_ptr e) {
      try {
        std::rethrow_exception(e);
      } catch (const std::exception& x) {
        Texts.push_back(x.what());
      } catch (...) {
        Texts.push_back("(not an exception)");
      }
    });
  }
  ~TCollectedReports() { SetExceptionHandler(nullptr); }
  TCollectedReports(const TCollectedReports&) = delete;
  TCollectedReports& operator=(const TCollectedReports&) = delete;
};
