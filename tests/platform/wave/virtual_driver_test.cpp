#include "platform/wave/virtual_driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "platform/wave/system_driver.h"
#include "tests/platform/wave/wave_test_util.h"

namespace {

using namespace std::chrono_literals;
using namespace wavetest;
using Clock = std::chrono::steady_clock;

// The system driver with no ALSA devices, so the virtual devices are the whole list.
class VirtualDevices : public ::testing::Test {
 protected:
  void SetUp() override {
    RescanWaveDevices();
    OutId = FindDevice(false, "Virtual output (test device)");
    InId = FindDevice(true, "Virtual input (test signal)");
    ASSERT_EQ(OutId, 0);
    ASSERT_EQ(InId, 0);
  }
  // Ends whatever a failed assertion left open before the recorder goes.
  void TearDown() override { SystemWaveDriver()->AbandonAll(); }

  HWAVEOUT OpenOut(const WAVEFORMATEX& format) {
    HWAVEOUT handle = nullptr;
    EXPECT_EQ(
        waveOutOpen(&handle, OutId, &format, Rec.Function(), Rec.Instance(), CALLBACK_FUNCTION),
        MMSYSERR_NOERROR);
    return handle;
  }
  HWAVEIN OpenIn(const WAVEFORMATEX& format) {
    HWAVEIN handle = nullptr;
    EXPECT_EQ(waveInOpen(&handle, InId, &format, Rec.Function(), Rec.Instance(), CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    return handle;
  }
  static void PrepareAll(HWAVEOUT handle, TBlocks& blocks) {
    for (size_t i = 0; i < blocks.Size(); ++i) {
      ASSERT_EQ(waveOutPrepareHeader(handle, blocks[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    }
  }
  static void PrepareAll(HWAVEIN handle, TBlocks& blocks) {
    for (size_t i = 0; i < blocks.Size(); ++i) {
      ASSERT_EQ(waveInPrepareHeader(handle, blocks[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    }
  }
  // Records `count` blocks of `bytes` and returns them.
  TBlocks Record(const WAVEFORMATEX& format, size_t count, uint32_t bytes) {
    TBlocks blocks(count, bytes);
    TRecorder rec;
    HWAVEIN handle = nullptr;
    EXPECT_EQ(waveInOpen(&handle, InId, &format, rec.Function(), rec.Instance(), CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    PrepareAll(handle, blocks);
    for (size_t i = 0; i < count; ++i) {
      EXPECT_EQ(waveInAddBuffer(handle, blocks[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    }
    EXPECT_EQ(waveInStart(handle), MMSYSERR_NOERROR);
    EXPECT_TRUE(rec.WaitFor(WIM_DATA, count));
    EXPECT_EQ(waveInReset(handle), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(handle), MMSYSERR_NOERROR);
    return blocks;
  }

  TScopedEnv FNoAlsa{"NEEDLEREC_ALSA_DEVICES", ""};
  TScopedEnv FSpeed{"NEEDLEREC_VIRTUAL_SPEED", "50"};
  TTempDir Dir;
  TRecorder Rec;
  int OutId = -1;
  int InId = -1;
};

TEST_F(VirtualDevices, AlsaDevicesComeFirstAndTheMapperIsTheFirstDevice) {
  WAVEOUTCAPSA mapper{};
  ASSERT_EQ(waveOutGetDevCapsA(WAVE_MAPPER, &mapper, sizeof mapper), MMSYSERR_NOERROR);
  EXPECT_STREQ(mapper.szPname, "Virtual output (test device)");
  WAVEINCAPSA caps{};
  EXPECT_EQ(waveInGetDevCapsA(1, &caps, sizeof caps), MMSYSERR_BADDEVICEID);

  // Names from the environment are listed first, in order, `null` never, long ones cut.
  const std::string longName(40, 'x');
  TScopedEnv names("NEEDLEREC_ALSA_DEVICES", " first| null |" + longName);
  RescanWaveDevices();
  ASSERT_EQ(waveOutGetNumDevs(), 3u);
  ASSERT_EQ(waveInGetNumDevs(), 3u);
  const std::vector<std::string> expected = {"first", std::string(31, 'x'),
                                             "Virtual output (test device)"};
  for (uint32_t id = 0; id < 3; ++id) {
    WAVEOUTCAPSA out{};
    ASSERT_EQ(waveOutGetDevCapsA(id, &out, sizeof out), MMSYSERR_NOERROR);
    EXPECT_EQ(out.szPname, expected[id]);
  }
  EXPECT_EQ(waveOutGetDevCapsA(WAVE_MAPPER, &mapper, sizeof mapper), MMSYSERR_NOERROR);
  EXPECT_STREQ(mapper.szPname, "first");
  EXPECT_EQ(FindDevice(true, "Virtual input (test signal)"), 2);
}

TEST_F(VirtualDevices, FormatQueryOnlyAnswers) {
  // The output takes the wider sample formats too; the input produces 8 or 16 bits.
  struct TCase {
    WAVEFORMATEX Format;
    MMRESULT ExpectedOut;
    MMRESULT ExpectedIn;
  };
  constexpr MMRESULT ok = MMSYSERR_NOERROR;
  constexpr MMRESULT bad = WAVERR_BADFORMAT;
  WAVEFORMATEX halfFloat = Pcm(44100, 16, 2);
  halfFloat.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
  WAVEFORMATEX badAlign = Pcm(44100, 16, 2);
  badAlign.nBlockAlign = 2;
  WAVEFORMATEX floats = Pcm(48000, 32, 2);
  floats.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
  WAVEFORMATEX alaw = Pcm(8000, 8, 1);
  alaw.wFormatTag = WAVE_FORMAT_ALAW;
  const TCase cases[] = {
      {Pcm(44100, 16, 2), ok, ok},
      {Pcm(4000, 8, 1), ok, ok},
      {Pcm(100000, 16, 4), ok, ok},
      {Pcm(3999, 16, 2), bad, bad},
      {Pcm(100001, 16, 2), bad, bad},
      {Pcm(44100, 24, 2), ok, bad},
      {Pcm(44100, 12, 2), bad, bad},
      {Pcm(44100, 16, 3), bad, bad},
      {halfFloat, bad, bad},
      {badAlign, bad, bad},
      {floats, ok, bad},
      {alaw, ok, bad},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.Format.wFormatTag << ": " << c.Format.nSamplesPerSec << " Hz, "
                 << c.Format.wBitsPerSample << " bits, " << c.Format.nChannels << " channels");
    EXPECT_EQ(waveOutOpen(nullptr, OutId, &c.Format, Rec.Function(), Rec.Instance(),
                          CALLBACK_FUNCTION | WAVE_FORMAT_QUERY),
              c.ExpectedOut);
    EXPECT_EQ(waveInOpen(nullptr, InId, &c.Format, Rec.Function(), Rec.Instance(),
                         CALLBACK_FUNCTION | WAVE_FORMAT_QUERY),
              c.ExpectedIn);
    if (c.ExpectedOut != MMSYSERR_NOERROR) {
      HWAVEOUT handle = nullptr;
      EXPECT_EQ(waveOutOpen(&handle, OutId, &c.Format, 0, 0, CALLBACK_NULL), c.ExpectedOut);
      EXPECT_EQ(handle, nullptr);
    }
    if (c.ExpectedIn != MMSYSERR_NOERROR) {
      HWAVEIN handle = nullptr;
      EXPECT_EQ(waveInOpen(&handle, InId, &c.Format, 0, 0, CALLBACK_NULL), c.ExpectedIn);
      EXPECT_EQ(handle, nullptr);
    }
  }
  EXPECT_TRUE(Rec.Messages().empty());
}

TEST_F(VirtualDevices, OutputPlaysAtItsPaceAndReturnsBlocksInOrder) {
  // One second of audio at ten times real time.
  TScopedEnv speed("NEEDLEREC_VIRTUAL_SPEED", "10");
  TScopedEnv file("NEEDLEREC_VIRTUAL_OUTPUT", Dir.File("out.raw"));
  const WAVEFORMATEX format = Pcm(44100, 16, 2);
  TBlocks blocks(10, 17640);
  FillPattern(blocks);

  HWAVEOUT handle = OpenOut(format);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(Rec.Messages(), std::vector<uint32_t>{WOM_OPEN});
  PrepareAll(handle, blocks);
  EXPECT_TRUE(blocks[0]->dwFlags & WHDR_PREPARED);

  const Clock::time_point start = Clock::now();
  for (size_t i = 0; i < blocks.Size(); ++i) {
    ASSERT_EQ(waveOutWrite(handle, blocks[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  }
  ASSERT_TRUE(Rec.WaitFor(WOM_DONE, 10));
  // About 100 ms; a driver that does not pace finishes at once.
  EXPECT_GE(Clock::now() - start, 50ms);

  const auto done = Rec.Entries(WOM_DONE);
  for (size_t i = 0; i < done.size(); ++i) {
    EXPECT_EQ(done[i].Header, blocks[i]);
    EXPECT_TRUE(done[i].FlagsAtCall & WHDR_DONE);
    EXPECT_FALSE(done[i].FlagsAtCall & WHDR_INQUEUE);
  }
  EXPECT_EQ(Position(handle, TIME_SAMPLES), 44100u);
  EXPECT_EQ(Position(handle, TIME_BYTES), 176400u);
  EXPECT_EQ(Position(handle, TIME_MS), 1000u);

  for (size_t i = 0; i < blocks.Size(); ++i) {
    EXPECT_EQ(waveOutUnprepareHeader(handle, blocks[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  }
  EXPECT_EQ(waveOutClose(handle), MMSYSERR_NOERROR);
  EXPECT_EQ(Rec.Messages().back(), WOM_CLOSE);
  EXPECT_EQ(ReadFile(Dir.File("out.raw")), blocks.Concatenated());
}

TEST_F(VirtualDevices, OutputFileHoldsEveryByteWrittenWhateverTheBlockLengths) {
  struct TCase {
    WAVEFORMATEX Format;
    std::vector<uint32_t> Lengths;
  };
  // Blocks that end inside a frame, and empty ones, still come back in order and in full.
  const TCase cases[] = {
      {Pcm(8000, 8, 1), {1001, 0, 7, 300}},
      {Pcm(44100, 16, 2), {1001, 2, 0, 4, 4410}},
      {Pcm(22050, 16, 4), {999, 8, 13}},
  };
  int n = 0;
  for (const TCase& c : cases) {
    SCOPED_TRACE(n);
    const std::string path = Dir.File("out" + std::to_string(n++) + ".raw");
    TScopedEnv file("NEEDLEREC_VIRTUAL_OUTPUT", path);
    TRecorder rec;
    HWAVEOUT handle = nullptr;
    ASSERT_EQ(
        waveOutOpen(&handle, OutId, &c.Format, rec.Function(), rec.Instance(), CALLBACK_FUNCTION),
        MMSYSERR_NOERROR);
    std::vector<std::vector<char>> data;
    std::deque<WAVEHDR> headers;
    std::vector<char> expected;
    for (uint32_t length : c.Lengths) {
      data.emplace_back(length);
      for (char& byte : data.back()) byte = static_cast<char>(expected.size() * 13 + 1);
      for (char byte : data.back()) expected.push_back(byte);
    }
    for (auto& block : data) {
      headers.push_back(WAVEHDR{});
      headers.back().lpData = block.data();
      headers.back().dwBufferLength = static_cast<uint32_t>(block.size());
      ASSERT_EQ(waveOutPrepareHeader(handle, &headers.back(), sizeof(WAVEHDR)), MMSYSERR_NOERROR);
      ASSERT_EQ(waveOutWrite(handle, &headers.back(), sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    }
    ASSERT_TRUE(rec.WaitFor(WOM_DONE, headers.size()));
    const auto done = rec.Entries(WOM_DONE);
    for (size_t i = 0; i < done.size(); ++i) EXPECT_EQ(done[i].Header, &headers[i]);
    ASSERT_EQ(waveOutClose(handle), MMSYSERR_NOERROR);
    EXPECT_EQ(ReadFile(path), expected);
  }
}

TEST_F(VirtualDevices, ResetReturnsEveryQueuedBlockAtOnce) {
  // Half a minute a block in real time: none can finish before the reset.
  TScopedEnv speed("NEEDLEREC_VIRTUAL_SPEED", "1");
  const WAVEFORMATEX format = Pcm(8000, 8, 1);
  TBlocks blocks(4, 240000);
  HWAVEOUT handle = OpenOut(format);
  PrepareAll(handle, blocks);
  for (size_t i = 0; i < blocks.Size(); ++i) {
    ASSERT_EQ(waveOutWrite(handle, blocks[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  }
  EXPECT_EQ(waveOutClose(handle), WAVERR_STILLPLAYING);

  ASSERT_EQ(waveOutReset(handle), MMSYSERR_NOERROR);
  const auto done = Rec.Entries(WOM_DONE);
  ASSERT_EQ(done.size(), 4u);
  for (size_t i = 0; i < done.size(); ++i) {
    EXPECT_EQ(done[i].Header, blocks[i]);
    EXPECT_TRUE(done[i].FlagsAtCall & WHDR_DONE);
    EXPECT_FALSE(done[i].FlagsAtCall & WHDR_INQUEUE);
  }
  EXPECT_EQ(Position(handle, TIME_SAMPLES), 0u);
  EXPECT_EQ(waveOutClose(handle), MMSYSERR_NOERROR);
}

TEST_F(VirtualDevices, PausedOutputHoldsItsBlocksUntilRestart) {
  const WAVEFORMATEX format = Pcm(44100, 16, 2);
  TBlocks blocks(3, 17640);
  HWAVEOUT handle = OpenOut(format);
  PrepareAll(handle, blocks);
  // Paused before the first write, as a device primes its blocks.
  ASSERT_EQ(waveOutPause(handle), MMSYSERR_NOERROR);
  for (size_t i = 0; i < blocks.Size(); ++i) {
    ASSERT_EQ(waveOutWrite(handle, blocks[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  }
  // Many times the blocks' play time at this speed.
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(Rec.Count(WOM_DONE), 0u);
  EXPECT_EQ(Position(handle, TIME_SAMPLES), 0u);
  EXPECT_EQ(blocks[0]->dwFlags & (WHDR_INQUEUE | WHDR_DONE), WHDR_INQUEUE);

  ASSERT_EQ(waveOutRestart(handle), MMSYSERR_NOERROR);
  ASSERT_TRUE(Rec.WaitFor(WOM_DONE, 3));
  EXPECT_EQ(Position(handle, TIME_SAMPLES), 3 * 4410u);
  EXPECT_EQ(waveOutClose(handle), MMSYSERR_NOERROR);
}

TEST_F(VirtualDevices, CallbackMayWriteAndReadThePositionFromTheDriverThread) {
  const WAVEFORMATEX format = Pcm(44100, 16, 2);
  TBlocks blocks(2, 1764);
  std::atomic<HWAVEOUT> handle{nullptr};
  std::atomic<int> returned{0};
  std::atomic<int> failures{0};
  Rec.OnBlock = [&](WAVEHDR* header) {
    if (++returned > 18) return;
    MMTIME time{};
    time.wType = TIME_SAMPLES;
    if (waveOutGetPosition(handle, &time, sizeof time) != MMSYSERR_NOERROR) ++failures;
    if (waveOutWrite(handle, header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR) ++failures;
  };
  handle = OpenOut(format);
  for (size_t i = 0; i < blocks.Size(); ++i) {
    ASSERT_EQ(waveOutPrepareHeader(handle, blocks[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(handle, blocks[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  }
  ASSERT_TRUE(Rec.WaitFor(WOM_DONE, 20));
  EXPECT_EQ(failures, 0);
  // The blocks alternate, as they were queued.
  const auto done = Rec.Entries(WOM_DONE);
  for (size_t i = 0; i < done.size(); ++i) EXPECT_EQ(done[i].Header, blocks[i % 2]);
  EXPECT_EQ(waveOutClose(handle), MMSYSERR_NOERROR);
}

// RMS of one channel of 16-bit interleaved samples.
double Rms(const std::vector<char>& block, int channel, int channels) {
  const auto* samples = reinterpret_cast<const int16_t*>(block.data());
  const size_t frames = block.size() / 2 / channels;
  double sum = 0;
  for (size_t i = 0; i < frames; ++i) {
    const double v = samples[i * channels + channel];
    sum += v * v;
  }
  return std::sqrt(sum / static_cast<double>(frames));
}

TEST_F(VirtualDevices, InputProgrammeDiffersLeftAndRightAndChangesLevel) {
  // Four seconds in quarter-second blocks.
  const WAVEFORMATEX format = Pcm(44100, 16, 2);
  TBlocks blocks = Record(format, 16, 44100);
  double leftMin = 1e9, leftMax = 0, rightMin = 1e9, rightMax = 0, largestGap = 0;
  for (size_t i = 0; i < blocks.Size(); ++i) {
    EXPECT_EQ(blocks[i]->dwBytesRecorded, 44100u);
    const double left = Rms(blocks.Data[i], 0, 2);
    const double right = Rms(blocks.Data[i], 1, 2);
    leftMin = std::min(leftMin, left);
    leftMax = std::max(leftMax, left);
    rightMin = std::min(rightMin, right);
    rightMax = std::max(rightMax, right);
    largestGap = std::max(largestGap, std::max(left, right) / std::max(1.0, std::min(left, right)));
  }
  EXPECT_GT(leftMin, 0);
  EXPECT_GT(leftMax / leftMin, 3);
  EXPECT_GT(rightMax / rightMin, 3);
  EXPECT_GT(largestGap, 2);
}

TEST_F(VirtualDevices, InputFillsTheRequestedFormat) {
  struct TCase {
    uint16_t Bits;
    uint16_t Channels;
  };
  for (const TCase c : {TCase{8, 1}, TCase{8, 2}, TCase{16, 1}, TCase{16, 4}}) {
    SCOPED_TRACE(testing::Message() << c.Bits << " bits, " << c.Channels << " channels");
    const WAVEFORMATEX format = Pcm(22050, c.Bits, c.Channels);
    const uint32_t bytes = 2205 * format.nBlockAlign;
    TBlocks blocks = Record(format, 2, bytes);
    for (size_t i = 0; i < blocks.Size(); ++i) {
      EXPECT_EQ(blocks[i]->dwBytesRecorded, bytes);
      const auto [low, high] = std::minmax_element(blocks.Data[i].begin(), blocks.Data[i].end());
      EXPECT_NE(*low, *high);
    }
    if (c.Bits == 8) {
      // Unsigned samples around 128.
      double sum = 0;
      for (char byte : blocks.Data[0]) sum += static_cast<uint8_t>(byte);
      EXPECT_NEAR(sum / bytes, 128, 8);
    }
  }
}

TEST_F(VirtualDevices, InputPlaysAWaveFileLoopedAndConverted) {
  struct TCase {
    WAVEFORMATEX File;
    WAVEFORMATEX Requested;
  };
  const TCase cases[] = {
      {Pcm(8000, 16, 2), Pcm(8000, 16, 2)},  // as it is
      {Pcm(8000, 8, 1), Pcm(16000, 16, 2)},  // upsampled, widened, to both channels
      {Pcm(16000, 16, 2), Pcm(8000, 8, 1)},  // downsampled, mixed to mono, narrowed
  };
  constexpr int kFileFrames = 100;
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.File.wBitsPerSample << " -> " << c.Requested.wBitsPerSample);
    // Distinct samples: frame f, channel k.
    std::vector<int16_t> file;
    std::vector<char> bytes;
    for (int f = 0; f < kFileFrames; ++f) {
      for (int k = 0; k < c.File.nChannels; ++k) {
        if (c.File.wBitsPerSample == 8) {
          const auto value = static_cast<uint8_t>(20 + 2 * f + k);
          bytes.push_back(static_cast<char>(value));
          file.push_back(static_cast<int16_t>((value - 128) * 256));
        } else {
          const auto value = static_cast<int16_t>(300 * f - 9000 + 77 * k);
          bytes.push_back(static_cast<char>(value & 0xFF));
          bytes.push_back(static_cast<char>((value >> 8) & 0xFF));
          file.push_back(value);
        }
      }
    }
    const std::string path = Dir.File("in.wav");
    WriteFile(path,
              WaveFileBytes(c.File.nSamplesPerSec, c.File.wBitsPerSample, c.File.nChannels, bytes));
    TScopedEnv input("NEEDLEREC_VIRTUAL_INPUT", path);
    // Two and a half passes through the file.
    const uint32_t frames = 250 * c.Requested.nSamplesPerSec / c.File.nSamplesPerSec;
    TBlocks blocks = Record(c.Requested, 1, frames * c.Requested.nBlockAlign);
    ASSERT_EQ(blocks[0]->dwBytesRecorded, frames * c.Requested.nBlockAlign);

    const auto* out = reinterpret_cast<const uint8_t*>(blocks.Data[0].data());
    for (uint32_t i = 0; i < frames; ++i) {
      const size_t source =
          (static_cast<size_t>(i) * c.File.nSamplesPerSec / c.Requested.nSamplesPerSec) %
          kFileFrames;
      const int16_t left = file[source * c.File.nChannels];
      const int16_t right = c.File.nChannels == 2 ? file[source * 2 + 1] : left;
      std::vector<int16_t> expected =
          c.Requested.nChannels == 1
              ? std::vector<int16_t>{static_cast<int16_t>((left + right) / 2)}
              : std::vector<int16_t>{left, right};
      for (size_t k = 0; k < expected.size(); ++k) {
        if (c.Requested.wBitsPerSample == 8) {
          ASSERT_EQ(out[i * expected.size() + k], static_cast<uint8_t>((expected[k] >> 8) + 128))
              << "frame " << i;
        } else {
          const size_t at = (i * expected.size() + k) * 2;
          ASSERT_EQ(static_cast<int16_t>(out[at] | (out[at + 1] << 8)), expected[k])
              << "frame " << i;
        }
      }
    }
  }
}

TEST_F(VirtualDevices, AnUnreadableInputFileFailsTheOpenWithAText) {
  TScopedEnv input("NEEDLEREC_VIRTUAL_INPUT", Dir.File("missing.wav"));
  const WAVEFORMATEX format = Pcm(44100, 16, 2);
  HWAVEIN handle = nullptr;
  EXPECT_EQ(waveInOpen(&handle, InId, &format, Rec.Function(), Rec.Instance(), CALLBACK_FUNCTION),
            WAVEDRVERR_INPUTFILE);
  EXPECT_EQ(handle, nullptr);
  char text[MAXERRORLENGTH] = {};
  ASSERT_EQ(waveInGetErrorTextA(WAVEDRVERR_INPUTFILE, text, sizeof text), MMSYSERR_NOERROR);
  EXPECT_NE(std::string(text).find("NEEDLEREC_VIRTUAL_INPUT"), std::string::npos);
}

TEST(WaveFileSamples, MalformedFilesAreRefusedWithoutReadingPastTheEnd) {
  const std::vector<char> good = WaveFileBytes(8000, 16, 2, std::vector<char>(40, 1));
  auto patched = [&](size_t at, std::vector<uint8_t> bytes) {
    std::vector<char> copy = good;
    for (size_t i = 0; i < bytes.size(); ++i) copy[at + i] = static_cast<char>(bytes[i]);
    return copy;
  };
  struct TCase {
    const char* Name;
    std::vector<char> Bytes;
  };
  const TCase cases[] = {
      {"empty", {}},
      {"header only", std::vector<char>(good.begin(), good.begin() + 12)},
      {"cut inside fmt", std::vector<char>(good.begin(), good.begin() + 30)},
      {"no data chunk", std::vector<char>(good.begin(), good.begin() + 36)},
      {"empty data", WaveFileBytes(8000, 16, 2, {})},
      {"less than a frame", WaveFileBytes(8000, 16, 2, std::vector<char>(3, 1))},
      {"not RIFF", patched(0, {'R', 'I', 'F', 'X'})},
      {"not WAVE", patched(8, {'A', 'V', 'I', ' '})},
      {"fmt longer than the file", patched(16, {0xFF, 0xFF, 0xFF, 0x7F})},
      {"fmt too short", patched(16, {8, 0, 0, 0})},
      {"float samples", patched(20, {3, 0})},
      {"three channels", patched(22, {3, 0})},
      {"24 bits", patched(34, {24, 0})},
      {"rate 0", patched(24, {0, 0, 0, 0})},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    // An exact-size copy, so that a read past the end is caught by the sanitizer.
    std::vector<uint8_t> bytes(c.Bytes.begin(), c.Bytes.end());
    TWaveFileSamples samples;
    EXPECT_FALSE(ParseWaveFileSamples(bytes.data(), bytes.size(), samples));
  }

  // A data chunk whose size overstates what the file holds gives the samples that are there.
  std::vector<char> unfinished = patched(40, {0xFF, 0xFF, 0xFF, 0xFF});
  TWaveFileSamples samples;
  ASSERT_TRUE(ParseWaveFileSamples(reinterpret_cast<const uint8_t*>(unfinished.data()),
                                   unfinished.size(), samples));
  EXPECT_EQ(samples.Frames(), 10u);
  EXPECT_EQ(samples.SampleRate, 8000u);
}

TEST_F(VirtualDevices, InputFillsOnlyWhileStartedAndStopReturnsThePartBlock) {
  // Half a minute a block in real time: stop comes in the middle of the first one.
  TScopedEnv speed("NEEDLEREC_VIRTUAL_SPEED", "1");
  const WAVEFORMATEX format = Pcm(8000, 8, 1);
  TBlocks blocks(2, 240000);
  HWAVEIN handle = OpenIn(format);
  PrepareAll(handle, blocks);
  for (size_t i = 0; i < blocks.Size(); ++i) {
    ASSERT_EQ(waveInAddBuffer(handle, blocks[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  }
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(Position(handle, TIME_SAMPLES), 0u);
  EXPECT_EQ(blocks[0]->dwBytesRecorded, 0u);

  ASSERT_EQ(waveInStart(handle), MMSYSERR_NOERROR);
  const Clock::time_point limit = Clock::now() + 20s;
  while (Position(handle, TIME_SAMPLES) < 80 && Clock::now() < limit) {
    std::this_thread::sleep_for(2ms);
  }
  ASSERT_GE(Position(handle, TIME_SAMPLES), 80u);
  ASSERT_EQ(waveInStop(handle), MMSYSERR_NOERROR);

  // The part block is back when stop returns; the empty one stays queued.
  const auto data = Rec.Entries(WIM_DATA);
  ASSERT_EQ(data.size(), 1u);
  EXPECT_EQ(data[0].Header, blocks[0]);
  EXPECT_GE(blocks[0]->dwBytesRecorded, 80u);
  EXPECT_LT(blocks[0]->dwBytesRecorded, 240000u);
  EXPECT_TRUE(data[0].FlagsAtCall & WHDR_DONE);
  EXPECT_EQ(blocks[1]->dwFlags & (WHDR_INQUEUE | WHDR_DONE), WHDR_INQUEUE);
  EXPECT_EQ(Position(handle, TIME_SAMPLES), 0u);
  EXPECT_EQ(waveInClose(handle), WAVERR_STILLPLAYING);

  ASSERT_EQ(waveInReset(handle), MMSYSERR_NOERROR);
  ASSERT_EQ(Rec.Count(WIM_DATA), 2u);
  EXPECT_EQ(Rec.Entries(WIM_DATA)[1].Header, blocks[1]);
  EXPECT_EQ(blocks[1]->dwBytesRecorded, 0u);
  EXPECT_EQ(waveInClose(handle), MMSYSERR_NOERROR);
  EXPECT_EQ(Rec.Messages().front(), WIM_OPEN);
  EXPECT_EQ(Rec.Messages().back(), WIM_CLOSE);
}

TEST_F(VirtualDevices, HeadersMustBePreparedAndCannotBeQueuedTwice) {
  const WAVEFORMATEX format = Pcm(44100, 16, 2);
  TBlocks blocks(1, 4410);
  HWAVEOUT handle = OpenOut(format);
  ASSERT_EQ(waveOutPause(handle), MMSYSERR_NOERROR);
  WAVEHDR* header = blocks[0];
  EXPECT_EQ(waveOutWrite(handle, header, sizeof(WAVEHDR)), WAVERR_UNPREPARED);
  EXPECT_EQ(waveOutPrepareHeader(handle, nullptr, sizeof(WAVEHDR)), MMSYSERR_INVALPARAM);
  EXPECT_EQ(waveOutPrepareHeader(handle, header, 8), MMSYSERR_INVALPARAM);

  ASSERT_EQ(waveOutPrepareHeader(handle, header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  header->dwFlags |= WHDR_DONE;
  ASSERT_EQ(waveOutWrite(handle, header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  EXPECT_EQ(header->dwFlags, WHDR_PREPARED | WHDR_INQUEUE);
  EXPECT_EQ(waveOutWrite(handle, header, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
  EXPECT_EQ(waveOutUnprepareHeader(handle, header, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);

  ASSERT_EQ(waveOutReset(handle), MMSYSERR_NOERROR);
  EXPECT_EQ(header->dwFlags, WHDR_PREPARED | WHDR_DONE);
  EXPECT_EQ(waveOutUnprepareHeader(handle, header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  EXPECT_EQ(header->dwFlags, WHDR_DONE);
  EXPECT_EQ(waveOutClose(handle), MMSYSERR_NOERROR);
}

}  // namespace
