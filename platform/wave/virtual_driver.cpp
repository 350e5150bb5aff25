#include "platform/wave/virtual_driver.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <numbers>

#include "platform/wave/sample_format.h"

namespace {

using Clock = std::chrono::steady_clock;

// A larger file is read only this far: the loop is played from what fits.
constexpr size_t kMaxWaveFileBytes = size_t{256} << 20;

uint16_t Le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// How many times faster than real time the virtual devices run.
double VirtualSpeed() {
  const char* text = std::getenv("NEEDLEREC_VIRTUAL_SPEED");
  if (text == nullptr || *text == '\0') return 1.0;
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || !std::isfinite(value) || value <= 0) return 1.0;
  return std::clamp(value, 0.01, 1e6);
}

std::string EnvPath(const char* name) {
  const char* text = std::getenv(name);
  return text == nullptr ? std::string() : std::string(text);
}

// Real-time pacing with absolute deadlines: frame n of a run is due at base + n / rate, so
// rounding in one wait never accumulates. A new run (after a pause, a reset or an empty
// queue) starts from the current time.
class TPaceClock {
 public:
  explicit TPaceClock(double framesPerSecond) : FFramesPerSecond(framesPerSecond) {}

  void Invalidate() { FValid = false; }
  // When `more` frames beyond those already consumed are due.
  Clock::time_point DeadlineFor(uint64_t more) {
    if (!FValid) {
      FBase = Clock::now();
      FFrames = 0;
      FValid = true;
    }
    const std::chrono::duration<double> offset(static_cast<double>(FFrames + more) /
                                               FFramesPerSecond);
    return FBase + std::chrono::duration_cast<Clock::duration>(offset);
  }
  void Advance(uint64_t frames) { FFrames += frames; }

 private:
  const double FFramesPerSecond;
  Clock::time_point FBase;
  uint64_t FFrames = 0;
  bool FValid = false;
};

// Frames handled per step: 10 ms of audio, so positions and stops are that fine.
uint64_t ChunkFrames(const WAVEFORMATEX& format) {
  return std::max<uint64_t>(1, format.nSamplesPerSec / 100);
}

class TVirtualOutStream : public TWaveStream {
 public:
  TVirtualOutStream(uint32_t deviceId, const WAVEFORMATEX& format, const TWaveNotify& notify,
                    double speed, std::FILE* file)
      : TWaveStream(false, deviceId, format, notify),
        FClock(format.nSamplesPerSec * speed),
        FChunk(ChunkFrames(format)),
        FFile(file) {}
  ~TVirtualOutStream() override { Abandon(); }

 protected:
  void Execute() override {
    const uint32_t align = FFormat.nBlockAlign;
    std::vector<WAVEHDR*> done;
    std::unique_lock lock(FLock);
    while (!FQuit) {
      if (FPaused || FQueue.empty()) {
        FClock.Invalidate();
        FWakeup.wait(lock);
        continue;
      }
      WAVEHDR* header = FQueue.front();
      const uint64_t frames =
          std::min<uint64_t>((header->dwBufferLength - FOffset) / align, FChunk);
      if (frames > 0) {
        const uint64_t generation = FGeneration;
        if (FWakeup.wait_until(lock, FClock.DeadlineFor(frames),
                               [&] { return FQuit || FPaused || FGeneration != generation; })) {
          continue;
        }
      }
      uint32_t bytes = static_cast<uint32_t>(frames * align);
      // A tail shorter than one frame goes with the last step.
      if (header->dwBufferLength - FOffset - bytes < align)
        bytes = header->dwBufferLength - FOffset;
      if (FFile != nullptr && bytes > 0) std::fwrite(header->lpData + FOffset, 1, bytes, FFile);
      FOffset += bytes;
      FClock.Advance(frames);
      FFrames += frames;
      if (FOffset >= header->dwBufferLength) {
        FQueue.pop_front();
        FOffset = 0;
        MarkDone(header, done);
        lock.unlock();
        Deliver(done);
        done.clear();
        lock.lock();
      }
    }
  }
  MMRESULT OnPause() override {
    FClock.Invalidate();
    return MMSYSERR_NOERROR;
  }
  MMRESULT OnRestart() override {
    FClock.Invalidate();
    return MMSYSERR_NOERROR;
  }
  void OnReset() override {
    FOffset = 0;
    FClock.Invalidate();
  }
  void ReleaseEngine() override {
    if (FFile != nullptr) std::fclose(FFile);
    FFile = nullptr;
  }

 private:
  TPaceClock FClock;
  const uint64_t FChunk;
  std::FILE* FFile;
  uint32_t FOffset = 0;  // bytes of the front block consumed
};

// The samples the virtual input produces: the test programme, or a WAVE file looped.
class TVirtualSource {
 public:
  TVirtualSource(const WAVEFORMATEX& format, TWaveFileSamples file)
      : FFormat(format), FFile(std::move(file)) {}

