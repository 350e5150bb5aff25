// The connector: blocks pass on unchanged while their copy is cut into pieces that reach the
// instruments at the pace the audio plays; new blocks, partner blocks, pause, stop, refusals, and
// a refresh loop that waits while nothing plays.
#include "stream/connector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/kernel/clock.h"
#include "platform/mainloop/main_loop.h"
#include "stream/wave_format.h"
#include "tests/stream/memory_components.h"

namespace {

using Clock = std::chrono::steady_clock;

// An instrument that notes every piece: when it came, and its first 16-bit sample.
class TFakeInstrument : public TMMInstrumentData {
 public:
  explicit TFakeInstrument(int32_t numBytes) : FNumBytes(numBytes) {}
  struct TPiece {
    Clock::time_point At;
    int16_t First;
  };
  void SetPWaveFormat(const WAVEFORMATEX* Format) override {
    if (Refuse) throw EMMError("Invalid WaveFormat");
    Format_ = *Format;
  }
  int32_t GetNumBytes() const override { return FNumBytes; }
  void RefreshPCMData(const void* Data) override {
    int16_t first;
    std::memcpy(&first, Data, sizeof first);
    std::lock_guard guard(Lock);
    Pieces.push_back({Clock::now(), first});
  }
  void ResetData() override { ++Resets; }
  size_t Count() {
    std::lock_guard guard(Lock);
    return Pieces.size();
  }

  std::mutex Lock;
  std::vector<TPiece> Pieces;
  int Resets = 0;
  bool Refuse = false;
  WAVEFORMATEX Format_{};

 private:
  int32_t FNumBytes;
};

// 8192 bytes of 16-bit stereo whose frame i holds the value `base` + i in both channels, so a
// piece's first sample tells its offset.
std::vector<int16_t> Block(int16_t base, size_t bytes = 8192) {
  std::vector<int16_t> block(bytes / 2);
  for (size_t i = 0; i < block.size(); ++i) block[i] = int16_t(base + int(i / 2));
  return block;
}

class ConnectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WAVEFORMATEX f{};
    BuildPCMFormat(&f, 16, 2, 44100);
    connector_.SetPWaveFormat(&f);
    connector_.SetOutput(&sink_);
    connector_.SetBufferSize(8192);
  }
  // Starts the connector as a device would and lets the main thread arm it.
  void Start() {
    connector_.Open();
    connector_.Start();
    ASSERT_TRUE(RunUntil([&] { return connector_.Triggered(); }, 5000));
  }
  void Tap(const std::vector<int16_t>& block) {
    connector_.TapData(block.data(), uint32_t(block.size() * 2));
  }

  // An instrument that outlives the connector (which resets its instruments when it goes).
  TFakeInstrument& Make(int32_t numBytes) {
    return *instruments_.emplace_back(std::make_unique<TFakeInstrument>(numBytes));
  }

  TMemorySink sink_{nullptr};
  std::vector<std::unique_ptr<TFakeInstrument>> instruments_;
  TMMConnector connector_{nullptr};
};

TEST_F(ConnectorTest, ABlockIsCutIntoPiecesDueAtThePaceItPlays) {
  TFakeInstrument& bar = Make(2048);
  connector_.SetLevel1(&bar);
  Start();
  const auto arrived = Clock::now();
  Tap(Block(100));
  ASSERT_TRUE(RunUntil([&] { return !connector_.KindPending(ikLevel); }, 5000));
  ASSERT_EQ(bar.Count(), 4u) << "the fifth attempt reaches beyond the block and ends it";
  // Offsets 0, 2048, 4096 and 6144 (frames 0, 512, 1024, 1536), due 0, 11.6, 23.2 and 34.8 ms
  // after the block arrived: never early, and late only by what a busy machine adds.
  const double dueMs[] = {0.0, 11.61, 23.22, 34.83};
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(bar.Pieces[i].First, 100 + int(i) * 512);
    const double atMs =
        std::chrono::duration<double, std::milli>(bar.Pieces[i].At - arrived).count();
    EXPECT_GE(atMs, dueMs[i] - 0.5);
    EXPECT_LT(atMs, dueMs[i] + 200.0);
  }
  EXPECT_EQ(connector_.KindCount(ikLevel), 4);
  EXPECT_EQ(sink_.FBlocks, 0) << "TapData only looks; the chain passes blocks on";
}

