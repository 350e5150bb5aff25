#include "stream/wave_out.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/kernel/clock.h"
#include "platform/mainloop/main_loop.h"
#include "platform/wave/fake_driver.h"
#include "platform/wave/system_driver.h"
#include "platform/wave/virtual_driver.h"
#include "stream/ring_buffer.h"
#include "stream/wave_file.h"
#include "stream/wave_format.h"
#include "tests/stream/memory_components.h"
#include "tests/stream/virtual_driver_setup.h"
#include "tests/stream/wave_test_data.h"

namespace {

class WaveOutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    driver_ = std::make_shared<TFakeWaveDriver>(2, 1);
    SetWaveDriver(driver_);
  }
  void TearDown() override {
    out_.reset();
    source_.reset();
    SetWaveDriver(nullptr);
    EXPECT_TRUE(RunUntil([] { return LiveThreadCount() == 0; }, 5000));
    ReapFinishedThreads();
  }
  // A play chain: memory source -> device -> memory sink.
  void MakeChain(size_t sourceBytes, int32_t blockSize = 1024, int32_t blocks = 3) {
    data_ = Pattern(sourceBytes);
    source_ = std::make_unique<TMemorySource>(nullptr, data_);
    out_ = std::make_unique<TMMWaveOut>(nullptr);
    out_->SetInput(source_.get());
    out_->SetOutput(&sink_);
    WAVEFORMATEX f{};
    BuildPCMFormat(&f, 16, 2, 44100);
    source_->SetPWaveFormat(&f);
    out_->SetBufferSize(blockSize);
    out_->SetNumBuffers(blocks);
    out_->SetCallBackMode(cmThread);
    out_->OnStop = [this](TObject*) { ++stops_; };
    driver_->ClearCalls();
  }
  // Returns one block from the driver and waits until the worker has handled it.
  void ReturnBlock() {
    const int before = sink_.FBlocks;
    ASSERT_TRUE(driver_->ReturnOutBlock());
    ASSERT_TRUE(RunUntil([&] { return sink_.FBlocks > before; }, 5000));
  }

  std::shared_ptr<TFakeWaveDriver> driver_;
  std::vector<char> data_;
  std::unique_ptr<TMemorySource> source_;
  std::unique_ptr<TMMWaveOut> out_;
  TMemorySink sink_{nullptr};
  std::atomic<int> stops_{0};
};

TEST_F(WaveOutTest, DriverCallsFollowTheLifecycle) {
  MakeChain(1024 * 10);
  out_->Open();
  EXPECT_EQ(driver_->Calls(),
            (std::vector<std::string>{"waveOutOpen(0,query)", "waveOutOpen(0,CALLBACK_FUNCTION)"}));
  driver_->ClearCalls();
  out_->Start();
  EXPECT_EQ(driver_->Calls(),
            (std::vector<std::string>{"waveOutPause", "waveOutPrepareHeader(48)",
                                      "waveOutWrite(1024)", "waveOutPrepareHeader(48)",
                                      "waveOutWrite(1024)", "waveOutPrepareHeader(48)",
                                      "waveOutWrite(1024)", "waveOutRestart"}));
  driver_->ClearCalls();
  ReturnBlock();
  ASSERT_TRUE(RunUntil([&] { return driver_->QueuedOut() == 3; }, 5000));
  EXPECT_EQ(driver_->Calls(),
            (std::vector<std::string>{"waveOutGetPosition(samples)", "waveOutWrite(1024)"}));
  driver_->ClearCalls();
  out_->Stop();
  EXPECT_EQ(driver_->Calls(),
            (std::vector<std::string>{"waveOutReset", "waveOutUnprepareHeader(48)",
                                      "waveOutUnprepareHeader(48)", "waveOutUnprepareHeader(48)"}));
  EXPECT_EQ(stops_, 1);
  driver_->ClearCalls();
  out_->Close();
  EXPECT_EQ(driver_->Calls(), (std::vector<std::string>{"waveOutClose"}));
  EXPECT_EQ(out_->DeviceState(), unsigned(dsClosed));
  // What was played went on downstream, in order.
  EXPECT_EQ(sink_.Bytes(), std::vector<char>(data_.begin(), data_.begin() + 1024));
}

