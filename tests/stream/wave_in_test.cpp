#include "stream/wave_in.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>

#include "platform/kernel/clock.h"
#include "platform/mainloop/main_loop.h"
#include "platform/wave/fake_driver.h"
#include "tests/stream/collected_reports.h"
#include "tests/stream/memory_components.h"

namespace {

class WaveInTest : public ::testing::Test {
 protected:
  void SetUp() override {
    driver_ = std::make_shared<TFakeWaveDriver>(1, 2);
    SetWaveDriver(driver_);
    in_ = std::make_unique<TMMWaveIn>(nullptr);
    in_->SetOutput(&sink_);
    in_->SetMode(mStereo);
    in_->SetBitLength(b16Bit);
    in_->SetSampleRate(44100);
    in_->SetBufferSize(8192);
    in_->SetNumBuffers(4);
    in_->SetCallBackMode(cmThread);
    in_->OnStop = [this](TObject*) { ++stops_; };
    driver_->ClearCalls();
  }
  void TearDown() override {
    in_.reset();
    SetWaveDriver(nullptr);
    EXPECT_TRUE(RunUntil([] { return LiveThreadCount() == 0; }, 5000));
    ReapFinishedThreads();
  }
  // Fills one queued block and waits until the worker has pushed it and given it back.
  void Record(uint32_t bytes) {
    ASSERT_TRUE(RunUntil([&] { return driver_->QueuedIn() > 0; }, 5000));
    const int before = sink_.FBlocks;
    ASSERT_TRUE(driver_->ReturnInBlock(bytes));
    ASSERT_TRUE(RunUntil([&] { return sink_.FBlocks > before; }, 5000));
  }

  std::shared_ptr<TFakeWaveDriver> driver_;
  std::unique_ptr<TMMWaveIn> in_;
  TMemorySink sink_{nullptr};
  std::atomic<int> stops_{0};
};

TEST_F(WaveInTest, DriverCallsFollowTheLifecycle) {
  in_->Open();
  std::vector<std::string> open = {"waveInOpen(0,query)", "waveInOpen(0,CALLBACK_FUNCTION)"};
  for (int i = 0; i < 4; ++i) open.push_back("waveInPrepareHeader(48)");
  EXPECT_EQ(driver_->Calls(), open);
  driver_->ClearCalls();
  in_->Start();
  EXPECT_EQ(
      driver_->Calls(),
      (std::vector<std::string>{"waveInAddBuffer(8192)", "waveInAddBuffer(8192)",
                                "waveInAddBuffer(8192)", "waveInAddBuffer(8192)", "waveInStart"}));
  driver_->ClearCalls();
  Record(8192);
  ASSERT_TRUE(RunUntil([&] { return driver_->QueuedIn() == 4; }, 5000));
  EXPECT_EQ(driver_->Calls(),
            (std::vector<std::string>{"waveInGetPosition(samples)", "waveInAddBuffer(8192)"}));
  driver_->ClearCalls();
  in_->Stop();
  EXPECT_EQ(driver_->Calls(), (std::vector<std::string>{"waveInStop", "waveInReset"}));
  EXPECT_EQ(stops_, 1);
  driver_->ClearCalls();
  in_->Close();
  std::vector<std::string> close = {"waveInStop", "waveInReset"};
  for (int i = 0; i < 4; ++i) close.push_back("waveInUnprepareHeader(48)");
  close.push_back("waveInClose");
  EXPECT_EQ(driver_->Calls(), close);
  EXPECT_EQ(sink_.Size(), 8192u);
}

// A sink that notes what the driver had been asked when the chain started it.
class TStartWatchingSink : public TMemorySink {
 public:
  TStartWatchingSink(TFakeWaveDriver& driver) : TMemorySink(nullptr), FDriver(driver) {}
  void Start() override {
    CallsAtStart = FDriver.Calls();
    TMemorySink::Start();
  }
  std::vector<std::string> CallsAtStart;

