// The play chain that both front ends use, on an output that takes blocks as fast as they come
// (the virtual output, unpaced): a device that pulls faster than the ring buffer's worker reads
// the file gets every byte of the file once, in order, and nothing else, whatever the format,
// the rate and the blocks.
#include "stream/play_chain.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/mainloop/main_loop.h"
#include "stream/ring_buffer.h"
#include "stream/wave_file.h"
#include "stream/wave_format.h"
#include "stream/wave_out.h"
#include "tests/stream/collected_reports.h"
#include "tests/stream/virtual_driver_setup.h"
#include "tests/stream/wave_test_data.h"

namespace {

using namespace wavetest;

struct PlayCase {
  const char* name;
  uint16_t tag;  // 1 PCM, 3 float, 6 A-law
  uint16_t channels;
  uint32_t rate;
  uint16_t bits;
  int32_t blockMs;  // 0: the window's standard blocks
};

class PlayChainUnpaced : public ::testing::TestWithParam<PlayCase> {
 protected:
  void SetUp() override {
    UseVirtualDriver("1000000");
    setenv("NEEDLEREC_VIRTUAL_OUTPUT", dir_.File("played.raw").c_str(), 1);
  }
  void TearDown() override { EndVirtualDriver(); }
  TTempDir dir_;
};

TEST_P(PlayChainUnpaced, TheDeviceReceivesExactlyTheFilesBytes) {
  const PlayCase c = GetParam();
  const size_t align = size_t(c.channels) * c.bits / 8;
  // Three times what the standard ring buffer holds (50 blocks of 8 KiB), and a partial block
  // at the end; bytes that change from frame to frame, so that a repeated or a silent block
  // shows.
  const size_t frames = 3 * 50 * 8192 / align + 333;
  std::string data;
  for (size_t i = 0; i < frames * align; ++i) data += char(i * 13 + i / 501 + 1);
  std::string chunks = Chunk("fmt ", FmtBody(c.tag, c.channels, c.rate, c.bits) +
                                          (c.tag == 1 ? std::string() : Le16(0)));
  if (c.tag != 1) chunks += Chunk("fact", Le32(uint32_t(frames)));
  const std::string name = dir_.File("in.wav");
  WriteFile(name, Riff(chunks + Chunk("data", data)));

  TCollectedReports reports;
  TMMPlayChain chain;
  chain.File->SetFileName(name);
  const WAVEFORMATEX* format = chain.File->GetPWaveFormat();
  ASSERT_NE(format, nullptr);
  if (c.blockMs > 0) chain.SetBlockBytes(MsToBytes(format, c.blockMs));
  std::atomic<bool> stopped{false};
  chain.WaveOut->OnStop = [&](TObject*) { stopped = true; };
  chain.WaveOut->Start();
  ASSERT_TRUE(RunUntil([&] { return stopped.load(); }, 60000)) << "the play never ended";
  chain.WaveOut->Close();
  EXPECT_EQ(chain.WaveOut->Underruns(), 0);
  EXPECT_TRUE(reports.Texts.empty()) << reports.Texts.front();
  const std::string played = ReadFile(dir_.File("played.raw"));
  EXPECT_EQ(played.size(), data.size());
  EXPECT_TRUE(played == data) << "the played bytes differ";
}

INSTANTIATE_TEST_SUITE_P(
    FormatsRatesAndBlocks, PlayChainUnpaced,
    ::testing::Values(PlayCase{"Window16BitStereo44k", 1, 2, 44100, 16, 0},
                      PlayCase{"CommandLine16BitStereo48k", 1, 2, 48000, 16, 375},
                      PlayCase{"Window8BitMono22k", 1, 1, 22050, 8, 0},
                      PlayCase{"CommandLine24BitStereo96k", 1, 2, 96000, 24, 375},
                      PlayCase{"WindowFloatStereo48k", 3, 2, 48000, 32, 0},
                      PlayCase{"CommandLineALawMono8k", 6, 1, 8000, 8, 375}),
    [](const ::testing::TestParamInfo<PlayCase>& info) { return std::string(info.param.name); });

}  // namespace