TEST_F(WaveOutTest, AStopDuringBufferDoneFinishesThroughTheStopRequest) {
  MakeChain(1024 * 10);
  std::atomic<bool> inside{false}, release{false};
  sink_.OnReceive = [&] {
    inside = true;
    while (!release) Sleep(1);
  };
  out_->Start();
  ASSERT_TRUE(driver_->ReturnOutBlock());
  ASSERT_TRUE(RunUntil([&] { return inside.load(); }, 5000));
  out_->Stop();  // the worker is inside BufferDone: the stop is handed over
  EXPECT_EQ(stops_, 0);
  EXPECT_TRUE(out_->DeviceState() & dsStarted);
  release = true;
  ASSERT_TRUE(RunUntil([&] { return stops_ > 0; }, 5000));
  RunUntil([] { return false; }, 100);  // nothing more arrives
  EXPECT_EQ(stops_, 1);
  EXPECT_FALSE(out_->DeviceState() & dsStarted);
  sink_.OnReceive = nullptr;
}

TEST_F(WaveOutTest, ALongPrimingShowsTheBusyCursorUntilItEnds) {
  std::vector<bool> shown;
  SetBusyCursorHook([&](bool busy) { shown.push_back(busy); });
  MakeChain(8192 * 30, 8192, 20);  // 163840 bytes to prime
  out_->Start();
  EXPECT_EQ(shown, (std::vector<bool>{true, false}));
  out_->Close();
  shown.clear();
  out_->SetShowHourGlass(false);
  out_->Start();
  EXPECT_TRUE(shown.empty());
  out_->Close();
  SetBusyCursorHook(nullptr);
}

TEST_F(WaveOutTest, AnErrorOnTheWorkerIsReportedAndTheDeviceClosesOnTheMainThread) {
  MakeChain(1024 * 10);
  std::vector<std::string> reports;
  SetExceptionHandler([&](std::exception_ptr e) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& x) {
      reports.push_back(x.what());
    }
  });
  bool closedOnMain = false;
  out_->OnClose = [&](TObject*) { closedOnMain = IsMainThread(); };
  sink_.OnReceive = [] { throw std::runtime_error("meter broke"); };
  out_->Start();
  ASSERT_TRUE(driver_->ReturnOutBlock());
  ASSERT_TRUE(RunUntil([&] { return out_->DeviceState() == unsigned(dsClosed); }, 5000));
  EXPECT_EQ(reports, (std::vector<std::string>{"meter broke"}));
  EXPECT_TRUE(closedOnMain);
  sink_.OnReceive = nullptr;
  SetExceptionHandler(nullptr);
}

TEST_F(WaveOutTest, AShortSourceStopsItselfAfterItsLastBlock) {
  MakeChain(1024 * 2 + 500, 1024, 5);
  out_->Start();
  EXPECT_EQ(driver_->QueuedOut(), 3) << "only what the source had was primed";
  for (int i = 0; i < 3; ++i) ReturnBlock();
  ASSERT_TRUE(RunUntil([&] { return stops_ > 0; }, 5000));
  EXPECT_EQ(stops_, 1);
  EXPECT_EQ(sink_.Bytes(), data_);
  EXPECT_TRUE(out_->DeviceState() & dsOpen);
  out_->Close();
}

TEST_F(WaveOutTest, AnEmptySourceFailsToStartAndLeavesTheDeviceClosed) {
  MakeChain(0);
  int errors = 0;
  out_->OnError = [&](TObject*) { ++errors; };
  try {
    out_->Start();
    FAIL() << "started without data";
  } catch (const EMMWaveOutError& e) {
    EXPECT_STREQ(e.what(), "WaveOutStart:\n\rUnable to start device");
  }
  EXPECT_GE(errors, 1);
  EXPECT_EQ(out_->DeviceState(), unsigned(dsClosed));
  EXPECT_EQ(driver_->Calls().back(), "waveOutClose");
}