 private:
  TFakeWaveDriver& FDriver;
};

TEST_F(WaveInTest, TheChainIsStartedBeforeTheCaptureSoNoFirstBlockIsDropped) {
  TStartWatchingSink sink(*driver_);
  in_->SetOutput(&sink);
  in_->Start();
  EXPECT_EQ(std::count(sink.CallsAtStart.begin(), sink.CallsAtStart.end(), "waveInStart"), 0);
  EXPECT_EQ(driver_->Calls().back(), "waveInStart");
  in_->Close();
  in_->SetOutput(&sink_);
}

TEST_F(WaveInTest, MaxRecordTimeCutsTheCrossingBlockAndStopsTheDevice) {
  in_->SetTimeFormat(tfMillisecond);
  in_->SetMaxRecordTime(1000);
  EXPECT_EQ(in_->MaxRecordBytes(), 176400);
  in_->Start();
  for (int i = 0; i < 22; ++i) Record(8192);  // 22 × 8192 = 180224 > 176400
  ASSERT_TRUE(RunUntil([&] { return stops_ > 0; }, 5000));
  EXPECT_EQ(sink_.Size(), 176400u);
  EXPECT_EQ(stops_, 1);
  EXPECT_FALSE(in_->DeviceState() & dsStarted);
  driver_->SetInPosition(44100 * 2);
  EXPECT_LE(in_->GetPosition(), 1000);
}

TEST_F(WaveInTest, StopDeliversThePartlyFilledBlock) {
  in_->Start();
  Record(8192);
  driver_->SetInPartialBytes(100);
  size_t atStop = 0;
  in_->OnStop = [&](TObject*) { atStop = sink_.Size(); };
  in_->Stop();
  EXPECT_EQ(atStop, 8292u) << "the partial block arrives before the device stops";
}

TEST_F(WaveInTest, FormatPropertiesClampAndFlowDownstream) {
  in_->SetSampleRate(4000);
  EXPECT_EQ(in_->GetSampleRate(), 8000);
  in_->SetSampleRate(200000);
  EXPECT_EQ(in_->GetSampleRate(), 100000);
  in_->SetMode(mMultiChannel);
  EXPECT_EQ(in_->GetMode(), mStereo);
  in_->SetSampleRate(48000);
  in_->SetBitLength(b8Bit);
  ASSERT_NE(sink_.GetPWaveFormat(), nullptr);
  EXPECT_EQ(sink_.GetPWaveFormat()->nSamplesPerSec, 48000u);
  EXPECT_EQ(sink_.GetPWaveFormat()->wBitsPerSample, 8);
  EXPECT_EQ(sink_.GetPWaveFormat()->nChannels, 2);
  // A format set from outside takes the properties with it.
  WAVEFORMATEX f{};
  BuildPCMFormat(&f, 16, 1, 22050);
  in_->SetPWaveFormat(&f);
  EXPECT_EQ(in_->GetSampleRate(), 22050);
  EXPECT_EQ(in_->GetMode(), mMono);
  EXPECT_EQ(in_->GetBitLength(), b16Bit);

  in_->Open();
  int errors = 0;
  in_->OnError = [&](TObject*) { ++errors; };
  EXPECT_THROW(in_->SetSampleRate(44100), EMMWaveInError);
  EXPECT_EQ(errors, 1) << "a refusal goes through the device's error path";
  in_->Close();
}

TEST_F(WaveInTest, InvalidDeviceAndRefusedFormatAreReported) {
  in_->SetDeviceID(InvalidId);
  EXPECT_EQ(in_->GetProductName(), "No wave audio recording device found");
  try {
    in_->Open();
    FAIL();
  } catch (const EMMWaveInError& e) {
    EXPECT_STREQ(e.what(), "Invalid DeviceID");
  }
  in_->SetDeviceID(1);
  EXPECT_EQ(in_->GetProductName(), "Fake input 1");
  driver_->SetRefuseFormats(true);
  try {
    in_->Open();
    FAIL();
  } catch (const EMMWaveInError& e) {
    EXPECT_STREQ(e.what(), "WaveInOpen:\n\rThe actual device can't record this format");
  }
  EXPECT_EQ(in_->DeviceState(), unsigned(dsClosed));
  // A device that cannot be opened for another reason says so, not that the format is wrong.
  driver_->SetRefuseFormats(false);
  driver_->ScriptResult("waveInOpen", MMSYSERR_ALLOCATED);
  try {
    in_->Open();
    FAIL();
  } catch (const EMMWaveInError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Input device \"Fake input 1\" cannot be opened: Device or resource busy");
  }
  EXPECT_EQ(in_->DeviceState(), unsigned(dsClosed));
}

