// Driver of bench/wave_file_bench.sh: writes a WAVE file through a sink TMMWaveFile (blocks
// pushed with BufferReady) or reads one through a source TMMWaveFile (blocks pulled with
// BufferLoad), in 8192-byte blocks, and prints the rate in MB/s (10^6 bytes per second).
//   wave_file_driver write FILE MEGABYTES
//   wave_file_driver read FILE
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "stream/wave_file.h"

namespace {

constexpr uint32_t kBlock = 8192;

// The upstream end of the recording chain.
class TFeeder : public TMMDSPComponent {
 public:
  using TMMDSPComponent::TMMDSPComponent;
  bool HasOutputPort() const override { return true; }
};

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

int Write(const std::string& path, long megabytes) {
  WAVEFORMATEX format{};
  BuildPCMFormat(&format, 16, 2, 44100);
  TFeeder feeder(nullptr);
  TMMWaveFile file(nullptr);
  feeder.SetPWaveFormat(&format);
  file.SetInput(&feeder);
  file.GetWave()->SetFileMustExist(false);
  file.SetFileName(path);

  std::vector<char> data(kBlock);
  for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 31);
  const int64_t total = int64_t(megabytes) * 1000000;
  const auto start = std::chrono::steady_clock::now();
  file.Open();
  file.Start();
  for (int64_t done = 0; done < total;) {
    BlockHeader h{};
    h.lpData = data.data();
    h.dwBufferLength = h.dwBytesRecorded = uint32_t(std::min<int64_t>(kBlock, total - done));
    feeder.BufferReady(&h);
    done += h.dwBytesRecorded;
  }
  file.Stop();
  file.Close();
  const double seconds = Seconds(start);
  if (file.GetWave()->GetDataSize() * 4 != total) {
    std::fprintf(stderr, "wave_file_driver: the recording ended early\n");
    return 1;
  }
  std::printf("%.1f\n", double(total) / 1e6 / seconds);
  return 0;
}

int Read(const std::string& path) {
  TMMWaveFile file(nullptr);
  try {
    file.SetFileName(path);
  } catch (const EMMError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  std::vector<char> data(kBlock);
  int64_t total = 0;
  uint32_t sum = 0;
  const auto start = std::chrono::steady_clock::now();
  file.Open();
  file.Start();
  for (bool more = true; more;) {
    BlockHeader h{};
    h.lpData = data.data();
    h.dwBufferLength = kBlock;
    more = false;
    file.BufferLoad(&h, more);
    if (h.dwBytesRecorded == 0) break;
    total += h.dwBytesRecorded;
    sum += uint8_t(data[h.dwBytesRecorded - 1]);
  }
  file.Stop();
  file.Close();
  const double seconds = Seconds(start);
  std::fprintf(stderr, "read %lld bytes (check %u)\n", static_cast<long long>(total), sum);
  std::printf("%.1f\n", double(total) / 1e6 / seconds);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 3 && args[0] == "write") return Write(args[1], std::atol(args[2].c_str()));
  if (args.size() == 2 && args[0] == "read") return Read(args[1]);
  std::fprintf(stderr, "usage: wave_file_driver write FILE MEGABYTES | read FILE\n");
  return 2;
}