TEST_F(WaveOutTest, AWrappingDriverCounterKeepsThePositionIncreasing) {
  MakeChain(1024 * 20);
  out_->SetTimeFormat(tfSample);
  out_->Start();
  driver_->SetOutPosition(0xFFF00);
  const int queued = driver_->QueuedOut();
  // Each block is passed on before the device reads the position and writes the block again.
  ReturnBlock();
  ASSERT_TRUE(RunUntil([&] { return driver_->QueuedOut() == queued; }, 5000));
  const int64_t before = out_->GetPosition();
  EXPECT_EQ(before, 0xFFF00);
  driver_->SetOutPosition(0x100);  // a 20-bit counter wrapped
  ReturnBlock();
  ASSERT_TRUE(RunUntil([&] { return driver_->QueuedOut() == queued; }, 5000));
  const int64_t after = out_->GetPosition();
  EXPECT_GT(after, before);
  EXPECT_EQ(after, 0x100 + 0xFFFFF);
  out_->Close();
}

TEST_F(WaveOutTest, DriverErrorsBecomeDeviceMessages) {
  // Only a refused format says so; a device that cannot be opened, at the query too, is named
  // with the system's reason; a failure later gives the driver's own reason after the call's
  // name.
  struct Case {
    const char* call;
    MMRESULT result;
    bool start;
    std::string message;
  } cases[] = {
      {"waveOutOpen(query)", WAVERR_BADFORMAT, false,
       "WaveOutOpen:\n\rThe actual device can't play this format"},
      {"waveOutOpen(query)", MMSYSERR_BADDEVICEID, false,
       "Output device \"Fake output 0\" cannot be opened: No such device"},
      {"waveOutOpen(query)", MMSYSERR_ALLOCATED, false,
       "Output device \"Fake output 0\" cannot be opened: Device or resource busy"},
      {"waveOutOpen", MMSYSERR_ALLOCATED, false,
       "Output device \"Fake output 0\" cannot be opened: Device or resource busy"},
      {"waveOutWrite", MMSYSERR_NOMEM, true,
       "WaveOutWrite:\n\r" + WaveOutErrorText(MMSYSERR_NOMEM)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.call) + " " + std::to_string(c.result));
    MakeChain(1024 * 4);
    driver_->ScriptResult(c.call, c.result);
    try {
      c.start ? out_->Start() : out_->Open();
      ADD_FAILURE() << c.call;
    } catch (const EMMWaveOutError& e) {
      EXPECT_EQ(e.what(), c.message);
    }
    EXPECT_EQ(out_->DeviceState(), unsigned(dsClosed)) << c.call;
  }
  // A driver that never confirms the open.
  MakeChain(1024);
  driver_->SetDeliverOpen(false);
  EXPECT_THROW(out_->Open(), EMMWaveOutError);
  driver_->SetDeliverOpen(true);
}

TEST_F(WaveOutTest, PropertiesClampRefuseAndNameTheDevice) {
  MakeChain(1024);
  out_->SetNumBuffers(1);
  EXPECT_EQ(out_->GetNumBuffers(), 3);
  out_->SetNumBuffers(1000);
  EXPECT_EQ(out_->GetNumBuffers(), 500);
  out_->SetBufferSize(10);
  EXPECT_EQ(out_->GetBufferSize(), 32);
  EXPECT_EQ(out_->GetProductName(), "Fake output 0");
  out_->SetDeviceID(2);  // beyond the two devices
  EXPECT_EQ(out_->GetDeviceID(), InvalidId);
  EXPECT_EQ(out_->GetProductName(), "No wave audio playing device found");
  try {
    out_->Open();
    FAIL();
  } catch (const EMMWaveOutError& e) {
    EXPECT_STREQ(e.what(), "Invalid DeviceID");
  }
  out_->SetDeviceID(1);
  EXPECT_EQ(out_->GetProductName(), "Fake output 1");
  out_->SetBufferSize(1024);
  out_->Open();
  EXPECT_THROW(out_->SetNumBuffers(4), EMMWaveOutError);
  EXPECT_THROW(out_->SetDeviceID(0), EMMWaveOutError);
  out_->Close();

  std::string shown;
  SetMessageBoxHook(
      [&](const std::string& text, const std::string& caption) { shown = caption + "|" + text; });
  out_->SetCallBackMode(cmCallback);
  EXPECT_EQ(out_->GetCallBackMode(), cmThread);
  EXPECT_EQ(shown,
            "TMMWaveOut|\"CallBacks\" are called at interrupt time !\n\rThis is currently only "
            "supported under Windows 95");
  SetMessageBoxHook(nullptr);
}

