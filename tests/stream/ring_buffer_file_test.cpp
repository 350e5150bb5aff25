// The ring buffer between a device thread and a real WAVE file, in both directions.
#include <gtest/gtest.h>

#include <thread>

#include "platform/kernel/clock.h"
#include "platform/mainloop/main_loop.h"
#include "stream/ring_buffer.h"
#include "stream/wave_file.h"
#include "stream/wave_format.h"
#include "tests/stream/memory_components.h"
#include "tests/stream/wave_test_data.h"

namespace {

using namespace wavetest;

class RingWithFile : public ::testing::TestWithParam<bool> {
 protected:
  void TearDown() override {
    EXPECT_TRUE(RunUntil([] { return LiveThreadCount() == 0; }, 5000));
    ReapFinishedThreads();
  }
  TTempDir dir_;
};

// A producer thread pushes 8192-byte blocks at the pace of 44.1 kHz 16-bit stereo (or as fast as
// it can); Stop returns when all of them are in the file.
TEST_P(RingWithFile, RecordingHoldsExactlyThePushedBytesInOrder) {
  const bool realTime = GetParam();
  TMMWaveFile file(nullptr);
  TMMRingBuffer ring(nullptr);
  WAVEFORMATEX f{};
  BuildPCMFormat(&f, 16, 2, 44100);
  ring.SetPWaveFormat(&f);
  ring.SetBufferSize(8192);
  ring.SetNumBuffers(50);
  ring.SetQueueMode(qmWrite);
  ring.SetWaitIfFull(!realTime);
  file.GetWave()->SetFileMustExist(false);
  file.SetFileName(dir_.File("rec.wav"));
  file.SetInput(&ring);
  ring.Open();
  file.Open();
  ring.Start();
  file.Start();

  const int blocks = realTime ? 40 : 600;  // ~1.9 s, or ~4.9 MB
  const std::vector<char> pushed = Pattern(size_t(blocks) * 8192, 3);
  std::thread producer([&] {
    std::vector<char> block(8192);
    for (int i = 0; i < blocks; ++i) {
      std::copy_n(pushed.begin() + i * 8192, 8192, block.begin());
      BlockHeader h{};
      h.lpData = block.data();
      h.dwBufferLength = h.dwBytesRecorded = 8192;
      ring.BufferReady(&h);
      if (realTime) Sleep(46);
    }
  });
  producer.join();
  ring.Stop();
  const std::string written = ReadFile(dir_.File("rec.wav"));
  ASSERT_GE(written.size(), kWrittenHeader + pushed.size())
      << "Stop returned before the file had it all";
  EXPECT_TRUE(std::equal(pushed.begin(), pushed.end(), written.begin() + kWrittenHeader));
  file.Stop();
  ring.Close();
  file.Close();
  const std::string finished = ReadFile(dir_.File("rec.wav"));
  EXPECT_EQ(finished.size(), kWrittenHeader + pushed.size());
  EXPECT_EQ(ReadLe32(finished, kWrittenHeader - 4), pushed.size());
}

INSTANTIATE_TEST_SUITE_P(Paces, RingWithFile, ::testing::Values(true, false), [](const auto& info) {
  return std::string(info.param ? "RealTime" : "AsFastAsPossible");
});

TEST(RingWithFilePlay, PullsTheFileDataExactlyAndEndsWithTheLastBlock) {
  TTempDir dir;
  const std::string samples = Samples16(44100 * 3 + 123, 2);  // a partial last block
  WriteFile(dir.File("play.wav"), Pcm16Stereo(samples));
  TMMWaveFile file(nullptr);
  TMMRingBuffer ring(nullptr);
  file.SetFileName(dir.File("play.wav"));
  ring.SetInput(&file);
  ring.SetBufferSize(8192);
  ring.SetNumBuffers(50);
  ring.SetQueueMode(qmRead);
  int underruns = 0;
  ring.OnEmpty = [&](TObject*) { ++underruns; };
  file.Open();
  ring.Open();
  file.Start();
  ring.Start();

  std::string pulled;
  bool more = true;
  std::thread consumer([&] {
    std::vector<char> block(8192);
    while (more) {
      BlockHeader h{};
      h.lpData = block.data();
      h.dwBufferLength = 8192;
      more = false;
      ring.BufferLoad(&h, more);
      if (h.dwBytesRecorded == 0) break;
      pulled.append(block.data(), h.dwBytesRecorded);
      Sleep(5);  // faster than real time, slower than the disk
    }
  });
  consumer.join();
  EXPECT_FALSE(more);
  EXPECT_EQ(underruns, 0);
  EXPECT_TRUE(pulled == samples) << pulled.size() << " of " << samples.size();
  ring.Close();
  file.Close();
  EXPECT_TRUE(RunUntil([] { return LiveThreadCount() == 0; }, 5000));
  ReapFinishedThreads();
}

}  // namespace