TEST_F(ConnectorTest, ANewBlockDropsTheRestOfTheOldOne) {
  TFakeInstrument& bar = Make(2048);
  connector_.SetLevel1(&bar);
  Start();
  const auto first = Clock::now();
  Tap(Block(100));
  ASSERT_TRUE(RunUntil([&] { return bar.Count() >= 1; }, 5000));
  const auto second = Clock::now();
  Tap(Block(-5000));
  ASSERT_TRUE(RunUntil([&] { return !connector_.KindPending(ikLevel); }, 5000));
  std::vector<int16_t> firsts;
  for (const auto& p : bar.Pieces) firsts.push_back(p.First);
  // The old block's pieces in order, only those due before the new block came (one every
  // 11.6 ms), then the new block from its beginning.
  const auto restart = std::find(firsts.begin(), firsts.end(), int16_t(-5000));
  ASSERT_NE(restart, firsts.end());
  const auto old = size_t(restart - firsts.begin());
  const double gapMs = std::chrono::duration<double, std::milli>(second - first).count();
  EXPECT_GE(old, 1u);
  EXPECT_LE(old, size_t(gapMs / 11.61) + 1) << gapMs << " ms between the blocks";
  for (size_t i = 0; i < old; ++i) EXPECT_EQ(firsts[i], 100 + int(i) * 512);
  EXPECT_EQ(std::vector<int16_t>(restart, firsts.end()),
            (std::vector<int16_t>{-5000, -5000 + 512, -5000 + 1024, -5000 + 1536}));
}

