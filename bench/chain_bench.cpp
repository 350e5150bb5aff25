// Pushing and pulling 8192-byte blocks through a chain of four pass-through components:
// the cost of the chain itself, a baseline for the components that do real work.
#include <benchmark/benchmark.h>

#include <vector>

#include "stream/dsp_component.h"
#include "stream/wave_format.h"

namespace {

class TPassThrough : public TMMDSPComponent {
 public:
  using TMMDSPComponent::TMMDSPComponent;
  bool HasInputPort() const override { return true; }
  bool HasOutputPort() const override { return true; }
};

struct FourChain {
  TPassThrough a{nullptr}, b{nullptr}, c{nullptr}, d{nullptr};
  std::vector<char> data = std::vector<char>(8192, 1);
  BlockHeader header{};
  uint64_t sum = 0;

  FourChain() {
    a.SetOutput(&b);
    b.SetOutput(&c);
    c.SetOutput(&d);
    WAVEFORMATEX f{};
    BuildPCMFormat(&f, 16, 2, 44100);
    a.SetPWaveFormat(&f);
    header.lpData = data.data();
    header.dwBufferLength = uint32_t(data.size());
    d.OnBufferReady = [this](TObject*, PWaveHdr h) {
      sum += uint8_t(h->lpData[h->dwBytesRecorded - 1]);
    };
    a.OnBufferLoad = [](TObject*, PWaveHdr h, bool& more) {
      h->dwBytesRecorded = h->dwBufferLength;
      more = true;
    };
  }
};

void BM_PushThroughFour(benchmark::State& state) {
  FourChain chain;
  for (auto _ : state) {
    chain.header.dwBytesRecorded = 8192;
    chain.a.BufferReady(&chain.header);
  }
  benchmark::DoNotOptimize(chain.sum);
  state.SetBytesProcessed(int64_t(state.iterations()) * 8192);
}
BENCHMARK(BM_PushThroughFour);

void BM_PullThroughFour(benchmark::State& state) {
  FourChain chain;
  for (auto _ : state) {
    bool more = false;
    chain.header.dwBytesRecorded = 0;
    chain.d.BufferLoad(&chain.header, more);
    benchmark::DoNotOptimize(more);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * 8192);
}
BENCHMARK(BM_PullThroughFour);

}  // namespace
