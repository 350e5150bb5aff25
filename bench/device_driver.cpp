// Driver of device_bench.sh: runs the play or record chain on the virtual devices (which the
// script runs faster than real time) and prints the process's CPU seconds per hour of audio.
//   device_driver play-chain FILE        TMMWaveFile -> ring (qmRead) -> TMMWaveOut
//   device_driver play-engine SECONDS    a memory source -> TMMWaveOut (no file, no ring)
//   device_driver record-chain FILE SECONDS   TMMWaveIn -> ring (qmWrite) -> TMMWaveFile
//   device_driver record-engine SECONDS  TMMWaveIn -> a sink that drops the blocks
#include <sys/resource.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/mainloop/main_loop.h"
#include "stream/ring_buffer.h"
#include "stream/wave_file.h"
#include "stream/wave_in.h"
#include "stream/wave_out.h"

namespace {

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Serves `bytes` bytes of a constant pattern to pulls.
class TPatternSource : public TMMDSPComponent {
 public:
  TPatternSource(int64_t bytes) : TMMDSPComponent(nullptr), FLeft(bytes) {
    WAVEFORMATEX f{};
    BuildPCMFormat(&f, 16, 2, 44100);
    SetPWaveFormat(&f);
  }
  bool HasOutputPort() const override { return true; }
  void BufferLoad(PWaveHdr h, bool& more) override {
    const int64_t n = std::min<int64_t>(h->dwBufferLength, FLeft);
    std::memset(h->lpData, 0x11, size_t(n));
    FLeft -= n;
    h->dwBytesRecorded = uint32_t(n);
    more = FLeft > 0;
  }

 private:
  int64_t FLeft;
};

class TDropSink : public TMMDSPComponent {
 public:
  using TMMDSPComponent::TMMDSPComponent;
  bool HasInputPort() const override { return true; }
  void BufferReady(PWaveHdr) override {}
};

template <typename TDevice>
void Run(TDevice& device) {
  std::atomic<bool> stopped{false};
  device.OnStop = [&](TObject*) { stopped = true; };
  device.SetBufferSize(8192);
  device.SetNumBuffers(20);
  device.SetCallBackMode(cmThread);
  device.Start();
  RunUntil([&] { return stopped.load(); }, 3600 * 1000);
  device.Close();
}

void Report(double cpu, double audioSeconds) {
  std::printf("%.2f\n", cpu * 3600 / audioSeconds);
}

void ConfigureInput(TMMWaveIn& in, double seconds) {
  in.SetMode(mStereo);
  in.SetBitLength(b16Bit);
  in.SetSampleRate(44100);
  in.SetTimeFormat(tfMillisecond);
  in.SetMaxRecordTime(int32_t(seconds * 1000));
  in.SetDeviceID(int32_t(waveInGetNumDevs()) - 1);  // the virtual input is listed last
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  try {
    const double before = CpuSeconds();
    if (args.size() == 2 && args[0] == "play-chain") {
      TMMWaveFile file(nullptr);
      TMMRingBuffer ring(nullptr);
      TMMWaveOut out(nullptr);
      file.SetFileName(args[1]);
      ring.SetBufferSize(8192);
      ring.SetNumBuffers(50);
      ring.SetQueueMode(qmRead);
      ring.SetInput(&file);
      out.SetInput(&ring);
      out.SetDeviceID(int32_t(waveOutGetNumDevs()) - 1);
      Run(out);
      Report(CpuSeconds() - before, double(file.GetTotalLengthMs()) / 1000);
      return 0;
    }
    if (args.size() == 2 && args[0] == "play-engine") {
      const double seconds = std::stod(args[1]);
      TPatternSource source(int64_t(seconds * 44100) * 4);
      TMMWaveOut out(nullptr);
      out.SetInput(&source);
      out.SetDeviceID(int32_t(waveOutGetNumDevs()) - 1);
      Run(out);
      Report(CpuSeconds() - before, seconds);
      return 0;
    }
    if (args.size() == 3 && args[0] == "record-chain") {
      const double seconds = std::stod(args[2]);
      TMMWaveFile file(nullptr);
      TMMRingBuffer ring(nullptr);
      TMMWaveIn in(nullptr);
      ConfigureInput(in, seconds);
      ring.SetBufferSize(8192);
      ring.SetNumBuffers(50);
      ring.SetQueueMode(qmWrite);
      file.GetWave()->SetFileMustExist(false);
      file.SetFileName(args[1]);
      in.SetOutput(&ring);
      ring.SetOutput(&file);
      Run(in);
      Report(CpuSeconds() - before, seconds);
      return 0;
    }
    if (args.size() == 2 && args[0] == "record-engine") {
      const double seconds = std::stod(args[1]);
      TDropSink sink(nullptr);
      TMMWaveIn in(nullptr);
      ConfigureInput(in, seconds);
      in.SetOutput(&sink);
      Run(in);
      Report(CpuSeconds() - before, seconds);
      return 0;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  std::fprintf(stderr,
               "usage: device_driver play-chain FILE | play-engine S | record-chain FILE S | "
               "record-engine S\n");
  return 2;
}
