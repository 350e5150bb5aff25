#include "cli/devices.h"

#include <cstring>

#include "cli/info.h"
#include "platform/wave/wave_api.h"

namespace {

struct Device {
  uint32_t id;
  std::string name;
};

std::vector<Device> Inputs() {
  std::vector<Device> list;
  const uint32_t count = waveInGetNumDevs();
  for (uint32_t i = 0; i < count; ++i) {
    WAVEINCAPSA caps{};
    if (waveInGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR)
      list.push_back({i, std::string(caps.szPname, strnlen(caps.szPname, sizeof caps.szPname))});
  }
  return list;
}

std::vector<Device> Outputs() {
  std::vector<Device> list;
  const uint32_t count = waveOutGetNumDevs();
  for (uint32_t i = 0; i < count; ++i) {
    WAVEOUTCAPSA caps{};
    if (waveOutGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR)
      list.push_back({i, std::string(caps.szPname, strnlen(caps.szPname, sizeof caps.szPname))});
  }
  return list;
}

void PrintJson(const std::vector<Device>& list, std::ostream& out) {
  out << "[";
  for (size_t i = 0; i < list.size(); ++i)
    out << (i ? ", " : "") << "{\"id\": " << list[i].id
        << ", \"name\": " << JsonString(list[i].name) << "}";
  out << "]";
}

}  // namespace

int DevicesCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  bool json = false;
  for (const std::string& a : args) {
    if (a == "--json") {
      json = true;
    } else {
      err << "usage: needlerec-cli devices [--json]\n";
      return 2;
    }
  }
  const std::vector<Device> inputs = Inputs(), outputs = Outputs();
  if (json) {
    out << "{\"inputs\": ";
    PrintJson(inputs, out);
    out << ", \"outputs\": ";
    PrintJson(outputs, out);
    out << "}\n";
    return 0;
  }
  out << "inputs:\n";
  for (const Device& d : inputs) out << "  " << d.id << ": " << d.name << "\n";
  out << "outputs:\n";
  for (const Device& d : outputs) out << "  " << d.id << ": " << d.name << "\n";
  return 0;
}
