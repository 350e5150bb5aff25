// Small file helpers the test programs share.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace testfiles {

// The whole file, or nothing when it cannot be read.
inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The little-endian 32-bit value at `at`, as RIFF stores its sizes.
inline uint32_t Le32(const std::string& s, size_t at) {
  return uint8_t(s[at]) | uint8_t(s[at + 1]) << 8 | uint8_t(s[at + 2]) << 16 |
         uint32_t(uint8_t(s[at + 3])) << 24;
}

}  // namespace testfiles