TEST_F(ConnectorTest, AStepLargerThanTheBlockShowsNothingAndTwoStepsShareTheLarger) {
  TFakeInstrument &big = Make(16384), &meter1 = Make(4000), &meter2 = Make(1000);
  connector_.SetLevel1(&big);
  connector_.SetMeter1(&meter1);
  connector_.SetMeter2(&meter2);
  Start();
  Tap(Block(0));
  ASSERT_TRUE(RunUntil(
      [&] { return !connector_.KindPending(ikLevel) && !connector_.KindPending(ikMeter); }, 5000));
  EXPECT_EQ(big.Count(), 0u);
  // Both meters get pieces of 4000 bytes (1000 frames) at the same offsets.
  ASSERT_EQ(meter1.Count(), 2u);
  ASSERT_EQ(meter2.Count(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(meter1.Pieces[i].First, int16_t(i * 1000));
    EXPECT_EQ(meter2.Pieces[i].First, int16_t(i * 1000));
  }
}

TEST_F(ConnectorTest, APlayingDeviceShowsThePartnerBlockAndPassesItsOwnOn) {
  TFakeInstrument& bar = Make(8192);
  connector_.SetLevel1(&bar);
  Start();
  std::vector<int16_t> returned = Block(1), playing = Block(7000);
  BlockHeader own{}, partner{};
  own.lpData = reinterpret_cast<char*>(returned.data());
  own.dwBytesRecorded = 8192;
  partner.lpData = reinterpret_cast<char*>(playing.data());
  partner.dwBytesRecorded = 8192;
  own.PartnerHeader = &partner;
  for (const bool synchronize : {true, false}) {
    SCOPED_TRACE(synchronize);
    connector_.SetSynchronize(synchronize);
    const size_t before = bar.Count();
    connector_.BufferReady(&own);
    ASSERT_TRUE(RunUntil([&] { return bar.Count() > before; }, 5000));
    EXPECT_EQ(bar.Pieces.back().First, synchronize ? 7000 : 1);
  }
  EXPECT_EQ(sink_.FBlocks, 2);
  EXPECT_EQ(sink_.Bytes()[0], char(1)) << "the chain gets the block it was handed";
}

// The clip counts see every block that passes, once, whether or not the instruments show it:
// a partner block is counted when it comes back itself. The stop keeps them; a start clears.
TEST_F(ConnectorTest, EveryPassingBlockIsCountedForClipsShownOrNot) {
  Start();
  std::vector<int16_t> returned = Block(0), playing = Block(0);
  returned[0] = 32767;   // left
  returned[3] = -32768;  // right
  returned[5] = 32767;   // right
  playing[0] = 32767;
  BlockHeader own{}, partner{};
  own.lpData = reinterpret_cast<char*>(returned.data());
  own.dwBytesRecorded = 8192;
  partner.lpData = reinterpret_cast<char*>(playing.data());
  partner.dwBytesRecorded = 8192;
  own.PartnerHeader = &partner;
  connector_.BufferReady(&own);
  connector_.SetEnabled(false);
  connector_.BufferReady(&own);
  EXPECT_EQ(connector_.Clips().Clipped(0), 2);
  EXPECT_EQ(connector_.Clips().Clipped(1), 4);
  connector_.Stop();
  EXPECT_EQ(connector_.Clips().Clipped(0), 2) << "kept after the stop";
  connector_.SetEnabled(true);
  Start();
  EXPECT_EQ(connector_.Clips().Clipped(0) + connector_.Clips().Clipped(1), 0);
}

TEST_F(ConnectorTest, PauseFeedsSilenceUntilRestartAndStopResetsTheInstruments) {
  TFakeInstrument &bar = Make(2048), &meter = Make(4000);
  connector_.SetLevel1(&bar);
  connector_.SetMeter1(&meter);
  Start();
  Tap(Block(3000));
  ASSERT_TRUE(RunUntil([&] { return bar.Count() >= 1; }, 5000));
  connector_.Pause();
  // The pause timer hands the silent buffer over and over, so the instruments fall to rest.
  const size_t paused = bar.Count();
  ASSERT_TRUE(RunUntil([&] { return bar.Count() >= paused + 8; }, 5000));
  EXPECT_EQ(bar.Pieces.back().First, 0);
  EXPECT_EQ(meter.Pieces.back().First, 0);
  Tap(Block(3000));  // blocks that come while paused are not shown
  connector_.Restart();
  ProcessMessages();
  const size_t restarted = bar.Count();
  Delay(100, true);
  EXPECT_LE(bar.Count(), restarted + 4) << "no more silence after Restart";
  Tap(Block(2500));
  ASSERT_TRUE(RunUntil([&] { return bar.Pieces.back().First == 2500; }, 5000));

  for (const bool refreshOnStop : {true, false}) {
    SCOPED_TRACE(refreshOnStop);
    connector_.SetRefreshOnStop(refreshOnStop);
    const int resets = bar.Resets;
    connector_.Stop();
    EXPECT_EQ(bar.Resets - resets, refreshOnStop ? 1 : 0);
    EXPECT_FALSE(connector_.Triggered());
    if (!refreshOnStop) break;
    Start();
  }
}

TEST_F(ConnectorTest, AnInstrumentTakesOneSlotOfItsKind) {
  TFakeInstrument &a = Make(200), &b = Make(200);
  connector_.SetLevel1(&a);
  connector_.SetLevel2(&a);
  EXPECT_EQ(connector_.Instrument(ikLevel, 1), nullptr) << "refused: it already is Level1";
  connector_.SetLevel2(&b);
  EXPECT_EQ(connector_.Instrument(ikLevel, 1), &b);
  connector_.SetSpectrum1(&a);
  EXPECT_EQ(connector_.Instrument(ikSpectrum, 0), &a) << "kinds do not exclude each other";
  const uint32_t rate = b.Format_.nSamplesPerSec;  // a copy: the record is packed
  EXPECT_EQ(rate, 44100u) << "an attached instrument gets the format";
}

TEST_F(ConnectorTest, TheLoopWaitsWhileNothingPlays) {
  TFakeInstrument& bar = Make(2048);
  connector_.SetLevel1(&bar);
  int cycles = 0;
  connector_.OnTrigger = [&](TObject*) { ++cycles; };
  Start();
  Delay(300, true);
  // Armed with nothing to show: at most the cycle that armed it, not one a millisecond.
  EXPECT_LE(cycles, 2);
  EXPECT_EQ(TMMConnector::ActiveLoopCount(), 1);
  Tap(Block(1));
  ASSERT_TRUE(RunUntil([&] { return !connector_.KindPending(ikLevel); }, 5000));
  const int playing = cycles;
  // The loop ran while the block played: every piece shown, in more than one cycle (how many
  // depends on the machine's load: a late cycle catches up every piece that came due).
  EXPECT_EQ(bar.Count(), 4u);
  EXPECT_GE(playing, 2);
  Delay(200, true);
  EXPECT_LE(cycles, playing + 1) << "the loop went back to waiting";
  connector_.Stop();
  EXPECT_EQ(TMMConnector::ActiveLoopCount(), 0);
}

TEST_F(ConnectorTest, AnotherConnectorGoingAwayLeavesTheLoopRunning) {
  TFakeInstrument& bar = Make(2048);
  connector_.SetLevel1(&bar);
  Start();
  TMMConnector::SetRefreshInterval(1);  // so the next cycle is posted at once
  {
    TMMConnector other(nullptr);
    WAVEFORMATEX f{};
    BuildPCMFormat(&f, 16, 2, 44100);
    other.SetPWaveFormat(&f);
    other.SetBufferSize(8192);
    other.SetLevel1(&Make(2048));
    other.Open();
    other.Start();
    ASSERT_TRUE(RunUntil([&] { return other.Triggered(); }, 5000));
    Delay(5, false);
    Tap(Block(1));
  }  // goes with the cycle still waiting in the queue, and takes it along
  const bool done = RunUntil([&] { return !connector_.KindPending(ikLevel); }, 5000);
  TMMConnector::SetRefreshInterval(16);
  ASSERT_TRUE(done);
  EXPECT_EQ(bar.Count(), 4u);
}

TEST_F(ConnectorTest, SettingsThatWaitForTheMainThreadOrRefuseWhileRunning) {
  TFakeInstrument& bar = Make(2048);
  connector_.SetLevel1(&bar);
  Start();
  EXPECT_THROW(
      {
        try {
          connector_.SetRealTime(false);
        } catch (const EMMConnectorError& e) {
          EXPECT_STREQ(e.what(), "Change to property while device was open");
          throw;
        }
      },
      EMMConnectorError);
  EXPECT_TRUE(connector_.RealTime());
  // Disabled: nothing is shown and the instruments are reset; enabled again it re-arms.
  const int resets = bar.Resets;
  connector_.SetEnabled(false);
  EXPECT_EQ(bar.Resets, resets + 1);
  Tap(Block(9));
  Delay(60, true);
  EXPECT_EQ(bar.Count(), 0u);
  connector_.SetEnabled(true);
  ASSERT_TRUE(RunUntil([&] { return connector_.Triggered(); }, 5000));
  Tap(Block(9));
  ASSERT_TRUE(RunUntil([&] { return bar.Count() > 0; }, 5000));
  connector_.SetSpeed(0);
  EXPECT_EQ(connector_.Speed(), 1);
  EXPECT_EQ(TMMConnector::MaxSpeed(), 1);
  connector_.SetSpeed(9000);
  EXPECT_EQ(TMMConnector::MaxSpeed(), 5000);
}

TEST_F(ConnectorTest, AFormatAnInstrumentRefusesLeavesTheDisplayAtRestAndTheStreamFlowing) {
  TFakeInstrument& bar = Make(2048);
  bar.Refuse = true;
  connector_.SetLevel1(&bar);
  Start();
  EXPECT_EQ(connector_.DisplayFormat(), nullptr);
  std::vector<int16_t> block = Block(5);
  BlockHeader h{};
  h.lpData = reinterpret_cast<char*>(block.data());
  h.dwBytesRecorded = 8192;
  connector_.BufferReady(&h);
  Delay(60, true);
  EXPECT_EQ(bar.Count(), 0u);
  EXPECT_EQ(sink_.FBlocks, 1);
}

// One G.711 A-law byte for a 16-bit sample (the encoder that the expansion inverts).
uint8_t ALaw(int16_t pcm) {
  int magnitude = pcm < 0 ? std::min(-int(pcm), 32767) : pcm;
  const uint8_t sign = pcm < 0 ? 0x00 : 0x80;
  magnitude >>= 3;  // 13 significant bits
  int segment = 0;
  while (segment < 7 && magnitude >= (32 << segment)) ++segment;
  const int mantissa = segment == 0 ? (magnitude >> 1) & 0x0F : (magnitude >> segment) & 0x0F;
  return uint8_t((sign | (segment << 4) | mantissa) ^ 0x55);
}

// The RMS in dBFS of the left channel of each piece of 16-bit stereo it is handed.
class TRmsInstrument : public TMMInstrumentData {
 public:
  void SetPWaveFormat(const WAVEFORMATEX* Format) override { Bits = Format->wBitsPerSample; }
  int32_t GetNumBytes() const override { return 4000; }
  void RefreshPCMData(const void* Data) override {
    const auto* s = static_cast<const int16_t*>(Data);
    double sum = 0;
    for (int i = 0; i < 1000; ++i) sum += double(s[2 * i]) * s[2 * i];
    Db.push_back(10.0 * std::log10(sum / 1000.0 / (32768.0 * 32768.0)));
  }
  void ResetData() override {}
  std::vector<double> Db;
  int Bits = 0;
};

// A 997 Hz sine at -12 dBFS, 2048 stereo frames, written in each of the formats real files
// carry, shows the same level on an instrument as its 16-bit PCM form; a format nobody can
// convert passes on unchanged and the instrument stays at rest.
TEST(ConnectorConversion, FilesInOtherFormatsShowTheLevelsOfTheSameSoundIn16BitPcm) {
  constexpr int kFrames = 2048;
  std::vector<double> sine(kFrames);
  for (int i = 0; i < kFrames; ++i)
    sine[size_t(i)] = std::pow(10.0, -12.0 / 20.0) * std::sin(2 * 3.14159265358979 * 997.0 * i / 44100.0);
  struct Case {
    const char* name;
    uint16_t tag;
    uint16_t bits;
    std::function<void(double, std::vector<uint8_t>&)> put;  // one sample
  };
  auto little = [](int64_t v, int bytes, std::vector<uint8_t>& out) {
    for (int b = 0; b < bytes; ++b) out.push_back(uint8_t(v >> (8 * b)));
  };
  const Case cases[] = {
      {"16-bit PCM", WAVE_FORMAT_PCM, 16,
       [&](double x, auto& out) { little(std::lround(x * 32767), 2, out); }},
      {"24-bit PCM", WAVE_FORMAT_PCM, 24,
       [&](double x, auto& out) { little(std::lround(x * 8388607), 3, out); }},
      {"32-bit float", WAVE_FORMAT_IEEE_FLOAT, 32,
       [&](double x, auto& out) {
         const float f = float(x);
         uint32_t bits;
         std::memcpy(&bits, &f, 4);
         little(bits, 4, out);
       }},
      {"A-law", WAVE_FORMAT_ALAW, 8,
       [&](double x, auto& out) { out.push_back(ALaw(int16_t(std::lround(x * 32767)))); }},
      {"ADPCM, which nothing converts", 2, 4, nullptr},
  };
  double reference = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WAVEFORMATEX f{};
    f.wFormatTag = c.tag;
    f.nChannels = 2;
    f.nSamplesPerSec = 44100;
    f.wBitsPerSample = c.bits;
    f.nBlockAlign = uint16_t(std::max(2 * c.bits / 8, 1));
    f.nAvgBytesPerSec = f.nSamplesPerSec * f.nBlockAlign;
    std::vector<uint8_t> data;
    for (int i = 0; i < kFrames; ++i)
      for (int ch = 0; ch < 2; ++ch) {
        if (c.put)
          c.put(sine[size_t(i)], data);
        else
          data.push_back(uint8_t(i * 7 + ch));
      }
    TMemorySink sink(nullptr);
    TRmsInstrument meter;
    {
      TMMConnector connector(nullptr);
      connector.SetPWaveFormat(&f);
      connector.SetOutput(&sink);
      connector.SetBufferSize(int32_t(data.size()));
      connector.SetMeter1(&meter);
      connector.Open();
      connector.Start();
      BlockHeader h{};
      h.lpData = reinterpret_cast<char*>(data.data());
      h.dwBytesRecorded = uint32_t(data.size());
      if (!c.put) {
        EXPECT_FALSE(connector.Running()) << "nothing to show";
        connector.BufferReady(&h);
        Delay(60, true);
        EXPECT_TRUE(meter.Db.empty());
        EXPECT_TRUE(sink.Bytes() == std::vector<char>(data.begin(), data.end()))
            << "the block passes on unchanged";
        continue;
      }
      ASSERT_TRUE(RunUntil([&] { return connector.Triggered(); }, 5000));
      EXPECT_EQ(meter.Bits, 16);
      connector.BufferReady(&h);
      ASSERT_TRUE(RunUntil([&] { return meter.Db.size() >= 2; }, 5000));
      connector.Stop();
    }
    if (c.tag == WAVE_FORMAT_PCM && c.bits == 16) reference = meter.Db[0];
    EXPECT_NEAR(meter.Db[0], reference, 0.1);
    EXPECT_NEAR(meter.Db[1], reference, 0.1);
    EXPECT_NEAR(reference, -15.0, 0.1) << "a sine's RMS lies 3 dB under its peak";
  }
}

}  // namespace
