#include "stream/sound_component.h"

#include <gtest/gtest.h>

#include <functional>

#include "tests/stream/test_components.h"

namespace {

using TOp = std::function<void(TMMDSPComponent&)>;

struct NamedOp {
  const char* name;
  TOp run;
};

const NamedOp kOps[] = {
    {"Open", [](TMMDSPComponent& c) { c.Open(); }},
    {"Start", [](TMMDSPComponent& c) { c.Start(); }},
    {"Pause", [](TMMDSPComponent& c) { c.Pause(); }},
    {"Restart", [](TMMDSPComponent& c) { c.Restart(); }},
    {"Stop", [](TMMDSPComponent& c) { c.Stop(); }},
    {"Reset", [](TMMDSPComponent& c) { c.Reset(); }},
    {"Looping", [](TMMDSPComponent& c) { c.Looping(); }},
    {"Close", [](TMMDSPComponent& c) { c.Close(); }},
};

TOpLog Expected(std::initializer_list<const char*> names, const char* op) {
  TOpLog out;
  for (const char* n : names) out.push_back(std::string(n) + "." + op);
  return out;
}

// The record chain: a device pushing into three passive components.
TEST(SoundComponent, RecordChainOperationsReachUpstreamFirstAndTheDeviceLast) {
  TOpLog log;
  TSound wave("WaveIn", &log);
  TPassive conn("Conn", &log), ring("Ring", &log), file("File", &log);
  wave.SetOutput(&conn);
  conn.SetOutput(&ring);
  ring.SetOutput(&file);
  wave.SetBufferSize(8192);
  for (const auto& op : kOps) {
    log.clear();
    op.run(wave);
    EXPECT_EQ(log, Expected({"Conn", "Ring", "File", "WaveIn"}, op.name)) << op.name;
  }
  EXPECT_FALSE(wave.DrivenByInput());
}

// The play chain: passive sources upstream, the device, then a passive tap downstream.
TEST(SoundComponent, PlayChainHandlesTheSourcesThenTheTapThenTheDevice) {
  TOpLog log;
  TPassive file("File", &log), ring("Ring", &log), tap("Tap", &log);
  TSound wave("WaveOut", &log);
  file.SetOutput(&ring);
  ring.SetOutput(&wave);
  wave.SetOutput(&tap);
  for (const auto& op : kOps) {
    log.clear();
    op.run(wave);
    EXPECT_EQ(log, Expected({"File", "Ring", "Tap", "WaveOut"}, op.name)) << op.name;
  }
}

TEST(SoundComponent, OpenGivesThePassiveComponentsTheDeviceBlockSize) {
  TSound wave("W", nullptr);
  TPassive ring("R", nullptr), file("F", nullptr);
  WAVEFORMATEX f{};
  BuildPCMFormat(&f, 16, 2, 44100);
  wave.SetPWaveFormat(&f);
  wave.SetOutput(&ring);
  ring.SetOutput(&file);
  wave.SetBufferSize(8191);
  wave.Open();
  EXPECT_EQ(ring.RealBufferSize(), 8188);
  EXPECT_EQ(file.RealBufferSize(), 8188);
  EXPECT_TRUE(ring.Opened() && file.Opened() && wave.Opened());
}

// A device fed by another device: each drives its own segment.
TEST(SoundComponent, SegmentsEndAtTheNextSoundComponent) {
  TOpLog log;
  TPassive src("Src", &log), mid("Mid", &log), tail("Tail", &log);
  TSound in("In", &log), out("Out", &log);
  src.SetOutput(&in);
  in.SetOutput(&mid);
  mid.SetOutput(&out);
  out.SetOutput(&tail);

  log.clear();
  in.Open();
  // Src, Mid, then Out with its own segment (Tail, then Out), then In itself.
  EXPECT_EQ(log, (TOpLog{"Src.Open", "Mid.Open", "Tail.Open", "Out.Open", "In.Open"}));
  EXPECT_TRUE(out.DrivenByInput());
  EXPECT_FALSE(in.DrivenByInput());

  log.clear();
  in.Start();
  EXPECT_EQ(log, (TOpLog{"Src.Start", "Mid.Start", "Tail.Start", "Out.Start", "In.Start"}));

  // Stop and Close reach the downstream device first, and it is not called again.
  log.clear();
  in.Stop();
  EXPECT_EQ(log, (TOpLog{"Tail.Stop", "Out.Stop", "Src.Stop", "Mid.Stop", "In.Stop"}));
  log.clear();
  in.Close();
  EXPECT_EQ(log, (TOpLog{"Tail.Close", "Out.Close", "Src.Close", "Mid.Close", "In.Close"}));

  // Operating the downstream device alone touches only its own segment.
  log.clear();
  out.Start();
  EXPECT_EQ(log, (TOpLog{"Tail.Start", "Out.Start"}));
}

}  // namespace