TEST_F(WaveInTest, LimitsBeyondTwoGibibytesAreCountedInFull) {
  in_->SetTimeFormat(tfMillisecond);
  // Seven hours of 44.1 kHz stereo: more than 4 GiB, which the file's size limit ends.
  in_->SetMaxRecordTime(7 * 3600 * 1000);
  EXPECT_EQ(in_->MaxRecordBytes(), int64_t(7) * 3600 * 176400);
  EXPECT_EQ(in_->GetMaxRecordTime(), 7 * 3600 * 1000);
  in_->SetTimeFormat(tfSample);
  EXPECT_EQ(in_->GetMaxRecordTime(), 7 * 3600 * 44100);
  in_->SetTimeFormat(tfMillisecond);
  EXPECT_EQ(in_->GetMaxRecordTime(), 7 * 3600 * 1000);
}

TEST_F(WaveInTest, AStalledDeviceIsStoppedAndReported) {
  TCollectedReports reports;
  in_->SetStallTimeout(1000);
  in_->Start();
  Record(8192);
  // Blocks that keep coming keep the device running past the timeout.
  for (int i = 0; i < 4; ++i) {
    Delay(100, true);
    Record(8192);
  }
  EXPECT_TRUE(in_->DeviceState() & dsStarted);
  EXPECT_TRUE(reports.Texts.empty());
  // Then nothing comes back.
  ASSERT_TRUE(RunUntil([&] { return !reports.Texts.empty(); }, 10000));
  EXPECT_EQ(reports.Texts, std::vector<std::string>{kStalledText});
  EXPECT_TRUE(in_->Stalled());
  EXPECT_EQ(stops_, 1) << "the run ends the normal way, so its file is finished";
  EXPECT_FALSE(in_->DeviceState() & dsOpen);
  EXPECT_EQ(sink_.Size(), 5u * 8192);
}

// A device that goes away (unplugged, its sound server ended) refuses the block handed back: the
// run ends the normal way with what was recorded, and says that the device was lost.
TEST_F(WaveInTest, ALostDeviceEndsTheRunAndIsReported) {
  TCollectedReports reports;
  in_->Start();
  Record(8192);
  driver_->ScriptResult("waveInAddBuffer", WAVEDRVERR_DEVICELOST);
  Record(8192);
  ASSERT_TRUE(RunUntil([&] { return !reports.Texts.empty(); }, 5000));
  ASSERT_EQ(reports.Texts.size(), 1u);
  EXPECT_NE(reports.Texts[0].find("the sound device was lost"), std::string::npos)
      << reports.Texts[0];
  EXPECT_TRUE(in_->Lost());
  EXPECT_FALSE(in_->Stalled());
  ASSERT_TRUE(RunUntil([&] { return !(in_->DeviceState() & dsOpen); }, 5000));
  EXPECT_EQ(stops_, 1) << "the run ends the normal way, so its file is finished";
  EXPECT_EQ(sink_.Size(), 2u * 8192);
}

TEST_F(WaveInTest, APausedDeviceIsNotAStall) {
  in_->SetStallTimeout(100);
  in_->Start();
  in_->Pause();
  Delay(400, true);
  EXPECT_FALSE(in_->Stalled());
  EXPECT_TRUE(in_->DeviceState() & dsStarted);
  in_->Close();
}

}  // namespace