  void Generate(char* out, uint64_t frames) {
    auto* bytes = reinterpret_cast<uint8_t*>(out);
    for (uint64_t i = 0; i < frames; ++i, ++FCursor) {
      int16_t left;
      int16_t right;
      if (FFile.Frames() > 0) {
        FileFrame(left, right);
      } else {
        ProgrammeFrame(left, right);
      }
      switch (FFormat.nChannels) {
        case 1:
          bytes = Put(bytes, static_cast<int16_t>((left + right) / 2));
          break;
        case 2:
          bytes = Put(Put(bytes, left), right);
          break;
        default:
          bytes = Put(Put(Put(Put(bytes, left), right), left), right);
          break;
      }
    }
  }

 private:
  // Left 440 Hz and right 660 Hz, each swelling between -24 and -3 dB over a 4 s cycle, in
  // opposite phase: the channels differ and every meter moves. The programme repeats every
  // 4 s exactly, so it is computed from the position within the cycle.
  void ProgrammeFrame(int16_t& left, int16_t& right) const {
    const uint64_t rate = FFormat.nSamplesPerSec;
    const double t = static_cast<double>(FCursor % (4 * rate)) / static_cast<double>(rate);
    constexpr double kTwoPi = 2 * std::numbers::pi;
    const double swell = 0.5 - 0.5 * std::cos(kTwoPi * t / 4);
    const double leftGain = std::pow(10.0, (-24 + 21 * swell) / 20);
    const double rightGain = std::pow(10.0, (-24 + 21 * (1 - swell)) / 20);
    left = static_cast<int16_t>(std::lround(32767 * leftGain * std::sin(kTwoPi * 440 * t)));
    right = static_cast<int16_t>(std::lround(32767 * rightGain * std::sin(kTwoPi * 660 * t)));
  }

  // Nearest sample of the file at this position, looped.
  void FileFrame(int16_t& left, int16_t& right) const {
    const uint64_t frame = (FCursor * FFile.SampleRate / FFormat.nSamplesPerSec) % FFile.Frames();
    left = FFile.Samples[frame * FFile.Channels];
    right = FFile.Channels == 2 ? FFile.Samples[frame * 2 + 1] : left;
  }

  uint8_t* Put(uint8_t* out, int16_t value) const {
    if (FFormat.wBitsPerSample == 8) {
      *out = static_cast<uint8_t>((value >> 8) + 128);
      return out + 1;
    }
    const auto bits = static_cast<uint16_t>(value);
    out[0] = static_cast<uint8_t>(bits & 0xFF);
    out[1] = static_cast<uint8_t>(bits >> 8);
    return out + 2;
  }

  const WAVEFORMATEX FFormat;
  const TWaveFileSamples FFile;
  uint64_t FCursor = 0;
};

class TVirtualInStream : public TWaveStream {
 public:
  TVirtualInStream(uint32_t deviceId, const WAVEFORMATEX& format, const TWaveNotify& notify,
                   double speed, TWaveFileSamples file)
      : TWaveStream(true, deviceId, format, notify),
        FClock(format.nSamplesPerSec * speed),
        FChunk(ChunkFrames(format)),
        FSource(format, std::move(file)) {}
  ~TVirtualInStream() override { Abandon(); }

 protected:
  void Execute() override {
    const uint32_t align = FFormat.nBlockAlign;
    std::vector<WAVEHDR*> done;
    std::unique_lock lock(FLock);
    while (!FQuit) {
      if (!FStarted || FQueue.empty()) {
        FClock.Invalidate();
        FWakeup.wait(lock);
        continue;
      }
      WAVEHDR* header = FQueue.front();
      const uint64_t frames =
          std::min<uint64_t>((header->dwBufferLength - header->dwBytesRecorded) / align, FChunk);
      if (frames > 0) {
        const uint64_t generation = FGeneration;
        if (FWakeup.wait_until(lock, FClock.DeadlineFor(frames),
                               [&] { return FQuit || !FStarted || FGeneration != generation; })) {
          continue;
        }
        FSource.Generate(header->lpData + header->dwBytesRecorded, frames);
        header->dwBytesRecorded += static_cast<uint32_t>(frames * align);
        FClock.Advance(frames);
        FFrames += frames;
      }
      if (header->dwBufferLength - header->dwBytesRecorded < align) {
        FQueue.pop_front();
        MarkDone(header, done);
        lock.unlock();
        Deliver(done);
        done.clear();
        lock.lock();
      }
    }
  }
  MMRESULT OnStart() override {
    FClock.Invalidate();
    return MMSYSERR_NOERROR;
  }
  void OnStop() override { FClock.Invalidate(); }
  void OnReset() override { FClock.Invalidate(); }

 private:
  TPaceClock FClock;
  const uint64_t FChunk;
  TVirtualSource FSource;
};

}  // namespace

