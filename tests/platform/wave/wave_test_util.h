// Helpers of the wave driver tests: a callback that records notifications, blocks with their
// headers, formats, temporary folders and environment variables.
#pragma once

#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "platform/wave/wave_api.h"

namespace wavetest {

inline WAVEFORMATEX Pcm(uint32_t rate, uint16_t bits, uint16_t channels) {
  WAVEFORMATEX format{};
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = channels;
  format.nSamplesPerSec = rate;
  format.wBitsPerSample = bits;
  format.nBlockAlign = static_cast<uint16_t>(channels * bits / 8);
  format.nAvgBytesPerSec = rate * format.nBlockAlign;
  return format;
}

// Records every notification with the header's flags as the callback saw them; a test may run
// its own code inside the callback.
class TRecorder {
 public:
  struct TEntry {
    uint32_t Msg;
    WAVEHDR* Header;
    uint32_t FlagsAtCall;
  };

  static void Callback(void* /*handle*/, uint32_t msg, uintptr_t instance, uintptr_t param1,
                       uintptr_t /*param2*/) {
    auto* recorder = reinterpret_cast<TRecorder*>(instance);
    auto* header = reinterpret_cast<WAVEHDR*>(param1);
    {
      std::lock_guard lock(recorder->FLock);
      recorder->FEntries.push_back({msg, header, header != nullptr ? header->dwFlags : 0});
    }
    if (header != nullptr && recorder->OnBlock) recorder->OnBlock(header);
    recorder->FChanged.notify_all();
  }
  uintptr_t Instance() { return reinterpret_cast<uintptr_t>(this); }
  uintptr_t Function() const { return reinterpret_cast<uintptr_t>(&Callback); }

  size_t Count(uint32_t msg) {
    std::lock_guard lock(FLock);
    return CountLocked(msg);
  }
  // Waits (generously: a stalled driver fails the test, a slow machine does not) until `count`
  // notifications `msg` have arrived.
  bool WaitFor(uint32_t msg, size_t count) {
    std::unique_lock lock(FLock);
    return FChanged.wait_for(lock, std::chrono::seconds(30),
                             [&] { return CountLocked(msg) >= count; });
  }
  std::vector<TEntry> Entries(uint32_t msg) {
    std::lock_guard lock(FLock);
    std::vector<TEntry> out;
    for (const TEntry& entry : FEntries) {
      if (entry.Msg == msg) out.push_back(entry);
    }
    return out;
  }
  std::vector<uint32_t> Messages() {
    std::lock_guard lock(FLock);
    std::vector<uint32_t> out;
    for (const TEntry& entry : FEntries) out.push_back(entry.Msg);
    return out;
  }

  std::function<void(WAVEHDR*)> OnBlock;

 private:
  size_t CountLocked(uint32_t msg) const {
    size_t n = 0;
    for (const TEntry& entry : FEntries) n += entry.Msg == msg ? 1 : 0;
    return n;
  }

  std::mutex FLock;
  std::condition_variable FChanged;
  std::vector<TEntry> FEntries;
};

// Blocks of memory with their headers, at fixed addresses.
struct TBlocks {
  TBlocks(size_t count, uint32_t bytes) : Data(count, std::vector<char>(bytes)), Headers(count) {
    for (size_t i = 0; i < count; ++i) {
      Headers[i] = WAVEHDR{};
      Headers[i].lpData = Data[i].data();
      Headers[i].dwBufferLength = bytes;
    }
  }
  WAVEHDR* operator[](size_t i) { return &Headers[i]; }
  size_t Size() const { return Headers.size(); }
  std::vector<char> Concatenated() const {
    std::vector<char> all;
    for (const auto& block : Data) all.insert(all.end(), block.begin(), block.end());
    return all;
  }

