#include "app/settings.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/profile/profile.h"
#include "platform/wave/wave_api.h"

namespace {

constexpr const char* kSection = "Common";

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

std::string ConfigFolder() {
  // The XDG rule: a relative $XDG_CONFIG_HOME is ignored.
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/')
    return config;
  return HomeFolder() + "/.config";
}

double ReadRefLevel(const char* key, double defaultValue, const std::string& fileName) {
  double value;
  return ParseRefLevel(GetPrivateProfileString(kSection, key, "", fileName), value) ? value
                                                                                    : defaultValue;
}

// An integer key: decimal, or hexadecimal after "0x"; a value that is empty, only partly a
// number or beyond 32 bits gives the default.
int32_t ReadInt(const char* key, int32_t defaultValue, const std::string& fileName) {
  std::string text = GetPrivateProfileString(kSection, key, "", fileName);
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return defaultValue;
  text = text.substr(first, text.find_last_not_of(" \t") - first + 1);
  int base = 10;
  std::string_view digits = text;
  bool negative = false;
  if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) {
    negative = digits[0] == '-';
    digits.remove_prefix(1);
  }
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.remove_prefix(2);
  }
  int64_t value = 0;
  const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
  if (digits.empty() || result.ec != std::errc() || result.ptr != digits.data() + digits.size())
    return defaultValue;
  if (negative) value = -value;
  if (value < INT32_MIN || value > INT32_MAX) return defaultValue;
  return int32_t(value);
}

}  // namespace

std::string ExecutablePath() {
  std::error_code error;
  const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string("needlerec") : path.string();
}

std::string SettingsFileName(const std::string& executablePath) {
  const std::filesystem::path exe(executablePath);
  std::filesystem::path name = exe.filename();
  if (name.empty()) name = "needlerec";
  name.replace_extension(".ini");
  std::filesystem::path folder = exe.parent_path();
  if (folder.empty()) folder = ".";
  // A settings file already beside the program makes it a portable copy, whatever it is (a
  // file that cannot be read is reported when it is loaded). Otherwise the program never
  // writes into its own folder: an installed one would leave the file behind in /usr/bin or
  // ~/.local/bin.
  std::error_code error;
  const std::filesystem::path beside = folder / name;
  if (std::filesystem::exists(std::filesystem::symlink_status(beside, error)))
    return beside.string();
  return (std::filesystem::path(ConfigFolder()) / "needlerec" / name).string();
}

std::string FormatRefLevel(double value) {
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
  return std::string(buffer, result.ptr);
}

bool ParseRefLevel(std::string_view text, double& value) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  std::string normal(text);
  // A file written where ',' is the decimal separator.
  if (normal.find('.') == std::string::npos) {
    if (const size_t comma = normal.find(','); comma != std::string::npos) normal[comma] = '.';
  }
  if (normal.empty()) return false;
  double parsed;
  const auto result = std::from_chars(normal.data(), normal.data() + normal.size(), parsed);
  if (result.ec != std::errc() || result.ptr != normal.data() + normal.size() ||
      !std::isfinite(parsed))
    return false;
  value = parsed;
  return true;
}

TSettingsStore::TSettingsStore(const std::string& executablePath)
    : FFileName(SettingsFileName(executablePath)) {}

void TSettingsStore::LoadSettings() {
  // A settings file that is no file (a FIFO, a link to a device) or far too large is not read:
  // the defaults are used, and the user is told.
  if (!PrivateProfileReadable(FFileName))
    std::fprintf(stderr, "needlerec: %s; the default settings are used\n",
                 ProfileLastError().c_str());
  OutputDev = ReadInt("OutputDev", 0, FFileName);
  InputDev = ReadInt("InputDev", 0, FFileName);
  SampleRate = ReadInt("SampleRate", 48000, FFileName);
  LRefLevel = ReadRefLevel("LRefLevel", -16.0, FFileName);
  RRefLevel = ReadRefLevel("RRefLevel", -16.0, FFileName);
  ScaleFactor = ReadInt("ScaleFactor", 1, FFileName);
}

void TSettingsStore::SaveSettings() {
  const std::filesystem::path folder = std::filesystem::path(FFileName).parent_path();
  if (!folder.empty()) {
    // The missing folders are made private (0700) as they are made, each of them, as the base
    // directory rules ask; existing ones are left as they are.
    std::vector<std::filesystem::path> missing;
    std::error_code error;
    for (std::filesystem::path f = folder;
         !f.empty() && !std::filesystem::exists(std::filesystem::symlink_status(f, error));
         f = f.parent_path()) {
      missing.push_back(f);
      if (f == f.parent_path()) break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
      if (::mkdir(it->c_str(), 0700) != 0 && errno != EEXIST)
        throw ESettingsError("Could not save the settings: " + it->string() + ": " +
                             std::strerror(errno));
      // The umask may have taken the owner's own bits.
      std::filesystem::permissions(*it, std::filesystem::perms::owner_all, error);
    }
  }
  // One replacement of the file for all six: a kill part way leaves the old values or the new.
  const std::vector<std::pair<std::string, std::string>> entries = {
      {"OutputDev", std::to_string(OutputDev)},   {"InputDev", std::to_string(InputDev)},
      {"SampleRate", std::to_string(SampleRate)}, {"LRefLevel", FormatRefLevel(LRefLevel)},
      {"RRefLevel", FormatRefLevel(RRefLevel)},   {"ScaleFactor", std::to_string(ScaleFactor)},
  };
  if (!WritePrivateProfileStrings(kSection, entries, FFileName))
    throw ESettingsError("Could not save the settings: " + ProfileLastError());
}

void FillInputNames(std::vector<std::string>& List) {
  const uint32_t count = waveInGetNumDevs();
  List.clear();
  for (uint32_t id = 0; id < count; ++id) {
    // The result is not checked: a device that answers nothing gets an empty name.
    WAVEINCAPSA caps{};
    waveInGetDevCapsA(id, &caps, sizeof caps);
    List.emplace_back(caps.szPname, ::strnlen(caps.szPname, sizeof caps.szPname - 1));
  }
}

void FillOutputNames(std::vector<std::string>& List) {
  const uint32_t count = waveOutGetNumDevs();
  List.clear();
  for (uint32_t id = 0; id < count; ++id) {
    WAVEOUTCAPSA caps{};
    waveOutGetDevCapsA(id, &caps, sizeof caps);
    List.emplace_back(caps.szPname, ::strnlen(caps.szPname, sizeof caps.szPname - 1));
  }
}
