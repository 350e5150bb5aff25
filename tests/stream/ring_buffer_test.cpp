#include "stream/ring_buffer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>

#include "platform/kernel/clock.h"
#include "platform/mainloop/main_loop.h"
#include "stream/wave_format.h"
#include "tests/stream/collected_reports.h"
#include "tests/stream/memory_components.h"

namespace {

WAVEFORMATEX Pcm(int bits, int channels, uint32_t rate) {
  WAVEFORMATEX f{};
  BuildPCMFormat(&f, bits, channels, rate);
  return f;
}

BlockHeader Block(std::vector<char>& data, uint32_t bytes) {
  BlockHeader h{};
  h.lpData = data.data();
  h.dwBufferLength = uint32_t(data.size());
  h.dwBytesRecorded = bytes;
  return h;
}

void ExpectNoThreadLeft() {
  EXPECT_TRUE(RunUntil([] { return LiveThreadCount() == 0; }, 5000));
  ReapFinishedThreads();
}

// ------------------------------------------------------------------ record direction

struct RecordCase {
  const char* name;
  bool realTime;
  bool waitIfFull;
};

class RecordDirection : public ::testing::TestWithParam<RecordCase> {};

TEST_P(RecordDirection, StopReturnsAfterEveryPushedByteReachedTheSink) {
  const RecordCase c = GetParam();
  TMMRingBuffer ring(nullptr);
  TMemorySink sink(nullptr);
  ring.SetOutput(&sink);
  WAVEFORMATEX f = Pcm(16, 2, 44100);
  ring.SetPWaveFormat(&f);
  ring.SetBufferSize(8192);
  ring.SetNumBuffers(50);
  ring.SetQueueMode(qmWrite);
  ring.SetWaitIfFull(c.waitIfFull);
  int overflows = 0;
  ring.OnOverlow = [&](TObject*) { ++overflows; };
  ring.Open();
  ring.Start();

  const int blocks = c.realTime ? 30 : 400;
  const std::vector<char> all = Pattern(size_t(blocks) * 8192);
  std::thread producer([&] {
    std::vector<char> buffer(8192);
    for (int i = 0; i < blocks; ++i) {
      std::memcpy(buffer.data(), all.data() + size_t(i) * 8192, 8192);
      BlockHeader h = Block(buffer, 8192);
      ring.BufferReady(&h);
      if (c.realTime) Sleep(46);  // 8192 bytes of 44.1 kHz 16-bit stereo
    }
  });
  producer.join();
  ring.Stop();
  EXPECT_EQ(overflows, 0);
  EXPECT_EQ(sink.Bytes(), all) << "every pushed byte, in order, once";
  EXPECT_EQ(ring.BytesQueued(), 0);
  ring.Close();
  ExpectNoThreadLeft();
}

INSTANTIATE_TEST_SUITE_P(Paces, RecordDirection,
                         ::testing::Values(RecordCase{"RealTime", true, false},
                                           RecordCase{"AsFastAsPossible", false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------------------ play direction

TEST(RingBufferPlay, PullsTheSourceDataExactlyTheFirstPullAfterAWholeFillPass) {
  const std::vector<char> data = Pattern(8192 * 120 + 1000);  // ends in a partial block
  TMemorySource source(nullptr, data);
  TMMRingBuffer ring(nullptr);
  ring.SetInput(&source);
  WAVEFORMATEX f = Pcm(16, 2, 44100);
  source.SetPWaveFormat(&f);
  ring.SetBufferSize(8192);
  ring.SetNumBuffers(50);
  ring.SetQueueMode(qmRead);
  int underruns = 0;
  ring.OnEmpty = [&](TObject*) { ++underruns; };
  ring.Open();
  ring.Start();

  std::vector<char> pulled;
  bool lastMore = true;
  int pulls = 0;
  int loadsBeforeFirstPullReturned = -1;
  std::thread consumer([&] {
    source.FWatchedThread = GetCurrentThreadId();
    std::vector<char> buffer(8192);
    while (lastMore) {
      BlockHeader h = Block(buffer, 0);
      bool more = false;
      ring.BufferLoad(&h, more);
      if (pulls++ == 0) loadsBeforeFirstPullReturned = source.FLoads;
      pulled.insert(pulled.end(), buffer.data(), buffer.data() + h.dwBytesRecorded);
      if (h.dwBytesRecorded == 0) break;
      lastMore = more;
      Sleep(5);  // a device faster than real time, still slower than the disk
    }
  });
  consumer.join();
  EXPECT_EQ(underruns, 0);
  EXPECT_FALSE(lastMore) << "the last pull reports the end";
  EXPECT_EQ(pulled, data);
  // The first pull waited for a whole fill pass: 50 slots of 8192 bytes in 65536-byte reads.
  EXPECT_GE(loadsBeforeFirstPullReturned, 7);
  EXPECT_EQ(source.FLoadsOnWatchedThread, 0) << "the consumer never read the source itself";
  ring.Close();
  ExpectNoThreadLeft();
}

// ------------------------------------------------------------------ edge cases

class RingFixture : public ::testing::Test {
 protected:
  void SetUpRing(TMMQueueMode mode, int bits = 16, int32_t slot = 8192, int32_t slots = 50) {
    format_ = Pcm(bits, 2, 44100);
    ring_.SetPWaveFormat(&format_);
    ring_.SetBufferSize(slot);
    ring_.SetNumBuffers(slots);
    ring_.SetQueueMode(mode);
  }
  void TearDown() override {
    ring_.Close();
    ExpectNoThreadLeft();
  }
  WAVEFORMATEX format_{};
  TMMRingBuffer ring_{nullptr};
};

TEST_F(RingFixture, DisabledDiscardsPushesButQueuedBytesStillReachTheSink) {
  TMemorySink sink(nullptr);
  ring_.SetOutput(&sink);
  SetUpRing(qmWrite, 16, 1024, 50);
  int overflows = 0;
  ring_.OnOverlow = [&](TObject*) { ++overflows; };
  ring_.Open();
  ring_.Start();
  std::vector<char> before = Pattern(1024, 7), after = Pattern(1024, 8);
  BlockHeader h1 = Block(before, 1024);
  ring_.BufferReady(&h1);  // queued, below the wake threshold
  ring_.SetEnabled(false);
  for (int i = 0; i < 100; ++i) {  // far more than fit: no overflow is reported
    BlockHeader h2 = Block(after, 1024);
    ring_.BufferReady(&h2);
  }
  EXPECT_EQ(overflows, 0);
  ring_.Stop();
  EXPECT_EQ(sink.Bytes(), before);
  ring_.Close();  // before the sink goes
}

TEST_F(RingFixture, TheTwentyFifthOfFiftySlotsWakesTheFlushUnlessAThresholdIsSet) {
  // {flush threshold, the slot whose push wakes the worker}
  for (auto [threshold, wakingSlot] : {std::pair{0, 25}, std::pair{3, 3}}) {
    SCOPED_TRACE(threshold);
    TMemorySink sink(nullptr);
    ring_.SetOutput(&sink);
    SetUpRing(qmWrite, 16, 1024, 50);
    ring_.SetFlushThreshold(threshold);
    std::atomic<int> passes{0};
    ring_.OnFlushQueue = [&](TObject*) { ++passes; };
    ring_.Open();
    ring_.Start();
    std::vector<char> block = Pattern(1024);
    auto push = [&] {
      BlockHeader h = Block(block, 1024);
      ring_.BufferReady(&h);
    };
    for (int i = 0; i < wakingSlot - 1; ++i) push();
    Sleep(50);
    EXPECT_EQ(passes, 0) << "the slots below the threshold do not wake the worker";
    push();
    ASSERT_TRUE(RunUntil([&] { return passes > 0; }, 5000));
    ASSERT_TRUE(RunUntil([&] { return sink.Size() == size_t(wakingSlot) * 1024; }, 5000));
    ring_.Stop();
    ring_.Close();  // before the sink goes
    ring_.SetOutput(nullptr);
  }
}

// The writer ends a pass just as the queue fills up behind it: the pushes that follow still
// wake it, so a full queue does not stay full (and drop every later block) until the stop.
TEST_F(RingFixture, AQueueThatFillsAsTheWriterEndsItsPassIsStillWritten) {
  TMemorySink sink(nullptr);
  ring_.SetOutput(&sink);
  SetUpRing(qmWrite, 16, 64, 4);
  std::vector<char> block = Pattern(64);
  auto push = [&] {
    BlockHeader h = Block(block, 64);
    ring_.BufferReady(&h);
  };
  std::atomic<int> passEnds{0};
  // The first pass has written everything and is about to end when the queue fills up: these
  // pushes see the writer still at work and do not wake it.
  ring_.OnFlushQueueEnd = [&](TObject*) {
    if (passEnds == 0)
      for (int i = 0; i < 4; ++i) push();
    ++passEnds;
  };
  ring_.Open();
  ring_.Start();
  for (int i = 0; i < 2; ++i) push();  // the second one wakes the writer
  ASSERT_TRUE(RunUntil([&] { return passEnds > 0; }, 5000));
  Sleep(20);  // the pass has ended
  EXPECT_TRUE(ring_.IsFull());
  push();  // dropped, and it wakes the idle writer
  EXPECT_EQ(ring_.DroppedBlocks(), 1);
  EXPECT_TRUE(RunUntil([&] { return sink.Size() == 6u * 64; }, 5000))
      << "the full queue was never written";
  ring_.Stop();
  ring_.Close();  // before the sink goes
}

TEST_F(RingFixture, StopWhilePlayingDropsTheQueueAndTheNextPullWaitsForANewFill) {
  TMemorySource source(nullptr, Pattern(1024 * 40));
  ring_.SetInput(&source);
  SetUpRing(qmRead, 16, 1024, 8);
  ring_.Open();
  ring_.Start();
  std::vector<char> out(1024);
  BlockHeader h = Block(out, 0);
  bool more = false;
  ring_.BufferLoad(&h, more);
  ASSERT_EQ(h.dwBytesRecorded, 1024u);
  EXPECT_TRUE(ring_.Prefilled());
  ring_.Stop();
  EXPECT_EQ(ring_.BytesQueued(), 0) << "the unread bytes are gone";
  EXPECT_FALSE(ring_.Prefilled());
  ring_.Start();
  const int loads = source.FLoads;
  h = Block(out, 0);
  ring_.BufferLoad(&h, more);
  EXPECT_GT(source.FLoads, loads) << "the pull waited for a new fill";
  EXPECT_TRUE(ring_.Prefilled());
  EXPECT_EQ(h.dwBytesRecorded, 1024u);
  ring_.Close();  // before the source goes
}

TEST_F(RingFixture, AFullQueueDropsWithOverflowAndALongBlockIsCutToOneSlot) {
  TMemorySink sink(nullptr);
  ring_.SetOutput(&sink);
  SetUpRing(qmDuplex, 16, 64, 4);  // no worker drains a duplex queue
  int overflows = 0;
  ring_.OnOverlow = [&](TObject*) { ++overflows; };
  ring_.Open();
  std::vector<char> big = Pattern(100);
  for (int i = 0; i < 6; ++i) {
    BlockHeader h = Block(big, 100);
    ring_.BufferReady(&h);
  }
  EXPECT_EQ(overflows, 2);
  EXPECT_EQ(ring_.Count(), 4);
  EXPECT_EQ(ring_.BytesQueued(), 4 * 64);
  EXPECT_EQ(sink.Size(), 0u) << "a queued push is not passed on";
  // The loss is counted: two blocks of one slot each, in one dropout.
  EXPECT_EQ(ring_.DroppedBlocks(), 2);
  EXPECT_EQ(ring_.DroppedBytes(), 2 * 64);
  EXPECT_EQ(ring_.Dropouts(), 1);
  // A push that fits ends the dropout; the next loss is a second one.
  std::vector<char> out(64);
  ring_.GetData(out.data(), 64);  // the first pull of a duplex queue only ends its priming
  EXPECT_EQ(ring_.GetData(out.data(), 64), 64);
  EXPECT_EQ(ring_.Count(), 3);
  for (int i = 0; i < 3; ++i) {
    BlockHeader h = Block(big, 100);
    ring_.BufferReady(&h);
  }
  EXPECT_EQ(ring_.DroppedBlocks(), 4);
  EXPECT_EQ(ring_.DroppedBytes(), 4 * 64);
  EXPECT_EQ(ring_.Dropouts(), 2);
  ring_.Close();
  ring_.Open();
  EXPECT_EQ(ring_.DroppedBlocks(), 0) << "a new run counts anew";
  EXPECT_EQ(ring_.Dropouts(), 0);
}

TEST_F(RingFixture, AnEmptyQueueGivesTheSilenceOfTheFormat) {
  for (int bits : {8, 16}) {
    ring_.Close();
    SetUpRing(qmDuplex, bits, 1024, 8);
    ring_.Open();
    // A duplex queue serves pulls once more than half of it was filled; fill, then drain it.
    std::vector<char> block = Pattern(1024);
    for (int i = 0; i < 5; ++i) {
      BlockHeader h = Block(block, 1024);
      ring_.BufferReady(&h);
    }
    std::vector<char> out(1024, 0x55);
    for (int i = 0; i < 6; ++i) {  // the first primes, five drain
      BlockHeader h = Block(out, 0);
      bool more = false;
      ring_.BufferLoad(&h, more);
    }
    int empties = 0;
    ring_.OnEmpty = [&](TObject*) { ++empties; };
    std::fill(out.begin(), out.end(), 0x55);
    BlockHeader h = Block(out, 0);
    bool more = false;
    ring_.BufferLoad(&h, more);
    EXPECT_EQ(empties, 1);
    EXPECT_TRUE(more);
    EXPECT_EQ(h.dwBytesRecorded, 1024u) << bits;
    EXPECT_EQ(out, std::vector<char>(1024, char(bits == 8 ? 0x80 : 0))) << bits;
    ring_.OnEmpty = nullptr;
  }
}

TEST_F(RingFixture, LoopIfEmptyRepeatsTheLastSlotWithItsEndOfData) {
  const std::vector<char> data = Pattern(3000);
  TMemorySource source(nullptr, data);
  ring_.SetInput(&source);
  SetUpRing(qmRead, 16, 1024, 8);
  ring_.SetLoopIfEmpty(true);
  ring_.Open();
  ring_.Start();
  std::vector<char> out(1024);
  std::vector<uint32_t> sizes;
  std::vector<bool> mores;
  for (int i = 0; i < 5; ++i) {
    BlockHeader h = Block(out, 0);
    bool more = false;
    ring_.BufferLoad(&h, more);
    sizes.push_back(h.dwBytesRecorded);
    mores.push_back(more);
  }
  // 1024 + 1024 + 952, then the last slot (952 bytes, end of data) again and again.
  EXPECT_EQ(sizes, (std::vector<uint32_t>{1024, 1024, 952, 952, 952}));
  EXPECT_EQ(mores, (std::vector<bool>{true, true, false, false, false}));
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 952, data.begin() + 2048));
  ring_.Close();  // before the source goes
}

// The reader gets ahead of the worker (a device that pulls faster than the disk reads, or the
// priming of a device's blocks): a pull that finds the queue empty while the source has data
// left waits for it, and hands out neither the silence of the format nor a repeated slot.
TEST_F(RingFixture, APullFromAnEmptyQueueWaitsForTheSourceInsteadOfGivingFiller) {
  struct Case {
    const char* name;
    uint16_t tag;
    int bits;
  };
  for (const Case c : {Case{"8-bit PCM", 1, 8}, Case{"16-bit PCM", 1, 16}, Case{"A-law", 6, 8}}) {
    SCOPED_TRACE(c.name);
    const std::vector<char> data = Pattern(1024 * 12 + 100);
    TMemorySource source(nullptr, data);
    // After the first fill, each load waits until a pull has found the queue empty.
    std::atomic<bool> emptySeen{false}, release{false};
    std::atomic<int> loads{0};
    source.OnLoad = [&] {
      if (loads++ == 0) return;
      while (!emptySeen.exchange(false) && !release) Sleep(1);
    };
    ring_.SetInput(&source);
    SetUpRing(qmRead, c.bits, 1024, 4);
    format_.wFormatTag = c.tag;
    ring_.SetPWaveFormat(&format_);
    int empties = 0;
    ring_.OnEmpty = [&](TObject*) {
      ++empties;
      emptySeen = true;
    };
    ring_.Open();
    ring_.Start();
    std::vector<char> pulled, out(1024);
    bool more = true;
    while (more) {
      BlockHeader h = Block(out, 0);
      ring_.BufferLoad(&h, more);
      ASSERT_GT(h.dwBytesRecorded, 0u) << "after " << pulled.size() << " bytes";
      pulled.insert(pulled.end(), out.begin(), out.begin() + h.dwBytesRecorded);
    }
    EXPECT_GE(empties, 2) << "the reader was meant to get ahead of the worker";
    EXPECT_EQ(pulled, data);
    release = true;
    ring_.Close();  // before the source goes
    ring_.OnEmpty = nullptr;
    ring_.SetInput(nullptr);
  }
}

// A pull that waits for a source which delivers nothing more ends, without data, as soon as
// the queue stops, resets or closes: a device thread is never left waiting for a chain that
// has gone.
TEST_F(RingFixture, AWaitingPullEndsWithoutDataWhenTheQueueStopsResetsOrCloses) {
  for (const char* how : {"Stop", "Reset", "Close"}) {
    SCOPED_TRACE(how);
    TMemorySource source(nullptr, Pattern(1024 * 40));
    // The second load (the refill) holds until the waiting pull has ended.
    std::atomic<bool> hold{true};
    std::atomic<int> loads{0};
    source.OnLoad = [&] {
      if (loads++ > 0)
        while (hold) Sleep(1);
    };
    ring_.SetInput(&source);
    SetUpRing(qmRead, 16, 1024, 4);
    // Far beyond the test's own time limit: only the stop can end the wait.
    ring_.SetTimeOut(600000);
    std::atomic<bool> empty{false};
    ring_.OnEmpty = [&](TObject*) { empty = true; };
    ring_.Open();
    ring_.Start();
    std::vector<uint32_t> sizes;
    std::thread reader([&] {
      std::vector<char> out(1024);
      for (;;) {
        BlockHeader h = Block(out, 0);
        bool more = false;
        ring_.BufferLoad(&h, more);
        sizes.push_back(h.dwBytesRecorded);
        // (A queue that hands out filler instead would go on forever.)
        if (h.dwBytesRecorded == 0 || sizes.size() == 100) break;
      }
      hold = false;  // the refill may end now: nothing waits for it any more
    });
    ASSERT_TRUE(RunUntil([&] { return empty.load(); }, 60000));
    if (std::string(how) == "Stop") ring_.Stop();
    if (std::string(how) == "Reset") ring_.Reset();
    if (std::string(how) == "Close") ring_.Close();
    reader.join();
    EXPECT_EQ(sizes, (std::vector<uint32_t>{1024, 1024, 1024, 1024, 0}));
    ring_.Close();  // before the source goes
    ring_.OnEmpty = nullptr;
    ring_.SetInput(nullptr);
  }
}

TEST_F(RingFixture, AfterTheLastBlockAnEmptyQueueGivesSilenceWithMoreBuffers) {
  const std::vector<char> data = Pattern(3000);
  TMemorySource source(nullptr, data);
  ring_.SetInput(&source);
  SetUpRing(qmRead, 16, 1024, 8);
  ring_.Open();
  ring_.Start();
  std::vector<char> out(1024);
  std::vector<bool> mores;
  for (int i = 0; i < 4; ++i) {
    std::fill(out.begin(), out.end(), 0x55);
    BlockHeader h = Block(out, 0);
    bool more = false;
    ring_.BufferLoad(&h, more);
    mores.push_back(more);
    // The fill pass that the pulls woke has ended by the last pull: asking the finished source
    // again must not turn the empty queue into an end.
    if (i == 2) Sleep(100);
  }
  EXPECT_EQ(mores, (std::vector<bool>{true, true, false, true}));
  EXPECT_EQ(out, std::vector<char>(1024, 0));
  ring_.Close();  // before the source goes
}

TEST_F(RingFixture, TheFirstPullTimesOutWhenTheSourceNeverDelivers) {
  TMemorySource source(nullptr, Pattern(8192));
  std::atomic<bool> release{false};
  source.OnLoad = [&] {
    while (!release) Sleep(1);
  };
  ring_.SetInput(&source);
  SetUpRing(qmRead);
  ring_.SetTimeOut(150);
  ring_.Open();
  ring_.Start();
  std::vector<char> out(8192);
  BlockHeader h = Block(out, 0);
  bool more = false;
  const uint32_t began = timeGetTime();
  ring_.BufferLoad(&h, more);
  const uint32_t waited = timeGetTime() - began;
  EXPECT_EQ(h.dwBytesRecorded, 0u);
  EXPECT_GE(waited, 140u);
  EXPECT_FALSE(ring_.Prefilled());
  release = true;
  ring_.Close();  // before the source goes
}

TEST_F(RingFixture, ASourceThatDeliversNothingEndsTheStreamAtTheFirstPull) {
  TMemorySource source(nullptr, {});
  ring_.SetInput(&source);
  SetUpRing(qmRead);
  ring_.Open();
  ring_.Start();
  std::vector<char> out(8192);
  BlockHeader h = Block(out, 0);
  bool more = true;
  ring_.BufferLoad(&h, more);
  EXPECT_EQ(h.dwBytesRecorded, 0u);
  EXPECT_FALSE(ring_.Prefilled());
  ring_.Close();  // before the source goes
}

TEST_F(RingFixture, NoneModePassesStraightThroughWithoutAWorker) {
  TMemorySource source(nullptr, Pattern(100));
  TMemorySink sink(nullptr);
  ring_.SetInput(&source);
  ring_.SetOutput(&sink);
  SetUpRing(qmNone);
  const int before = LiveThreadCount();
  ring_.Open();
  EXPECT_EQ(LiveThreadCount(), before);
  std::vector<char> out(256);
  BlockHeader h = Block(out, 0);
  bool more = true;
  ring_.BufferLoad(&h, more);
  EXPECT_EQ(h.dwBytesRecorded, 100u);
  EXPECT_FALSE(more);
  ring_.BufferReady(&h);
  EXPECT_EQ(sink.Bytes(), Pattern(100));
  ring_.Close();
}

TEST(RingBufferProperties, ClampsAndRefusalWhileAllocated) {
  TMMRingBuffer ring(nullptr);
  EXPECT_EQ(ring.GetNumBuffers(), 20);
  EXPECT_EQ(ring.GetBufferSize(), 2048);
  EXPECT_EQ(ring.FreeBytes(), 20 * 2048);
  for (int32_t n : {1, 0, -5}) {
    ring.SetNumBuffers(n);
    EXPECT_EQ(ring.GetNumBuffers(), 20) << n;
  }
  ring.SetBufferSize(10);
  EXPECT_EQ(ring.GetBufferSize(), 32);
  ring.SetBufferSize(64);
  ring.SetNumBuffers(3);
  ring.Open();
  try {
    ring.SetNumBuffers(4);
    FAIL() << "no refusal";
  } catch (const EMMBufferError& e) {
    EXPECT_STREQ(e.what(), "Change to property while device was open");
  }
  EXPECT_THROW(ring.SetBufferSize(128), EMMBufferError);
  EXPECT_THROW(ring.SetQueueMode(qmWrite), EMMBufferError);
  ring.SetNumBuffers(3);  // the same value is no change
  EXPECT_EQ(ring.GetNumBuffers(), 3);
  EXPECT_EQ(ring.GetBufferSize(), 64);
  ring.Close();
  ring.SetQueueMode(qmWrite);
  EXPECT_EQ(ring.GetQueueMode(), qmWrite);
}

// ------------------------------------------------------------------ a dying worker

class TThrowingSink : public TMMDSPComponent {
 public:
  using TMMDSPComponent::TMMDSPComponent;
  bool HasInputPort() const override { return true; }
  void BufferReady(PWaveHdr) override {
    if (FThrow) throw std::runtime_error("disk on fire");
    ++FBlocks;
  }
  std::atomic<bool> FThrow{true};
  std::atomic<int> FBlocks{0};
};

class RingBufferWorker : public ::testing::TestWithParam<int32_t> {};

// With slots of 64 bytes everything queued goes in the failing push; with 64 KiB slots more
// than one write chunk is still queued when the output fails.
TEST_P(RingBufferWorker, AnExceptionIsReportedFreesTheQueueAndTheNextOpenWorks) {
  const int32_t slot = GetParam();
  TCollectedReports reports;
  TMMRingBuffer ring(nullptr);
  TThrowingSink sink(nullptr);
  ring.SetOutput(&sink);
  ring.SetBufferSize(slot);
  ring.SetNumBuffers(4);
  ring.SetQueueMode(qmWrite);
  ring.Open();
  ring.Start();
  std::vector<char> block = Pattern(size_t(slot));
  for (int i = 0; i < 3; ++i) {  // the second push wakes the worker
    BlockHeader h = Block(block, uint32_t(slot));
    ring.BufferReady(&h);
  }
  ASSERT_TRUE(RunUntil([&] { return !reports.Texts.empty(); }, 5000));
  EXPECT_EQ(reports.Texts, (std::vector<std::string>{"disk on fire"}));
  EXPECT_FALSE(ring.Allocated());
  ExpectNoThreadLeft();

  sink.FThrow = false;
  ring.Open();
  ring.Start();
  BlockHeader h = Block(block, uint32_t(slot));
  ring.BufferReady(&h);
  ring.Stop();
  EXPECT_EQ(sink.FBlocks, 1);
  ring.Close();
  ExpectNoThreadLeft();
}

INSTANTIATE_TEST_SUITE_P(Slots, RingBufferWorker, ::testing::Values(64, 65536));

// ------------------------------------------------------------------ stress

TEST(RingBufferStress, TinySlotsRandomBlocksNothingLostDoubledOrReordered) {
  for (int32_t slots : {2, 3, 4}) {
    TMMRingBuffer ring(nullptr);
    TMemorySink sink(nullptr);
    ring.SetOutput(&sink);
    ring.SetBufferSize(32);
    ring.SetNumBuffers(slots);
    ring.SetQueueMode(qmWrite);
    ring.SetWaitIfFull(true);
    ring.Open();
    ring.Start();
    std::vector<char> pushed;
    std::thread producer([&] {
      std::mt19937 rng(slots);
      std::uniform_int_distribution<int> size(1, 32);
      std::vector<char> block(32);
      unsigned counter = 0;
      const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(700);
      while (std::chrono::steady_clock::now() < end) {
        const int n = size(rng);
        for (int i = 0; i < n; ++i) block[size_t(i)] = char(counter++ * 7 + 3);
        pushed.insert(pushed.end(), block.begin(), block.begin() + n);
        BlockHeader h = Block(block, uint32_t(n));
        ring.BufferReady(&h);
      }
    });
    producer.join();
    ring.Stop();
    ring.Close();
    EXPECT_GT(pushed.size(), 1000u);
    EXPECT_EQ(sink.Bytes(), pushed) << slots << " slots";
  }
  ExpectNoThreadLeft();
}

}  // namespace
