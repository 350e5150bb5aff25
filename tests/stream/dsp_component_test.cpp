#include "stream/dsp_component.h"

#include <gtest/gtest.h>

#include <memory>

#include "stream/wave_format.h"
#include "tests/stream/test_components.h"

namespace {

WAVEFORMATEX Pcm(int bits, int channels, uint32_t rate) {
  WAVEFORMATEX f{};
  BuildPCMFormat(&f, bits, channels, rate);
  return f;
}

struct Chain : ::testing::Test {
  TOpLog log;
  TPassive A{"A", &log}, B{"B", &log}, C{"C", &log}, D{"D", &log};
};

TEST_F(Chain, LinksAreStoredOnBothEnds) {
  B.SetInput(&A);
  C.SetInput(&B);
  EXPECT_EQ(A.GetOutput(), &B);
  EXPECT_EQ(B.GetInput(), &A);
  EXPECT_EQ(B.InputPortName(), "Output");
  EXPECT_EQ(A.OutputPortName(), "Input");
  EXPECT_EQ(C.GetInput(), &B);
  C.SetInput(nullptr);
  EXPECT_EQ(B.GetOutput(), nullptr);
  EXPECT_EQ(B.OutputPortName(), "");
}

TEST_F(Chain, TakingOverAnInputDetachesThePreviousPartner) {
  A.SetOutput(&B);
  WAVEFORMATEX f = Pcm(16, 2, 44100);
  A.SetPWaveFormat(&f);
  A.Open();
  A.Start();
  B.Open();
  B.Start();
  log.clear();

  C.SetInput(&A);
  EXPECT_EQ(A.GetOutput(), &C);
  EXPECT_EQ(C.GetInput(), &A);
  EXPECT_EQ(B.GetInput(), nullptr);
  EXPECT_EQ(B.InputPortName(), "");
  // B is neither stopped nor given a new format.
  EXPECT_TRUE(B.Started());
  ASSERT_NE(B.GetPWaveFormat(), nullptr);
  EXPECT_EQ(B.GetPWaveFormat()->nSamplesPerSec, 44100u);
  EXPECT_EQ(log, (TOpLog{"C.Stop"}));
  // C has A's format.
  ASSERT_NE(C.GetPWaveFormat(), nullptr);
  EXPECT_NE(C.GetPWaveFormat(), A.GetPWaveFormat());
}

TEST_F(Chain, TakingOverAnOutputDetachesThePreviousPartner) {
  A.SetOutput(&B);
  C.SetOutput(&B);
  EXPECT_EQ(A.GetOutput(), nullptr);
  EXPECT_EQ(A.OutputPortName(), "");
  EXPECT_EQ(B.GetInput(), &C);
  EXPECT_EQ(C.GetOutput(), &B);
}

TEST_F(Chain, RelinkingTheMiddleKeepsEveryLinkTwoSided) {
  A.SetOutput(&B);
  B.SetOutput(&C);
  // D takes B's place between A and C.
  D.SetInput(&A);
  D.SetOutput(&C);
  EXPECT_EQ(A.GetOutput(), &D);
  EXPECT_EQ(C.GetInput(), &D);
  EXPECT_EQ(B.GetInput(), nullptr);
  EXPECT_EQ(B.GetOutput(), nullptr);
  for (TMMDSPComponent* c :
       {static_cast<TMMDSPComponent*>(&A), static_cast<TMMDSPComponent*>(&B),
        static_cast<TMMDSPComponent*>(&C), static_cast<TMMDSPComponent*>(&D)}) {
    if (c->GetOutput()) {
      EXPECT_EQ(c->GetOutput()->GetInput(), c) << c->Name();
    }
    if (c->GetInput()) {
      EXPECT_EQ(c->GetInput()->GetOutput(), c) << c->Name();
    }
  }
}

TEST_F(Chain, RefusesLinksThatCloseALoopOrLackAPort) {
  A.SetOutput(&B);
  B.SetOutput(&C);
  log.clear();

  A.SetInput(&A);
  A.SetInput(&C);  // C is downstream of A
  A.SetInput(&B);
  C.SetOutput(&A);  // A is upstream of C
  C.SetOutput(&C);
  EXPECT_EQ(A.GetInput(), nullptr);
  EXPECT_EQ(C.GetOutput(), nullptr);
  EXPECT_EQ(A.GetOutput(), &B);
  EXPECT_EQ(B.GetOutput(), &C);
  EXPECT_TRUE(log.empty()) << "a refused link stops nothing";

  D.FHasOutput = false;
  C.SetInput(&D);  // D has no Output port
  EXPECT_EQ(C.GetInput(), &B);
  D.FHasInput = false;
  C.SetOutput(&D);  // D has no Input port
  EXPECT_EQ(C.GetOutput(), nullptr);
}

TEST_F(Chain, FormatFlowsDownAChainOfFour) {
  A.SetOutput(&B);
  B.SetOutput(&C);
  C.SetOutput(&D);
  WAVEFORMATEX f = Pcm(16, 2, 48000);
  A.SetPWaveFormat(&f);
  for (TMMDSPComponent* c : {static_cast<TMMDSPComponent*>(&B), static_cast<TMMDSPComponent*>(&C),
                             static_cast<TMMDSPComponent*>(&D)}) {
    ASSERT_NE(c->GetPWaveFormat(), nullptr) << c->Name();
    EXPECT_EQ(c->GetPWaveFormat()->nSamplesPerSec, 48000u);
    EXPECT_NE(c->GetPWaveFormat(), c->GetInput()->GetPWaveFormat()) << "each keeps its own copy";
  }
  // Unlinking the last-but-one gives the former last component no format.
  C.SetOutput(nullptr);
  EXPECT_EQ(D.GetPWaveFormat(), nullptr);
  // A component linked in later takes the format of its input.
  D.SetInput(&C);
  ASSERT_NE(D.GetPWaveFormat(), nullptr);
  EXPECT_EQ(D.GetPWaveFormat()->nSamplesPerSec, 48000u);
  // A format change while started stops the component first.
  D.Open();
  D.Start();
  WAVEFORMATEX g = Pcm(8, 1, 8000);
  A.SetPWaveFormat(&g);
  EXPECT_FALSE(D.Started());
  EXPECT_EQ(D.GetPWaveFormat()->nSamplesPerSec, 8000u);
}

TEST_F(Chain, NothingPropagatesWhileLoading) {
  for (TPassive* c : {&A, &B, &C}) c->BeginLoading();
  WAVEFORMATEX f = Pcm(16, 2, 44100);
  A.SetPWaveFormat(&f);
  A.SetOutput(&B);
  B.SetOutput(&C);
  EXPECT_EQ(B.GetPWaveFormat(), nullptr);
  EXPECT_EQ(C.GetPWaveFormat(), nullptr);
  for (TPassive* c : {&A, &B, &C}) c->Loaded();
  ASSERT_NE(C.GetPWaveFormat(), nullptr);
  EXPECT_EQ(C.GetPWaveFormat()->nSamplesPerSec, 44100u);
}

TEST(DSPComponent, RealBufferSizeIsWholeFrames) {
  WAVEFORMATEX f = Pcm(16, 2, 44100);  // block align 4
  struct Case {
    int32_t requested, real;
    bool withFormat;
  } cases[] = {{8192, 8192, true}, {1001, 1000, true}, {2, 4, true}, {1001, 1001, false}};
  for (const auto& c : cases) {
    TPassive p("P", nullptr);
    if (c.withFormat) p.SetPWaveFormat(&f);
    p.SetBufferSize(c.requested);
    EXPECT_EQ(p.RealBufferSize(), 2048) << "fixed only by Open";
    p.Open();
    EXPECT_EQ(p.RealBufferSize(), c.real) << c.requested;
    EXPECT_EQ(p.GetBufferSize(), c.real);
    p.SetBufferSize(4096);  // takes effect at the next Open
    EXPECT_EQ(p.GetBufferSize(), c.real);
    p.Close();
    EXPECT_EQ(p.GetBufferSize(), 4096);
  }
}

TEST(DSPComponent, LifecycleFlags) {
  TPassive p("P", nullptr);
  p.Start();
  EXPECT_FALSE(p.Started()) << "Start before Open";
  p.Pause();
  EXPECT_TRUE(p.Paused()) << "Pause needs no Start";
  p.Open();
  EXPECT_FALSE(p.Paused());
  p.Start();
  p.Pause();
  EXPECT_TRUE(p.Started() && p.Paused());
  p.Restart();
  EXPECT_FALSE(p.Paused());
  p.Stop();
  EXPECT_FALSE(p.Started());
  EXPECT_TRUE(p.Opened()) << "Stop does not close";
  p.Start();
  p.Close();
  EXPECT_FALSE(p.Opened());
  EXPECT_TRUE(p.Started()) << "Close leaves Started to the subclasses";
}

TEST(DSPComponent, TransportRunsTheEventThenTheNeighbour) {
  TOpLog order;
  TPassive src("src", nullptr), mid("mid", nullptr), sink("sink", nullptr);
  mid.SetInput(&src);
  mid.SetOutput(&sink);
  src.OnBufferLoad = [&](TObject*, PWaveHdr h, bool& more) {
    order.push_back("src.load");
    h->dwBytesRecorded = 100;
    more = true;
  };
  mid.OnBufferLoad = [&](TObject* sender, PWaveHdr, bool&) {
    EXPECT_EQ(sender, &mid);
    order.push_back("mid.load");
  };
  mid.OnBufferReady = [&](TObject*, PWaveHdr) { order.push_back("mid.ready"); };
  sink.OnBufferReady = [&](TObject*, PWaveHdr h) {
    order.push_back("sink.ready");
    EXPECT_EQ(h->dwBytesRecorded, 100u);
  };
  BlockHeader h{};
  bool more = false;
  sink.BufferLoad(&h, more);
  EXPECT_TRUE(more);
  src.BufferReady(&h);
  EXPECT_EQ(order, (TOpLog{"mid.load", "src.load", "mid.ready", "sink.ready"}));
}

TEST(DSPComponent, DestructionUnlinksAndLeavesTheRegistry) {
  const size_t before = TMMDSPComponent::StreamRegistry().size();
  TPassive a("A", nullptr), c("C", nullptr);
  WAVEFORMATEX f = Pcm(16, 2, 44100);
  a.SetPWaveFormat(&f);
  {
    TPassive b("B", nullptr);
    b.SetInput(&a);
    b.SetOutput(&c);
    EXPECT_EQ(TMMDSPComponent::StreamRegistry().size(), before + 3);
    ASSERT_NE(c.GetPWaveFormat(), nullptr);
  }
  EXPECT_EQ(a.GetOutput(), nullptr);
  EXPECT_EQ(c.GetInput(), nullptr);
  EXPECT_EQ(c.GetPWaveFormat(), nullptr);
  EXPECT_EQ(TMMDSPComponent::StreamRegistry().size(), before + 2);

  // Owned components go with their owner, unlinking on the way.
  auto owner = std::make_unique<TComponent>(nullptr);
  auto* owned = new TPassive("O", nullptr, owner.get());
  owned->SetInput(&a);
  owner.reset();
  EXPECT_EQ(a.GetOutput(), nullptr);
}

}  // namespace
