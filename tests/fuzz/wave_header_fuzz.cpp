// Fuzz target: arbitrary bytes as a WAVE file, through the header parse, the streaming reads and
// seeks, an append with the size patching on close, the wave object and the info command.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "cli/info.h"
#include "stream/wave.h"
#include "stream/wave_io.h"

namespace {

// One file in memory, rewritten for every input.
int MemoryFile() {
  static const int fd = memfd_create("wave-fuzz", 0);
  return fd;
}

void ExerciseRecord(const std::string& path) {
  PWaveIORecord record = nullptr;
  if (WaveIOReadHeader(record, path, FOURCC_WAVE, WIOF_FILE) != WIOERR_NOERROR) return;
  char buffer[777];
  if (WaveIOOpen(record) == WIOERR_NOERROR) {
    while (WaveIORead(record, buffer, sizeof buffer) > 0) {
    }
    WaveIOSeek(record, record->TotalSamples / 2);
    WaveIORead(record, buffer, sizeof buffer);
    WaveIOSeek(record, int64_t(record->TotalSamples) + 5);
    WaveIOWriteFits(record, 3);
    WaveIOWrite(record, "abc", 3);
  }
  WaveIOFree(record);
}

void ExerciseWave(const std::string& path) {
  try {
    TMMWave wave;
    wave.SetFileName(path);
    wave.OpenFile();
    char buffer[1000];
    while (wave.ReadData(buffer, sizeof buffer) > 0) {
    }
    wave.SetTimeFormat(tfMillisecond);
    wave.SetPosition(wave.GetDataSize() / 3);
    wave.ReadData(buffer, 3);
  } catch (const EMMWaveError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = MemoryFile();
  if (fd < 0 || ftruncate(fd, 0) != 0) return 0;
  if (size > 0 && pwrite(fd, data, size, 0) != ssize_t(size)) return 0;
  const std::string path = "/proc/self/fd/" + std::to_string(fd);

  PWaveIORecord info = nullptr;
  WaveIOReadHeader(info, path, FOURCC_WAVE, WIOF_INFOONLY);
  WaveIOFree(info);
  {
    std::ostringstream out, err;
    InfoCommand({path, "--json"}, out, err);
  }
  ExerciseWave(path);
  // Last: this one appends to the file.
  ExerciseRecord(path);
  return 0;
}