bool ParseWaveFileSamples(const uint8_t* data, size_t size, TWaveFileSamples& out) {
  if (data == nullptr || size < 12 || std::memcmp(data, "RIFF", 4) != 0 ||
      std::memcmp(data + 8, "WAVE", 4) != 0) {
    return false;
  }
  bool haveFormat = false;
  uint16_t tag = 0;
  uint16_t channels = 0;
  uint32_t rate = 0;
  uint16_t bits = 0;
  const uint8_t* samples = nullptr;
  size_t sampleBytes = 0;
  size_t pos = 12;
  while (pos + 8 <= size) {
    const uint8_t* id = data + pos;
    const uint32_t length = Le32(data + pos + 4);
    const size_t body = pos + 8;
    const size_t available = size - body;
    if (std::memcmp(id, "fmt ", 4) == 0) {
      if (length < 16 || length > available) return false;
      tag = Le16(data + body);
      channels = Le16(data + body + 2);
      rate = Le32(data + body + 4);
      bits = Le16(data + body + 14);
      // The extensible form names its sample format in the first field of its sub-format.
      if (tag == 0xFFFE && length >= 40) tag = Le16(data + body + 24);
      haveFormat = true;
    } else if (std::memcmp(id, "data", 4) == 0) {
      // A recording that was never finished has a short or oversized data length: take what
      // the file holds.
      samples = data + body;
      sampleBytes = std::min<size_t>(length, available);
    }
    if (length > available) break;
    pos = body + length + (length & 1);
  }
  if (!haveFormat || samples == nullptr || tag != WAVE_FORMAT_PCM) return false;
  if ((channels != 1 && channels != 2) || (bits != 8 && bits != 16) || rate == 0) return false;
  const size_t frameBytes = size_t{channels} * bits / 8;
  const size_t frames = sampleBytes / frameBytes;
  if (frames == 0) return false;

  out.SampleRate = rate;
  out.Channels = channels;
  out.Samples.resize(frames * channels);
  for (size_t i = 0; i < out.Samples.size(); ++i) {
    out.Samples[i] = bits == 8 ? static_cast<int16_t>((samples[i] - 128) * 256)
                               : static_cast<int16_t>(Le16(samples + 2 * i));
  }
  return true;
}

bool ReadWaveFileSamples(const std::string& path, TWaveFileSamples& out) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::vector<uint8_t> bytes;
  char buffer[65536];
  while (bytes.size() < kMaxWaveFileBytes &&
         file.read(buffer, static_cast<std::streamsize>(sizeof buffer)).gcount() > 0) {
    bytes.insert(bytes.end(), buffer, buffer + file.gcount());
  }
  return ParseWaveFileSamples(bytes.data(), bytes.size(), out);
}

std::string TVirtualBackend::ProductName(bool input, size_t /*index*/) const {
  return input ? "Virtual input (test signal)" : "Virtual output (test device)";
}

std::string TVirtualBackend::SystemName(bool /*input*/, size_t /*index*/) const {
  return kTestDeviceSystemName;
}

namespace {

// The output takes every sample format the devices know (it only paces and copies frames); the
// input produces 8- or 16-bit PCM.
bool Takes(bool input, const WAVEFORMATEX& format) {
  return input ? IsSupportedPcmFormat(format) : IsDeviceSampleFormat(format);
}

}  // namespace

MMRESULT TVirtualBackend::Query(bool input, size_t /*index*/, const WAVEFORMATEX& format) {
  return Takes(input, format) ? MMSYSERR_NOERROR : WAVERR_BADFORMAT;
}

MMRESULT TVirtualBackend::Open(bool input, size_t /*index*/, uint32_t deviceId,
                               const WAVEFORMATEX& format, const TWaveNotify& notify,
                               std::shared_ptr<TWaveStream>& stream) {
  if (!Takes(input, format)) return WAVERR_BADFORMAT;
  const double speed = VirtualSpeed();
  std::shared_ptr<TWaveStream> result;
  if (input) {
    TWaveFileSamples file;
    const std::string path = EnvPath("NEEDLEREC_VIRTUAL_INPUT");
    if (!path.empty() && !ReadWaveFileSamples(path, file)) return WAVEDRVERR_INPUTFILE;
    result = std::make_shared<TVirtualInStream>(deviceId, format, notify, speed, std::move(file));
  } else {
    std::FILE* file = nullptr;
    const std::string path = EnvPath("NEEDLEREC_VIRTUAL_OUTPUT");
    if (!path.empty()) {
      file = std::fopen(path.c_str(), "ab");
      if (file == nullptr) return WAVEDRVERR_OUTPUTFILE;
    }
    result = std::make_shared<TVirtualOutStream>(deviceId, format, notify, speed, file);
  }
  if (!result->StartThread()) return MMSYSERR_NOMEM;
  stream = std::move(result);
  return MMSYSERR_NOERROR;
}
