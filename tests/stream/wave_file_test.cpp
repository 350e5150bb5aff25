#include "stream/wave_file.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <vector>

#include "platform/kernel/clock.h"
#include "platform/mainloop/main_loop.h"
#include "stream/dsp_thread.h"
#include "tests/stream/test_components.h"
#include "tests/stream/wave_test_data.h"

using namespace wavetest;

namespace {

// A block with its own memory.
struct TBlock {
  std::vector<char> Memory;
  BlockHeader Header{};
  explicit TBlock(size_t capacity) : Memory(capacity) {
    Header.lpData = Memory.data();
    Header.dwBufferLength = uint32_t(capacity);
  }
  std::string Bytes() const { return std::string(Memory.data(), Header.dwBytesRecorded); }
};

// A sink: the feeder pushes blocks into the file, which passes them on to the tap.
struct Recording : ::testing::Test {
  TTempDir dir;
  TPassive feeder{"Feeder", nullptr};
  TPassive tap{"Tap", nullptr};
  TMMWaveFile file{nullptr};
  WAVEFORMATEX format{};
  std::string passedOn;
  int opens = 0, closes = 0;

  Recording() {
    BuildPCMFormat(&format, 16, 2, 44100);
    feeder.SetPWaveFormat(&format);
    file.SetInput(&feeder);
    file.SetOutput(&tap);
    file.GetWave()->SetFileMustExist(false);
    tap.OnBufferReady = [this](TObject*, PWaveHdr h) {
      passedOn.append(h->lpData, h->dwBytesRecorded);
    };
    file.OnOpen = [this](TObject*) { ++opens; };
    file.OnClose = [this](TObject*) { ++closes; };
  }

