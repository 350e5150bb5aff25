#include "platform/wave/alsa_driver.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>

#include "platform/wave/system_driver.h"
#include "tests/platform/wave/wave_test_util.h"

namespace {

using namespace std::chrono_literals;
using namespace wavetest;

TEST(AlsaDeviceNames, AListSplitsAtBarsOnlyAndKeepsTheCommasOfAlsaNames) {
  struct TCase {
    const char* List;
    std::vector<std::string> Names;
  };
  const TCase cases[] = {
      {"", {}},
      {"hw:1,0", {"hw:1,0"}},
      {" plughw:CARD=PCH,DEV=0 |default", {"plughw:CARD=PCH,DEV=0", "default"}},
      {"plug:{slave.pcm \"hw:0,0\"; } | null|| \t", {"plug:{slave.pcm \"hw:0,0\"; }"}},
      {"a|null|b|", {"a", "b"}},
  };
  for (const TCase& c : cases) EXPECT_EQ(SplitAlsaDeviceNames(c.List), c.Names) << c.List;

  // The device list names each one whole.
  {
    TScopedEnv names("NEEDLEREC_ALSA_DEVICES", "hw:1,0|plughw:CARD=PCH,DEV=0");
    RescanWaveDevices();
    EXPECT_EQ(FindDevice(false, "hw:1,0"), 0);
    EXPECT_EQ(FindDevice(true, "plughw:CARD=PCH,DEV=0"), 1);
    EXPECT_EQ(waveInGetNumDevs(), 3u);  // and the virtual input
  }
  RescanWaveDevices();
}

// ALSA devices from a configuration of the test's own: playback into a file and capture from
// a file, both through the `file` plugin over a `null` slave. Only this configuration is read
// (ALSA_CONFIG_PATH), so the machine's sound setup plays no part.
class AlsaFileDevices : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string config =
        "pcm.nr_play {\n"
        "  type file\n"
        "  slave.pcm { type null }\n"
        "  file \"" +
        Dir.File("play.raw") +
        "\"\n"
        "  format raw\n"
        "}\n"
        "pcm.nr_rec {\n"
        "  type file\n"
        "  slave.pcm { type null }\n"
        "  file \"/dev/null\"\n"
        "  infile \"" +
        Dir.File("rec.raw") +
        "\"\n"
        "  format raw\n"
        "}\n"
        // Integer samples only: the linear plugin converts them to its slave's 16 bits.
        "pcm.nr_int {\n"
        "  type linear\n"
        "  slave { pcm { type null } format S16_LE }\n"
        "}\n";
    WriteFile(Dir.File("asound.conf"), std::vector<char>(config.begin(), config.end()));
    // Longer than any recording: past its end the plugin repeats the last period.
    Input.resize(400000);
    for (size_t i = 0; i < Input.size(); ++i)
      Input[i] = static_cast<char>((i * 11 + i / 256) & 0xFF);
    WriteFile(Dir.File("rec.raw"), Input);

    FConfig.emplace("ALSA_CONFIG_PATH", Dir.File("asound.conf"));
    FNames.emplace("NEEDLEREC_ALSA_DEVICES", "nr_play|nr_rec|nr_missing|nr_int");
    RescanWaveDevices();
    OutId = FindDevice(false, "nr_play");
    InId = FindDevice(true, "nr_rec");
    ASSERT_EQ(OutId, 0);
    ASSERT_EQ(InId, 1);
    const MMRESULT query = waveOutOpen(nullptr, OutId, &Format, 0, 0, WAVE_FORMAT_QUERY);
    if (query != MMSYSERR_NOERROR) {
      char text[MAXERRORLENGTH] = {};
      waveOutGetErrorTextA(query, text, sizeof text);
      GTEST_SKIP() << "libasound cannot open the test configuration: " << text;
    }
  }
  void TearDown() override {
    // Ends whatever a failed assertion left open before the recorder goes.
    SystemWaveDriver()->AbandonAll();
    FNames.reset();
    FConfig.reset();
  }

  TTempDir Dir;
  std::optional<TScopedEnv> FConfig;
  std::optional<TScopedEnv> FNames;
  std::vector<char> Input;
  const WAVEFORMATEX Format = Pcm(44100, 16, 2);
  TRecorder Rec;
  int OutId = -1;
  int InId = -1;
};

