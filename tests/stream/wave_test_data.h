// Building WAVE images byte by byte for tests, including damaged ones, and a temporary folder
// that is removed with everything in it.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace wavetest {

inline std::string Le16(uint16_t v) {
  return {char(v & 0xFF), char(v >> 8)};
}
inline std::string Le32(uint32_t v) {
  return {char(v & 0xFF), char((v >> 8) & 0xFF), char((v >> 16) & 0xFF), char(v >> 24)};
}
inline uint32_t ReadLe32(const std::string& bytes, size_t offset) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | uint8_t(bytes.at(offset + size_t(i)));
  return v;
}

// The 16 bytes of a "fmt " body; block align and byte rate are derived unless given.
inline std::string FmtBody(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits,
                           std::optional<uint16_t> align = {}, std::optional<uint32_t> avg = {}) {
  const uint16_t a = align.value_or(uint16_t(channels * bits / 8));
  return Le16(tag) + Le16(channels) + Le32(rate) + Le32(avg.value_or(a * rate)) + Le16(a) +
         Le16(bits);
}

// A chunk with its header and pad byte; `size` overrides the size field.
inline std::string Chunk(const std::string& id, const std::string& body,
                         std::optional<uint32_t> size = {}) {
  std::string chunk = id + Le32(size.value_or(uint32_t(body.size()))) + body;
  if (body.size() & 1) chunk += '\0';
  return chunk;
}

// A RIFF form around `chunks`; `size` overrides the RIFF size field.
inline std::string Riff(const std::string& chunks, std::optional<uint32_t> size = {},
                        const std::string& form = "WAVE") {
  return "RIFF" + Le32(size.value_or(uint32_t(chunks.size() + 4))) + form + chunks;
}

// `frames` frames of 16-bit samples in a pattern that differs per frame and channel.
inline std::string Samples16(size_t frames, int channels) {
  std::string bytes;
  for (size_t i = 0; i < frames; ++i)
    for (int c = 0; c < channels; ++c) bytes += Le16(uint16_t(i * 7 + size_t(c) * 1000 + 3));
  return bytes;
}

inline std::string Pcm16Stereo(const std::string& samples) {
  return Riff(Chunk("fmt ", FmtBody(1, 2, 44100, 16)) + Chunk("data", samples));
}

// The room a written file keeps after its form type for the sizes of RF64.
inline std::string Ds64Room() {
  return Chunk("JUNK", std::string(28, '\0'));
}
// The bytes before the samples of a written 16-bit PCM file: form, room, fmt, data header.
constexpr size_t kWrittenHeader = 80;

// A file as the writer makes it: the room for RF64's sizes, the format, the data.
inline std::string Written(const std::string& fmtBody, const std::string& samples) {
  return Riff(Ds64Room() + Chunk("fmt ", fmtBody) + Chunk("data", samples));
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(bytes.data(), std::streamsize(bytes.size()));
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class TTempDir {
 public:
  TTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "nrwave-XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    FPath = mkdtemp(name.data());
  }
  ~TTempDir() {
    std::error_code error;
    std::filesystem::remove_all(FPath, error);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  const std::string& Path() const { return FPath; }
  std::string File(const std::string& name) const { return FPath + "/" + name; }

 private:
  std::string FPath;
};

}  // namespace wavetest
