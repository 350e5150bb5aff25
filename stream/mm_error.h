// The one base of every component's exception class. Messages are the fixed English texts the
// user sees in the error report.
#pragma once

#include <stdexcept>
#include <string>

class EMMError : public std::runtime_error {
 public:
  explicit EMMError(const std::string& message) : std::runtime_error(message) {}
};

// A failing platform call is reported as its name, a colon, LF + CR and the platform's text.
inline std::string PlatformCallMessage(const std::string& call, const std::string& text) {
  return call + ":\n\r" + text;
}
