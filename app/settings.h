// The six values the program keeps between runs, their INI file, and the lists of wave device
// names.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "stream/mm_error.h"

class ESettingsError : public EMMError {
 public:
  using EMMError::EMMError;
};

// The running program's own path (from /proc/self/exe).
std::string ExecutablePath();

// Where the settings of the program at `executablePath` live, named after it with the extension
// replaced by ".ini": beside it when such a file already stands there (a portable copy);
// otherwise in "needlerec" under $XDG_CONFIG_HOME (default ~/.config when it is unset, empty or
// not absolute).
std::string SettingsFileName(const std::string& executablePath);

// A reference level as written to the file: the shortest decimal form with up to 15 significant
// digits, always with a '.' whatever the locale ("-16", "-15.9").
std::string FormatRefLevel(double value);
// Reads a reference level; accepts '.' or ',' as the decimal separator. False for empty,
// partly numeric or non-finite text.
bool ParseRefLevel(std::string_view text, double& value);

class TSettingsStore {
 public:
  // The executable's path places the settings file (tests pass a path of their own).
  explicit TSettingsStore(const std::string& executablePath = ExecutablePath());

  const std::string& FileName() const { return FFileName; }

  // Reads the six values from section "Common"; a missing file, section or key, or a value that
  // is not a number, gives that key's default.
  void LoadSettings();
  // Writes the six values to section "Common" in one atomic replacement of the file, creating
  // it (and, for the per-user location, its missing folders, private to the user). Throws
  // ESettingsError, with the file unchanged, when it cannot be written.
  void SaveSettings();

  int32_t OutputDev = 0;
  int32_t InputDev = 0;
  int32_t SampleRate = 48000;
  double LRefLevel = -16.0;
  double RRefLevel = -16.0;
  int32_t ScaleFactor = 1;

 private:
  std::string FFileName;
};

// Clear the list, then add the product name of every wave input (output) device, in
// device-number order.
void FillInputNames(std::vector<std::string>& List);
void FillOutputNames(std::vector<std::string>& List);