TEST_F(AlsaFileDevices, PlaybackPassesEveryByteWrittenAndReturnsBlocksInOrder) {
  // Whole periods and a block that ends inside a frame.
  TBlocks blocks(6, 17640);
  blocks.Headers[5].dwBufferLength = 1001;
  FillPattern(blocks);
  HWAVEOUT handle = nullptr;
  ASSERT_EQ(waveOutOpen(&handle, OutId, &Format, Rec.Function(), Rec.Instance(), CALLBACK_FUNCTION),
            MMSYSERR_NOERROR);
  EXPECT_EQ(Rec.Messages(), std::vector<uint32_t>{WOM_OPEN});
  for (size_t i = 0; i < blocks.Size(); ++i) {
    ASSERT_EQ(waveOutPrepareHeader(handle, blocks[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(handle, blocks[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  }
  ASSERT_TRUE(Rec.WaitFor(WOM_DONE, blocks.Size()));
  const auto done = Rec.Entries(WOM_DONE);
  for (size_t i = 0; i < done.size(); ++i) {
    EXPECT_EQ(done[i].Header, blocks[i]);
    EXPECT_EQ(done[i].FlagsAtCall & (WHDR_DONE | WHDR_INQUEUE), WHDR_DONE);
  }
  // Whole frames only: the partial frame at the end is not played.
  EXPECT_EQ(Position(handle, TIME_SAMPLES), 5 * 4410u + 250u);
  ASSERT_EQ(waveOutClose(handle), MMSYSERR_NOERROR);
  EXPECT_EQ(Rec.Messages().back(), WOM_CLOSE);

  std::vector<char> expected = blocks.Concatenated();
  expected.resize(5 * 17640 + 1000);
  EXPECT_EQ(ReadFile(Dir.File("play.raw")), expected);
}

TEST_F(AlsaFileDevices, CaptureDeliversTheInputFile) {
  TBlocks blocks(4, 17640);
  HWAVEIN handle = nullptr;
  ASSERT_EQ(waveInOpen(&handle, InId, &Format, Rec.Function(), Rec.Instance(), CALLBACK_FUNCTION),
            MMSYSERR_NOERROR);
  for (size_t i = 0; i < blocks.Size(); ++i) {
    ASSERT_EQ(waveInPrepareHeader(handle, blocks[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInAddBuffer(handle, blocks[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  }
  ASSERT_EQ(waveInStart(handle), MMSYSERR_NOERROR);
  ASSERT_TRUE(Rec.WaitFor(WIM_DATA, blocks.Size()));
  EXPECT_EQ(Position(handle, TIME_SAMPLES), 4 * 4410u);
  ASSERT_EQ(waveInReset(handle), MMSYSERR_NOERROR);
  EXPECT_EQ(Position(handle, TIME_SAMPLES), 0u);
  ASSERT_EQ(waveInClose(handle), MMSYSERR_NOERROR);

  const auto data = Rec.Entries(WIM_DATA);
  for (size_t i = 0; i < data.size(); ++i) {
    EXPECT_EQ(data[i].Header, blocks[i]);
    EXPECT_EQ(blocks[i]->dwBytesRecorded, 17640u);
  }
  EXPECT_EQ(blocks.Concatenated(), std::vector<char>(Input.begin(), Input.begin() + 4 * 17640));
}

TEST_F(AlsaFileDevices, PausedPlaybackKeepsItsBlocksAndResetReturnsThemAll) {
  TBlocks blocks(3, 17640);
  HWAVEOUT handle = nullptr;
  ASSERT_EQ(waveOutOpen(&handle, OutId, &Format, Rec.Function(), Rec.Instance(), CALLBACK_FUNCTION),
            MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutPause(handle), MMSYSERR_NOERROR);
  for (size_t i = 0; i < blocks.Size(); ++i) {
    ASSERT_EQ(waveOutPrepareHeader(handle, blocks[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(handle, blocks[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  }
  // The file plugin takes data at any speed: only the pause keeps the blocks queued.
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(Rec.Count(WOM_DONE), 0u);
  EXPECT_EQ(waveOutClose(handle), WAVERR_STILLPLAYING);

  ASSERT_EQ(waveOutReset(handle), MMSYSERR_NOERROR);
  const auto done = Rec.Entries(WOM_DONE);
  ASSERT_EQ(done.size(), 3u);
  for (size_t i = 0; i < done.size(); ++i) EXPECT_EQ(done[i].Header, blocks[i]);
  EXPECT_EQ(Position(handle, TIME_SAMPLES), 0u);

  // Restarted, the device plays again.
  ASSERT_EQ(waveOutRestart(handle), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutWrite(handle, blocks[0], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  ASSERT_TRUE(Rec.WaitFor(WOM_DONE, 4));
  EXPECT_EQ(Position(handle, TIME_SAMPLES), 4410u);
  EXPECT_EQ(waveOutClose(handle), MMSYSERR_NOERROR);
}

TEST_F(AlsaFileDevices, ADeviceMissingFromTheConfigurationFailsWithAResultCode) {
  const int missing = FindDevice(false, "nr_missing");
  ASSERT_EQ(missing, 2);
  HWAVEOUT handle = nullptr;
  EXPECT_EQ(waveOutOpen(nullptr, missing, &Format, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NODRIVER);
  EXPECT_EQ(
      waveOutOpen(&handle, missing, &Format, Rec.Function(), Rec.Instance(), CALLBACK_FUNCTION),
      MMSYSERR_NODRIVER);
  EXPECT_EQ(handle, nullptr);
  EXPECT_TRUE(Rec.Messages().empty());
  // A format no device can take is refused before ALSA is asked.
  const WAVEFORMATEX odd = Pcm(44100, 12, 2);
  EXPECT_EQ(waveOutOpen(nullptr, OutId, &odd, 0, 0, WAVE_FORMAT_QUERY), WAVERR_BADFORMAT);
}

// A format record of another sample format, plain or extensible.
struct TWideFormat {
  const char* Name;
  uint16_t Tag;
  uint16_t Bits;
  uint16_t Channels;
  uint16_t ValidBits;  // extensible only
  GUID SubFormat;      // extensible only
  bool IntegerSamples;

  WAVEFORMATEXTENSIBLE Record() const {
    WAVEFORMATEXTENSIBLE record{};
    record.Format = Pcm(44100, Bits, Channels);
    record.Format.wFormatTag = Tag;
    if (Tag == WAVE_FORMAT_EXTENSIBLE) {
      record.Format.cbSize = WAVEFORMATEXTENSIBLE::kExtraBytes;
      record.Samples.wValidBitsPerSample = ValidBits;
      record.dwChannelMask = Channels == 2 ? 3 : 4;
      record.SubFormat = SubFormat;
    }
    return record;
  }
};

TEST_F(AlsaFileDevices, WiderFormatsPlayByteForByteWhereTheDeviceTakesThemAndAreRefusedElsewhere) {
  constexpr uint16_t kExt = WAVE_FORMAT_EXTENSIBLE;
  const GUID none{};
  const TWideFormat formats[] = {
      {"24-bit", WAVE_FORMAT_PCM, 24, 2, 0, none, true},
      {"32-bit", WAVE_FORMAT_PCM, 32, 1, 0, none, true},
      {"float", WAVE_FORMAT_IEEE_FLOAT, 32, 2, 0, none, false},
      {"double", WAVE_FORMAT_IEEE_FLOAT, 64, 2, 0, none, false},
      {"A-law", WAVE_FORMAT_ALAW, 8, 1, 0, none, false},
      {"mu-law", WAVE_FORMAT_MULAW, 8, 2, 0, none, false},
      {"extensible 20 of 24 bits", kExt, 24, 2, 20, KSDATAFORMAT_SUBTYPE_PCM, true},
      {"extensible float", kExt, 32, 2, 32, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, false},
  };
  const int integerOnly = FindDevice(false, "nr_int");
  ASSERT_EQ(integerOnly, 3);
  for (const TWideFormat& wide : formats) {
    SCOPED_TRACE(wide.Name);
    const WAVEFORMATEXTENSIBLE record = wide.Record();
    const WAVEFORMATEX* format = &record.Format;
    std::remove(Dir.File("play.raw").c_str());

    // Three blocks of whole frames in every one of these formats.
    TBlocks blocks(3, 4800);
    FillPattern(blocks);
    TRecorder rec;
    HWAVEOUT handle = nullptr;
    ASSERT_EQ(waveOutOpen(nullptr, OutId, format, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
    ASSERT_EQ(
        waveOutOpen(&handle, OutId, format, rec.Function(), rec.Instance(), CALLBACK_FUNCTION),
        MMSYSERR_NOERROR);
    for (size_t i = 0; i < blocks.Size(); ++i) {
      ASSERT_EQ(waveOutPrepareHeader(handle, blocks[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
      ASSERT_EQ(waveOutWrite(handle, blocks[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    }
    ASSERT_TRUE(rec.WaitFor(WOM_DONE, blocks.Size()));
    EXPECT_EQ(Position(handle, TIME_SAMPLES), 3 * 4800u / format->nBlockAlign);
    ASSERT_EQ(waveOutClose(handle), MMSYSERR_NOERROR);
    EXPECT_EQ(ReadFile(Dir.File("play.raw")), blocks.Concatenated());

    // A device without this sample format refuses it, asked or opened, and sends nothing.
    const MMRESULT expected = wide.IntegerSamples ? MMSYSERR_NOERROR : WAVERR_BADFORMAT;
    EXPECT_EQ(waveOutOpen(nullptr, integerOnly, format, 0, 0, WAVE_FORMAT_QUERY), expected);
    TRecorder refused;
    handle = nullptr;
    EXPECT_EQ(waveOutOpen(&handle, integerOnly, format, refused.Function(), refused.Instance(),
                          CALLBACK_FUNCTION),
              expected);
    if (handle != nullptr) {
      EXPECT_EQ(waveOutClose(handle), MMSYSERR_NOERROR);
    }
    EXPECT_EQ(refused.Count(WOM_OPEN), wide.IntegerSamples ? 1u : 0u);
  }
}

}  // namespace
