// How the words of --device pick a device from the list.
#include "cli/devices.h"

#include <gtest/gtest.h>

namespace {

TEST(FindDevice, NumbersAndNamesPickTheDeviceOrNone) {
  const std::vector<TDeviceEntry> list = {
      {0, "Default sound device", "default"},
      {1, "HDA Intel PCH: ALC892 Analog", "plughw:0,0"},
      {2, "USB Audio: USB Audio", "plughw:1,0"},
      {3, "usb audio: usb audio", "plughw:2,0"},
      {4, "Virtual input", ""},
  };
  struct Case {
    const char* text;
    std::optional<int64_t> id;
  };
  const Case cases[] = {
      {"2", 2},
      {"-1", -1},  // the first device
      {"17", 17},  // a number is not checked here: opening it says it does not exist
      {"-2", std::nullopt},
      {"2x", std::nullopt},
      {"Virtual input", 4},
      {"virtual INPUT", 4},  // any case, when one device fits
      {"default", 0},        // the system's name
      {"PLUGHW:0,0", 1},
      {"HDA Intel PCH: ALC892 Analog", 1},
      {"USB Audio: USB Audio", 2},             // exactly one; the other differs in case
      {"Usb Audio: Usb Audio", std::nullopt},  // two fit ignoring case: not guessed
      {"nosuch", std::nullopt},
      {"", std::nullopt},
      {"Virtual", std::nullopt},  // no partial names
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(FindDevice(c.text, list), c.id);
  }
}

}  // namespace
