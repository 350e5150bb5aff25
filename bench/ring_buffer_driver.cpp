// Driver of ring_buffer_bench.sh: moves a WAVE file's data through a ring buffer and prints the
// rate in MB/s (10^6 bytes of sample data per second).
//   ring_buffer_driver write FILE MEGABYTES   a producer thread pushes 8192-byte blocks through a
//                                             qmWrite ring into a sink TMMWaveFile
//   ring_buffer_driver read FILE              a consumer thread pulls 8192-byte blocks through a
//                                             qmRead ring from a source TMMWaveFile
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/clock.h"
#include "platform/mainloop/main_loop.h"
#include "stream/ring_buffer.h"
#include "stream/wave_file.h"
#include "stream/wave_format.h"

namespace {

using Clock = std::chrono::steady_clock;

double Rate(uint64_t bytes, Clock::duration elapsed) {
  return double(bytes) / 1e6 / std::chrono::duration<double>(elapsed).count();
}

int Write(const std::string& path, uint64_t megabytes) {
  TMMWaveFile file(nullptr);
  TMMRingBuffer ring(nullptr);
  WAVEFORMATEX f{};
  BuildPCMFormat(&f, 16, 2, 44100);
  ring.SetPWaveFormat(&f);
  ring.SetBufferSize(8192);
  ring.SetNumBuffers(50);
  ring.SetQueueMode(qmWrite);
  ring.SetWaitIfFull(true);
  file.GetWave()->SetFileMustExist(false);
  file.SetFileName(path);
  file.SetInput(&ring);
  ring.Open();
  file.Open();
  ring.Start();
  file.Start();
  const uint64_t blocks = megabytes * 1000000 / 8192;
  std::vector<char> block(8192, 5);
  const auto began = Clock::now();
  std::thread producer([&] {
    for (uint64_t i = 0; i < blocks; ++i) {
      BlockHeader h{};
      h.lpData = block.data();
      h.dwBufferLength = h.dwBytesRecorded = 8192;
      ring.BufferReady(&h);
    }
  });
  producer.join();
  ring.Stop();  // returns when every byte is in the file
  const auto elapsed = Clock::now() - began;
  ring.Close();
  file.Close();
  std::printf("%.1f\n", Rate(blocks * 8192, elapsed));
  return 0;
}

int Read(const std::string& path) {
  TMMWaveFile file(nullptr);
  TMMRingBuffer ring(nullptr);
  file.SetFileName(path);
  ring.SetInput(&file);
  ring.SetBufferSize(8192);
  ring.SetNumBuffers(50);
  ring.SetQueueMode(qmRead);
  std::atomic<bool> empty{false};
  ring.OnEmpty = [&](TObject*) { empty = true; };
  file.Open();
  ring.Open();
  file.Start();
  ring.Start();
  uint64_t bytes = 0;
  const auto began = Clock::now();
  std::thread consumer([&] {
    std::vector<char> block(8192);
    bool more = true;
    while (more) {
      BlockHeader h{};
      h.lpData = block.data();
      h.dwBufferLength = 8192;
      more = false;
      empty = false;
      ring.BufferLoad(&h, more);
      if (empty) {  // silence while the worker catches up: not data, try again shortly
        more = true;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
        continue;
      }
      if (h.dwBytesRecorded == 0) break;
      bytes += h.dwBytesRecorded;
    }
  });
  consumer.join();
  const auto elapsed = Clock::now() - began;
  ring.Close();
  file.Close();
  std::printf("%.1f\n", Rate(bytes, elapsed));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  try {
    if (args.size() == 3 && args[0] == "write") return Write(args[1], std::stoull(args[2]));
    if (args.size() == 2 && args[0] == "read") return Read(args[1]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  std::fprintf(stderr, "usage: ring_buffer_driver write FILE MEGABYTES | read FILE\n");
  return 2;
}