  void Begin(const std::string& name) {
    file.SetFileName(name.empty() ? name : dir.File(name));
    file.Open();
    file.Start();
  }
  void Push(const std::string& bytes) {
    std::string copy = bytes;
    BlockHeader h{};
    h.lpData = copy.data();
    h.dwBufferLength = h.dwBytesRecorded = uint32_t(copy.size());
    feeder.BufferReady(&h);
  }
  void End() {
    file.Stop();
    file.Close();
  }
  static std::string Expected(const std::string& samples) {
    return Written(FmtBody(1, 2, 44100, 16), samples);
  }
};

TEST_F(Recording, PushedBlocksAreWrittenAndPassedOn) {
  const std::string samples = Samples16(6000, 2);
  Begin("rec.wav");
  EXPECT_TRUE(file.FileOpened());
  EXPECT_EQ(opens, 1);
  for (size_t at = 0; at < samples.size(); at += 8192) Push(samples.substr(at, 8192));
  End();
  EXPECT_EQ(closes, 1);
  EXPECT_FALSE(file.FileOpened());
  EXPECT_EQ(ReadFile(dir.File("rec.wav")), Expected(samples));
  EXPECT_EQ(passedOn, samples);
  EXPECT_EQ(file.GetWave()->GetDataSize(), 6000);
}

TEST_F(Recording, ABlockPulledThroughTheFileIsWrittenToo) {
  const std::string samples = Samples16(100, 2);
  feeder.OnBufferLoad = [&](TObject*, PWaveHdr h, bool& more) {
    std::copy(samples.begin(), samples.end(), h->lpData);
    h->dwBytesRecorded = uint32_t(samples.size());
    more = true;
  };
  Begin("pull.wav");
  TBlock block(4096);
  bool more = false;
  file.BufferLoad(&block.Header, more);
  EXPECT_TRUE(more);
  End();
  EXPECT_EQ(ReadFile(dir.File("pull.wav")), Expected(samples));
}

TEST_F(Recording, ARecordingWithoutDataHoldsFourZeroBytes) {
  Begin("empty.wav");
  End();
  EXPECT_EQ(ReadFile(dir.File("empty.wav")), Expected(std::string(4, '\0')));
}

TEST_F(Recording, AnExistingFileIsReplacedOrContinued) {
  const std::string old = Samples16(50, 2), more = Samples16(30, 2);
  WriteFile(dir.File("take.wav"), Expected(old));
  Begin("take.wav");
  Push(more);
  End();
  EXPECT_EQ(ReadFile(dir.File("take.wav")), Expected(more));

  file.SetOverwriteExisting(false);
  WriteFile(dir.File("take.wav"), Expected(old));
  Begin("take.wav");
  Push(more);
  End();
  EXPECT_EQ(ReadFile(dir.File("take.wav")), Expected(old + more));
}

TEST_F(Recording, MonitoringWithoutANameWritesNothing) {
  Begin("");
  EXPECT_FALSE(file.FileOpened());
  EXPECT_EQ(opens, 0);
  Push("abcd");
  End();
  EXPECT_EQ(passedOn, "abcd");
  EXPECT_EQ(closes, 0);
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

TEST_F(Recording, AShortDiskEndsTheRecordingWithAValidFile) {
  // The reserve: the I/O buffer, the block and 10240 bytes.
  const int64_t needed = 32768 + 8192 + 10240;
  std::vector<int64_t> free = {needed, needed, needed - 1, needed};
  std::vector<std::string> folders;
  file.FreeSpaceQuery = [&](const std::string& folder) {
    folders.push_back(folder);
    return free.at(folders.size() - 1);
  };
  const std::string samples = Samples16(2048 * 4, 2);
  Begin("short.wav");
  for (int i = 0; i < 4; ++i) Push(samples.substr(size_t(i) * 8192, 8192));
  // The third block found the disk short: the file was finished then, and nothing after it
  // was written; every block still went on down the chain.
  EXPECT_EQ(folders, std::vector<std::string>(3, dir.Path()));
  EXPECT_FALSE(file.FileOpened());
  EXPECT_FALSE(file.FileStarted());
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(file.GetEndReason(), feDiskFull);
  EXPECT_EQ(file.GetWrittenBytes(), 2 * 8192);
  EXPECT_EQ(file.GetWrittenMs(), 93);
  EXPECT_EQ(ReadFile(dir.File("short.wav")), Expected(samples.substr(0, 2 * 8192)));
  EXPECT_EQ(passedOn, samples);
  End();
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(ReadFile(dir.File("short.wav")), Expected(samples.substr(0, 2 * 8192)));
}

TEST_F(Recording, TheSizeLimitEndsTheRecordingBeforeTheSizesWouldOverflow) {
  // Room for exactly three blocks of data behind the header (its RIFF size counts all but 8).
  file.SetSizeLimit(kWrittenHeader - 8 + 3 * 8192);
  const std::string samples = Samples16(2048 * 5, 2);
  Begin("big.wav");
  for (int i = 0; i < 5; ++i) Push(samples.substr(size_t(i) * 8192, 8192));
  EXPECT_FALSE(file.FileOpened());
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(file.GetEndReason(), feSizeLimit);
  const std::string written = ReadFile(dir.File("big.wav"));
  EXPECT_EQ(written, Expected(samples.substr(0, 3 * 8192)));
  EXPECT_EQ(ReadLe32(written, 4), kWrittenHeader - 8 + 3 * 8192);
}

TEST_F(Recording, TheSizesOnDiskFollowTheDataWithinAQuarterSecond) {
  const std::string samples = Samples16(2048 * 3, 2);
  Begin("live.wav");
  Push(samples.substr(0, 8192));
  Sleep(TMMWaveFile::SizeUpdateIntervalMs + 50);
  Push(samples.substr(8192, 8192));
  // Read while the file is still open, as after a crash: the header already counts both blocks.
  const std::string live = ReadFile(dir.File("live.wav"));
  EXPECT_EQ(live, Expected(samples.substr(0, 2 * 8192)));
  Push(samples.substr(2 * 8192));
  EXPECT_EQ(file.GetEndReason(), feNone);
  End();
  EXPECT_EQ(ReadFile(dir.File("live.wav")), Expected(samples));
}

TEST(FileEndText, NamesTheReasonAndTheLengthSaved) {
  EXPECT_EQ(FileEndText(feNone, 1000), "");
  EXPECT_EQ(FileEndText(feDiskFull, 3723456),
            "The disk is full: the recording was stopped and saved (1:02:03.4).");
  EXPECT_EQ(FileEndText(feSizeLimit, 0),
            "The file reached the 4 GiB limit of the WAVE format: the recording was stopped and "
            "saved (0:00:00.0).");
  EXPECT_EQ(FileEndText(feWriteError, 59999),
            "The file could not be written: the recording was stopped and saved (0:00:59.9).");
  EXPECT_EQ(FileEndText(feWriteError, 1000, EIO),
            "The file could not be written (Input/output error): the recording was stopped and "
            "saved (0:00:01.0).");
}

// Pushes blocks on a worker thread of the chain, as the ring buffer does.
class TPushThread : public TMMDSPThread {
 public:
  TPushThread(TMMDSPComponent* owner, std::function<void()> body)
      : TMMDSPThread(owner), FBody(std::move(body)) {}

 protected:
  void Execute() override { FBody(); }

 private:
  std::function<void()> FBody;
};

TEST_F(Recording, AnEndOnTheWorkerIsReportedOnTheMainThread) {
  file.FreeSpaceQuery = [](const std::string&) { return int64_t(0); };
  std::atomic<bool> closedOnMain{false};
  file.OnClose = [&](TObject*) { closedOnMain = IsMainThread(); };
  Begin("worker.wav");
  TPushThread worker(&feeder, [this] { Push("abcd"); });
  worker.Resume();
  ASSERT_TRUE(RunUntil([&] { return worker.Finished(); }, 5000));
  worker.WaitFor();
  EXPECT_TRUE(closedOnMain);
  EXPECT_FALSE(file.FileOpened());
}

// A source: the file fills the blocks pulled from it.
struct Playing : ::testing::Test {
  TTempDir dir;
  TMMWaveFile file{nullptr};
  TPassive tap{"Tap", nullptr};
  Playing() { file.SetOutput(&tap); }

  void Name(const std::string& bytes, const std::string& name = "play.wav") {
    WriteFile(dir.File(name), bytes);
    file.SetFileName(dir.File(name));
  }
  void Begin() {
    file.Open();
    file.Start();
  }
  // Pulls until the stream ends; returns the bytes and counts the blocks.
  std::string PullAll(BlockHeader loop = {}, int* looped = nullptr, size_t capacity = 8192) {
    std::string all;
    for (int guard = 0; guard < 10000; ++guard) {
      TBlock block(capacity);
      block.Header.LoopActive = loop.LoopActive;
      block.Header.LoopsWanted = loop.LoopsWanted;
      block.Header.LoopsRemaining = loop.LoopsRemaining;
      bool more = false;
      file.BufferLoad(&block.Header, more);
      all += block.Bytes();
      loop.LoopsRemaining = block.Header.LoopsRemaining;
      if (looped && block.Header.Looped == LoopFlagSet) ++*looped;
      if (block.Header.dwBytesRecorded == 0 || !more) break;
    }
    return all;
  }
};

TEST_F(Playing, NamingAFilePresentsItsFormatDownTheChain) {
  // OnChange comes before the format is taken, OnChanged after.
  std::vector<bool> formatSeen;
  file.OnChange = [&](TObject*) { formatSeen.push_back(file.GetPWaveFormat() != nullptr); };
  file.OnChanged = [&](TObject*) { formatSeen.push_back(file.GetPWaveFormat() != nullptr); };
  Name(Riff(Chunk("fmt ", FmtBody(1, 1, 22050, 8)) + Chunk("data", "abc")));
  EXPECT_EQ(formatSeen, (std::vector<bool>{false, true}));
  ASSERT_NE(tap.GetPWaveFormat(), nullptr);
  EXPECT_EQ(tap.GetPWaveFormat()->nSamplesPerSec, 22050u);
  EXPECT_EQ(file.SilenceValue(), 128);
  file.SetFileName("");
  EXPECT_EQ(tap.GetPWaveFormat(), nullptr);
}

TEST_F(Playing, TheWholeDataArrivesAndTheLastBlockSaysSo) {
  const std::string samples = Samples16(5000, 2);  // 20000 bytes: 8192 + 8192 + 3616
  Name(Pcm16Stereo(samples));
  Begin();
  std::vector<std::pair<uint32_t, bool>> blocks;
  for (int i = 0; i < 4; ++i) {
    TBlock block(8192);
    bool more = false;
    file.BufferLoad(&block.Header, more);
    blocks.emplace_back(block.Header.dwBytesRecorded, more);
  }
  EXPECT_EQ(blocks, (std::vector<std::pair<uint32_t, bool>>{
                        {8192, true}, {8192, true}, {3616, false}, {0, false}}));
  file.Stop();
  file.Close();
  EXPECT_FALSE(file.FileOpened());
  // Closing rewinds: playing again gives the whole data.
  Begin();
  EXPECT_EQ(PullAll(), samples);
}

TEST_F(Playing, LoopingRepeatsTheDataAsOftenAsAsked) {
  const std::string samples = Samples16(3000, 2);  // 12000 bytes
  Name(Pcm16Stereo(samples));
  int loopings = 0;
  file.OnLooping = [&](TObject*) { ++loopings; };
  struct Case {
    uint32_t wanted;
    int plays;
  };
  for (const Case c : {Case{1, 2}, Case{3, 4}}) {
    SCOPED_TRACE(c.wanted);
    loopings = 0;
    file.SetPosition(0);
    Begin();
    BlockHeader loop{};
    loop.LoopActive = LoopFlagSet;
    loop.LoopsWanted = loop.LoopsRemaining = int32_t(c.wanted);
    int looped = 0;
    std::string expected;
    for (int i = 0; i < c.plays; ++i) expected += samples;
    EXPECT_EQ(PullAll(loop, &looped, 5000), expected);
    EXPECT_EQ(loopings, c.plays - 1);
    EXPECT_EQ(looped, c.plays - 1);
    file.Stop();
    file.Close();
  }
}

TEST_F(Playing, EndlessLoopingKeepsGoing) {
  Name(Pcm16Stereo(Samples16(100, 2)));
  Begin();
  int looped = 0;
  for (int i = 0; i < 20; ++i) {
    TBlock block(400);
    block.Header.LoopActive = LoopFlagSet;
    bool more = false;
    file.BufferLoad(&block.Header, more);
    ASSERT_TRUE(more);
    ASSERT_EQ(block.Header.dwBytesRecorded, 400u);
    if (block.Header.Looped) ++looped;
  }
  EXPECT_EQ(looped, 20);
}

TEST_F(Playing, ANotStartedOrDisabledSourceGivesSilence) {
  struct Case {
    int bits;
    char silence;
  };
  for (const Case c : {Case{8, char(128)}, Case{16, 0}}) {
    SCOPED_TRACE(c.bits);
    Name(Riff(Chunk("fmt ", FmtBody(1, 1, 8000, uint16_t(c.bits))) + Chunk("data", "zzzz")),
         std::to_string(c.bits) + ".wav");
    file.Open();
    for (bool started : {false, true}) {
      if (started) {
        file.Start();
        file.SetEnabled(false);
      }
      TBlock block(64);
      bool more = false;
      file.BufferLoad(&block.Header, more);
      EXPECT_TRUE(more);
      EXPECT_EQ(block.Bytes(), std::string(64, c.silence));
    }
    file.SetEnabled(true);
    file.Stop();
    file.Close();
  }
}

TEST_F(Playing, AnEmptySourceEndsTheStreamAtOnce) {
  TBlock block(64);
  bool more = false;
  file.Open();
  file.Start();
  EXPECT_FALSE(file.FileOpened());
  file.BufferLoad(&block.Header, more);
  EXPECT_EQ(block.Header.dwBytesRecorded, 0u);
  EXPECT_FALSE(more);
}

TEST_F(Playing, FileQueries) {
  Name(Pcm16Stereo(Samples16(44100, 2)));
  EXPECT_EQ(file.GetTotalLengthMs(), 1000);
  EXPECT_EQ(file.GetBlockAlign(), 4);
  file.SetPositionMs(250);
  EXPECT_EQ(file.GetPosition(), 11025);
  EXPECT_EQ(file.GetPositionMs(), 250);
  EXPECT_TRUE(file.IsValidFile(dir.File("play.wav")));
  WriteFile(dir.File("play.txt"), ReadFile(dir.File("play.wav")));
  EXPECT_FALSE(file.IsValidFile(dir.File("play.txt")));
  const TMMFileInfo info = file.GetFileInfo(dir.File("play.wav"));
  EXPECT_TRUE(info.Valid);
  EXPECT_EQ(info.LengthMs, 1000);
  EXPECT_EQ(info.Name, "play.wav");
  EXPECT_FALSE(file.GetFileInfo(dir.File("play.txt") + "x").Valid);
}

}  // namespace