// The "fmt " body of an extensible record: the plain fields, then valid bits, speaker mask and
// the subformat GUID (PCM unless another first field is given).
std::string ExtensibleFmtBody(uint16_t channels, uint16_t bits, uint16_t validBits,
                              uint32_t subFormat = 1) {
  using namespace wavetest;
  const std::string guidTail("\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 12);
  return FmtBody(WAVE_FORMAT_EXTENSIBLE, channels, 44100, bits) + Le16(22) + Le16(validBits) +
         Le32(channels == 1 ? 0x4 : 0x3) + Le32(subFormat) + guidTail;
}

// The play chain of the program (file, ring buffer, output device) on the virtual output,
// which writes what it played to a file.
class VirtualPlayChain : public ::testing::Test {
 protected:
  // Faster than real time. (The device waits for the ring buffer's worker when it gets ahead:
  // tests/stream/play_chain_test.cpp plays unpaced.)
  void SetUp() override { UseVirtualDriver("5"); }
  void TearDown() override { EndVirtualDriver(); }
  // Plays the file to its end; returns the bytes the device played.
  std::string Play(const std::string& wave) {
    const std::string played = dir_.File("played.raw");
    std::filesystem::remove(played);
    setenv("NEEDLEREC_VIRTUAL_OUTPUT", played.c_str(), 1);
    TMMWaveFile file(nullptr);
    TMMRingBuffer ring(nullptr);
    TMMWaveOut device(nullptr);
    device.SetBufferSize(4096);
    device.SetNumBuffers(10);
    device.SetCallBackMode(cmThread);
    ring.SetBufferSize(4096);
    ring.SetNumBuffers(20);
    ring.SetQueueMode(qmRead);
    file.SetFileName(wave);
    ring.SetInput(&file);
    device.SetInput(&ring);
    std::atomic<bool> stopped{false};
    device.OnStop = [&](TObject*) { stopped = true; };
    device.Start();
    EXPECT_TRUE(RunUntil([&] { return stopped.load(); }, 60000)) << "the play never ended";
    device.Close();
    return wavetest::ReadFile(played);
  }

  wavetest::TTempDir dir_;
};

TEST_F(VirtualPlayChain, ExtensiblePcmOf8And16BitsPlaysBitForBit) {
  using namespace wavetest;
  struct Case {
    uint16_t channels, bits;
  } cases[] = {{2, 16}, {1, 16}, {1, 8}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.channels) + " channels, " + std::to_string(c.bits) + " bits");
    // A second and a bit: several blocks and a partial last one. The 8-bit pattern takes every
    // byte value.
    std::string samples;
    const size_t frames = 44100 + 777;
    if (c.bits == 16) {
      samples = Samples16(frames, c.channels);
    } else {
      for (size_t i = 0; i < frames * c.channels; ++i) samples += char(i * 7 + 3);
    }
    const std::string name = dir_.File("extensible.wav");
    WriteFile(name, Riff(Chunk("fmt ", ExtensibleFmtBody(c.channels, c.bits, c.bits)) +
                         Chunk("fact", Le32(uint32_t(frames))) + Chunk("data", samples)));
    const std::string played = Play(name);
    EXPECT_EQ(played.size(), samples.size());
    EXPECT_TRUE(played == samples) << "the played bytes differ";
  }
}

}  // namespace
