#include "cli/devices.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstring>

#include "cli/info.h"
#include "cli/options.h"
#include "cli/usage.h"
#include "platform/wave/wave_api.h"

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// A whole number in -1..2^31-1, or none.
std::optional<int64_t> DeviceNumber(const std::string& text) {
  if (text.empty() || text.size() > 11) return std::nullopt;
  size_t at = text[0] == '-' ? 1 : 0;
  if (at == text.size()) return std::nullopt;
  for (size_t i = at; i < text.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
  const int64_t value = std::stoll(text);
  if (value < -1 || value > 0x7FFFFFFF) return std::nullopt;
  return value;
}

// "; the input devices are:" and a line for each, or that there are none.
std::string DeviceListText(const std::vector<TDeviceEntry>& list, const std::string& kind) {
  if (list.empty()) return "; there are no " + kind + " devices";
  std::string text = "; the " + kind + " devices are:";
  for (const TDeviceEntry& d : list) {
    text += "\n  " + std::to_string(d.Id) + ": " + d.ProductName;
    if (d.Test)
      text += " [built-in test device]";
    else if (!d.SystemName.empty() && d.SystemName != d.ProductName)
      text += " (" + d.SystemName + ")";
  }
  return text;
}

void PrintJson(const std::vector<TDeviceEntry>& list, std::ostream& out) {
  out << "[";
  for (size_t i = 0; i < list.size(); ++i)
    out << (i ? ", " : "") << "{\"id\": " << list[i].Id
        << ", \"name\": " << JsonString(list[i].ProductName)
        << ", \"test\": " << (list[i].Test ? "true" : "false") << "}";
  out << "]";
}

}  // namespace

std::vector<TDeviceEntry> ListDevices(bool input) {
  std::vector<TDeviceEntry> list;
  const uint32_t count = input ? waveInGetNumDevs() : waveOutGetNumDevs();
  for (uint32_t i = 0; i < count; ++i) {
    std::string name;
    if (input) {
      WAVEINCAPSA caps{};
      if (waveInGetDevCapsA(i, &caps, sizeof caps) != MMSYSERR_NOERROR) continue;
      name.assign(caps.szPname, strnlen(caps.szPname, sizeof caps.szPname));
    } else {
      WAVEOUTCAPSA caps{};
      if (waveOutGetDevCapsA(i, &caps, sizeof caps) != MMSYSERR_NOERROR) continue;
      name.assign(caps.szPname, strnlen(caps.szPname, sizeof caps.szPname));
    }
    const std::string system = waveGetDeviceSystemName(input, i);
    list.push_back({i, name, system, system == kTestDeviceSystemName});
  }
  return list;
}

std::optional<int64_t> FindDevice(const std::string& text, const std::vector<TDeviceEntry>& list) {
  if (const auto number = DeviceNumber(text)) return number;
  if (text.empty()) return std::nullopt;
  // The one device that matches, or none when none or several do.
  auto only = [&](auto&& matches) -> std::optional<int64_t> {
    std::optional<int64_t> found;
    for (const TDeviceEntry& d : list) {
      if (!matches(d)) continue;
      if (found) return std::nullopt;
      found = d.Id;
    }
    return found;
  };
  auto exact = [&](const TDeviceEntry& d) { return d.ProductName == text || d.SystemName == text; };
  const std::string lower = Lower(text);
  auto anyCase = [&](const TDeviceEntry& d) {
    return Lower(d.ProductName) == lower || (!d.SystemName.empty() && Lower(d.SystemName) == lower);
  };
  const bool anyExact = std::any_of(list.begin(), list.end(), exact);
  return anyExact ? only(exact) : only(anyCase);
}

std::optional<int64_t> ResolveDevice(const std::string& text, bool input, std::string& error) {
  if (auto number = FindDevice(text, {})) return number;  // no need to list the devices
  const std::vector<TDeviceEntry> list = ListDevices(input);
  if (auto id = FindDevice(text, list)) return id;
  const std::string kind = input ? "input" : "output";
  auto named = [&](const TDeviceEntry& d) {
    return Lower(d.ProductName) == Lower(text) || Lower(d.SystemName) == Lower(text);
  };
  const auto count = std::count_if(list.begin(), list.end(), named);
  error = count > 1 ? "several " + kind + " devices are named '" + text + "'; give its number"
                    : "no " + kind + " device is named '" + text + "'";
  error += DeviceListText(list, kind);
  return std::nullopt;
}

std::optional<int64_t> DefaultInputDevice(std::string& error) {
  const std::vector<TDeviceEntry> list = ListDevices(true);
  for (const TDeviceEntry& d : list)
    if (!d.Test) return d.Id;
  error = "no sound input device found" + DeviceListText(list, "input") +
          "\n(--device virtual records the built-in test signal)";
  return std::nullopt;
}

int DevicesCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  bool json = false;
  CLI::App app;
  PrepareParser(app);
  app.add_flag("--json", json);
  if (const auto problem = ParseWords(app, args)) {
    err << "needlerec-cli devices: " << *problem << "\n" << CommandSynopsis("devices");
    return 2;
  }
  const std::vector<TDeviceEntry> inputs = ListDevices(true), outputs = ListDevices(false);
  if (json) {
    out << "{\"inputs\": ";
    PrintJson(inputs, out);
    out << ", \"outputs\": ";
    PrintJson(outputs, out);
    out << "}\n";
    return 0;
  }
  const auto print = [&](const TDeviceEntry& d) {
    out << "  " << d.Id << ": " << d.ProductName << (d.Test ? "  [built-in test device]" : "")
        << "\n";
  };
  out << "inputs:\n";
  for (const TDeviceEntry& d : inputs) print(d);
  out << "outputs:\n";
  for (const TDeviceEntry& d : outputs) print(d);
  return 0;
}