  std::vector<std::vector<char>> Data;
  std::deque<WAVEHDR> Headers;
};

// Fills blocks with a counting byte pattern, different in every block.
inline void FillPattern(TBlocks& blocks) {
  uint32_t n = 0;
  for (auto& block : blocks.Data) {
    for (char& byte : block) byte = static_cast<char>((n++ * 7 + 3) & 0xFF);
  }
}

class TTempDir {
 public:
  TTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "nrwave-XXXXXX").string();
    FPath = mkdtemp(pattern.data()) ? pattern : std::string();
  }
  ~TTempDir() {
    std::error_code ignored;
    if (!FPath.empty()) std::filesystem::remove_all(FPath, ignored);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  std::string File(const std::string& name) const { return FPath + "/" + name; }

 private:
  std::string FPath;
};

inline std::vector<char> ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(file), {});
}

inline void WriteFile(const std::string& path, const std::vector<char>& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Sets an environment variable for the scope and restores the previous state.
class TScopedEnv {
 public:
  TScopedEnv(const char* name, const std::string& value) : FName(name) {
    if (const char* old = getenv(name)) {
      FHadOld = true;
      FOld = old;
    }
    setenv(name, value.c_str(), 1);
  }
  ~TScopedEnv() {
    if (FHadOld) {
      setenv(FName, FOld.c_str(), 1);
    } else {
      unsetenv(FName);
    }
  }
  TScopedEnv(const TScopedEnv&) = delete;
  TScopedEnv& operator=(const TScopedEnv&) = delete;

 private:
  const char* FName;
  bool FHadOld = false;
  std::string FOld;
};

// The number of the device with this product name, or -1.
inline int FindDevice(bool input, const std::string& name) {
  const uint32_t count = input ? waveInGetNumDevs() : waveOutGetNumDevs();
  for (uint32_t id = 0; id < count; ++id) {
    char product[MAXPNAMELEN] = {};
    if (input) {
      WAVEINCAPSA caps{};
      if (waveInGetDevCapsA(id, &caps, sizeof caps) != MMSYSERR_NOERROR) continue;
      std::memcpy(product, caps.szPname, sizeof product);
    } else {
      WAVEOUTCAPSA caps{};
      if (waveOutGetDevCapsA(id, &caps, sizeof caps) != MMSYSERR_NOERROR) continue;
      std::memcpy(product, caps.szPname, sizeof product);
    }
    if (name == product) return static_cast<int>(id);
  }
  return -1;
}

inline uint32_t Position(HWAVEOUT handle, uint32_t type) {
  MMTIME time{};
  time.wType = type;
  return waveOutGetPosition(handle, &time, sizeof time) == MMSYSERR_NOERROR ? time.u.sample
                                                                            : 0xFFFFFFFF;
}

inline uint32_t Position(HWAVEIN handle, uint32_t type) {
  MMTIME time{};
  time.wType = type;
  return waveInGetPosition(handle, &time, sizeof time) == MMSYSERR_NOERROR ? time.u.sample
                                                                           : 0xFFFFFFFF;
}

// A RIFF WAVE file of PCM samples given as bytes.
inline std::vector<char> WaveFileBytes(uint32_t rate, uint16_t bits, uint16_t channels,
                                       const std::vector<char>& samples) {
  std::vector<char> out;
  auto put = [&](uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  };
  auto tag = [&](const char* text) { out.insert(out.end(), text, text + 4); };
  const uint16_t align = static_cast<uint16_t>(channels * bits / 8);
  tag("RIFF");
  put(static_cast<uint32_t>(4 + 8 + 16 + 8 + samples.size()), 4);
  tag("WAVE");
  tag("fmt ");
  put(16, 4);
  put(WAVE_FORMAT_PCM, 2);
  put(channels, 2);
  put(rate, 4);
  put(rate * align, 4);
  put(align, 2);
  put(bits, 2);
  tag("data");
  put(static_cast<uint32_t>(samples.size()), 4);
  out.insert(out.end(), samples.begin(), samples.end());
  return out;
}

}  // namespace wavetest
