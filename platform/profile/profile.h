// Private-profile (INI) files: named sections of Key=value lines.
//
// Section and key names match without regard to ASCII case, and a read value loses its
// surrounding blanks and one pair of matching surrounding quotes. A write changes only the line
// it concerns: other sections, keys, comments and blank lines stay as they were. A UTF-8
// byte-order mark at the start of the file is read through and kept. Each write replaces the
// file as a whole, through a temporary file in the same folder (".NAME.tmpPID.N") that is
// flushed to disk and renamed over it, so a crash leaves either the old file or the new one;
// the next write removes the temporary files that a killed writer left behind.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The value of `key` in `section` of `fileName`; `defaultValue` when the file, the section or
// the key is missing. A key that is present with an empty value reads as "".
std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue, const std::string& fileName);

// The value of `key` as an integer: an optional sign, then decimal digits, or hexadecimal ones
// after "0x" or "0X"; reading stops at the first character that is not a digit, and the result
// wraps to 32 bits. `defaultValue` when the key is missing, empty or does not begin with a
// number.
int32_t GetPrivateProfileInt(std::string_view section, std::string_view key, int32_t defaultValue,
                             const std::string& fileName);

// Sets `key` in `section` to `value`, adding the key, the section or the file as needed (the
// folder must exist). A null `value` removes the key; a null `key` removes the whole section.
// Returns false, with the file unchanged, when the names or the value cannot be written as a
// line (empty names, line breaks, '=' in a key, ']' in a section) or the file cannot be read or
// replaced; ProfileLastError then says why.
bool WritePrivateProfileString(std::string_view section, const char* key, const char* value,
                               const std::string& fileName);

// Sets every key of `entries` (key, value) in `section` in one replacement of the file, so a
// reader, or a kill part way, sees all of them old or all of them new. Refuses, with the file
// unchanged, what WritePrivateProfileString would refuse for any one of them.
bool WritePrivateProfileStrings(std::string_view section,
                                const std::vector<std::pair<std::string, std::string>>& entries,
                                const std::string& fileName);

// Whether `fileName` can be read as a settings file: missing, or a regular file of at most 1 MiB
// that can be read (the reads above give their defaults for any other); ProfileLastError then
// says why not.
bool PrivateProfileReadable(const std::string& fileName);

// Why the last failed write, or failed PrivateProfileReadable, of this thread failed.
std::string ProfileLastError();
