// Small file helpers the test programs share.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

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

// A plain 44.1 kHz 16-bit stereo PCM WAVE file holding `data`.
inline std::string Wave16Stereo(const std::string& data) {
  std::string file = "RIFF";
  const auto put32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) file.push_back(char(v >> (8 * i)));
  };
  put32(uint32_t(36 + data.size()));
  file += "WAVEfmt ";
  put32(16);
  file += std::string("\x01\x00\x02\x00", 4);
  put32(44100);
  put32(44100 * 4);
  file += std::string("\x04\x00\x10\x00", 4);
  file += "data";
  put32(uint32_t(data.size()));
  return file + data;
}

// A new folder of the running test's own: "/tmp/PREFIX-PID-TESTNAME".
inline std::filesystem::path TestFolder(const std::string& prefix) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() /
      (prefix + "-" + std::to_string(::getpid()) + "-" +
       ::testing::UnitTest::GetInstance()->current_test_info()->name());
  std::filesystem::create_directories(dir);
  return dir;
}

}  // namespace testfiles
