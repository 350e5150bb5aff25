// needlerec-cli devices: the input and output devices by number and product name; and the one
// way every command turns the words of --device into a device.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

int DevicesCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// A device as `devices` lists it.
struct TDeviceEntry {
  uint32_t Id = 0;
  std::string ProductName;  // what `devices` shows
  std::string SystemName;   // the sound system's own name (an ALSA PCM name); may be empty
  bool Test = false;        // a built-in test device (see waveIsTestDevice)
};

// The input (or output) devices of the wave functions, in their numbering.
std::vector<TDeviceEntry> ListDevices(bool input);

// The device that the words of --device name: a number is taken as it is (-1 is the first
// device; a number without a device fails when the device opens), a name matches a listed
// product name or system name, exactly or else ignoring case when only one device matches
// that way. None when nothing matches, or when the name fits several devices alike.
std::optional<int64_t> FindDevice(const std::string& text, const std::vector<TDeviceEntry>& list);

// FindDevice on the input or output list; on failure, `error` says so and lists the devices.
std::optional<int64_t> ResolveDevice(const std::string& text, bool input, std::string& error);
// The first input device that is no test device: a recording is never made from a test signal
// unless the test device was named. On failure, `error` says so and lists the devices.
std::optional<int64_t> DefaultInputDevice(std::string& error);
