// What a spectrum analyser measures, without drawing it: one block of PCM per update, windowed
// and transformed by a real FFT of 8 to 4096 points, the bins gathered into display columns on
// a linear or logarithmic frequency axis, each column's amplitude on a linear or decibel scale
// as a count of display levels (pixels, or spots of a bar), smoothed by a decay law, with held
// peaks that the 25 ms display ticks let fall.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "instruments/core/decay.h"
#include "instruments/core/pcm_level.h"
#include "instruments/core/peak_hold.h"
#include "instruments/core/real_fft.h"
#include "stream/instrument_data.h"
#include "stream/mm_error.h"

class EMMSpectrumError : public EMMError {
 public:
  using EMMError::EMMError;
};

enum TMMFFTWindow {
  fwRectangular,
  fwHamming,
  fwHanning,
  fwBlackman,
  fwGaussian,
  fwWelch,
  fwParzen
};
enum TMMSpectrumGain { sgNone, sg3db, sg6db, sg9db, sg12db };

constexpr int kMinFFTLength = 8;
constexpr int kMaxFFTLength = 4096;
// The span of the decibel scale: its bottom lies this far below a full-scale sine.
constexpr double kSpectrumDbRange = 90.0;

// Value clamped to 8..4096 and rounded down to a power of two.
int RoundFFTLength(int Value);
// N values w(i) = floor(window(i) × 32767 + 0.5) of the window over N samples.
std::vector<int32_t> FFTWindowTable(TMMFFTWindow Window, int N);

// The FFT bins First .. Last (inclusive) that one display column shows.
struct TMMBinRange {
  int First = 0;
  int Last = 0;
  bool operator==(const TMMBinRange&) const = default;
};
// Columns columns over the frequencies from the start (0 Hz, or on a logarithmic axis the first
// bin's frequency and at least 20 Hz) to SampleRate / 2 / FrequencyScale, of an FFT of
// FFTLength points. A column narrower than a bin shows the bin nearest its centre.
std::vector<TMMBinRange> FrequencyMapping(int Columns, int FFTLength, int SampleRate, bool LogFreq,
                                          int FrequencyScale);

class TMMSpectrumLaw : public TMMInstrumentData {
 public:
  TMMSpectrumLaw();
  ~TMMSpectrumLaw() override;

  // Threads: everything but Tick and GetPeak belongs to the thread that hands the data over (or
  // is guarded by the owner's lock). Tick runs on the display timer's thread and only lowers the
  // held peaks; the column storage is replaced only by SetColumns, which the owner calls while
  // the ticks are suspended.

  // 8 or 16 bits, 1, 2 or 4 channels, 4000..100000 Hz; anything else raises EMMSpectrumError
  // "Invalid WaveFormat" and keeps the previous format.
  void SetPWaveFormat(const WAVEFORMATEX* Format) override;
  // (BitLength + 1) × channels × FFTLength.
  int32_t GetNumBytes() const override { return PcmBytes(FPcm, FFTLength); }
  // One block of FFTLength frames: the columns and their peaks. Null is ignored.
  void RefreshPCMData(const void* Data) override;
  // Zeroes the columns, the peaks, the decay state and the differencing history.
  void ResetData() override;
  // One 25 ms display tick of the held peaks; true when one of them changed.
  bool Tick();

  // The display: Columns columns of 0 .. Levels levels each. Recomputes the mapping and clears
  // the display.
  void SetColumns(int Columns, int Levels);
  int GetColumnCount() const { return int(FColumns.size()); }
  int GetLevels() const { return FLevels; }
  // The levels of the last block, after decay.
  const std::vector<int>& GetColumns() const { return FColumns; }
  int GetPeak(int Column) const { return FPeaks[size_t(Column)].GetPeak(); }
  const std::vector<TMMBinRange>& GetMapping() const { return FMapping; }
  // The magnitude of each bin 0 .. FFTLength / 2 of the last block, in 16-bit sample units
  // (a full-scale sine centred on a bin reads 32767 times the window's mean), before the gain.
  const std::vector<float>& GetMagnitudes() const { return FMagnitudes; }
  // Fills the columns with pseudo-random levels (a preview for a form designer).
  void Preview(uint32_t Seed);

  // Rounded by RoundFFTLength; a change rebuilds the FFT and the window table and clears the
  // display.
  void SetFFTLength(int Value);
  // Stores the length alone (rounded); the FFT and tables follow at the next block.
  void StoreFFTLength(int Value);
  int GetFFTLength() const { return FFTLength; }
  void SetWindow(TMMFFTWindow Value);
  TMMFFTWindow GetWindow() const { return FWindow; }
  const std::vector<int32_t>& GetWindowTable();
  void SetSampleRate(int Value);  // 8000..100000
  int GetSampleRate() const { return FSampleRate; }
  void SetBitLength(TMMBits Value) { FPcm.BitLength = Value; }
  TMMBits GetBitLength() const { return FPcm.BitLength; }
  // mMono, mStereo, or 3 for four channels.
  void SetMode(TMMMode Value);
  TMMMode GetMode() const { return TMMMode(FPcm.Channels - 1); }
  void SetChannel(TMMChannel Value) { FPcm.Channel = Value; }
  TMMChannel GetChannel() const { return FPcm.Channel; }
  void SetGain(TMMSpectrumGain Value);
  TMMSpectrumGain GetGain() const { return FGain; }
  void SetRefFreq(int Value);  // 1..44100
  int GetRefFreq() const { return FRefFreq; }
  void SetLogFreq(bool Value);
  bool GetLogFreq() const { return FLogFreq; }
  void SetLogAmp(bool Value) { FLogAmp = Value; }
  bool GetLogAmp() const { return FLogAmp; }
  void SetVerticalScale(int Value);  // per cent, 1..10000
  int GetVerticalScale() const { return FVerticalScale; }
  void SetFrequencyScale(int Value);  // 1..64
  int GetFrequencyScale() const { return FFrequencyScale; }
  void SetDecayMode(TMMDecayMode Value);
  TMMDecayMode GetDecayMode() const { return FDecayMode; }
  void SetDecay(int Value);  // 1..16
  int GetDecay() const { return FDecay; }
  void SetNumPeaks(int Value);  // 0..5; other values are ignored
  int GetNumPeaks() const { return FNumPeaks; }
  void SetPeakDelay(int Value);  // 0..50
  int GetPeakDelay() const { return FPeakDelay; }
  void SetPeakSpeed(int Value);  // 0..50
  int GetPeakSpeed() const { return FPeakSpeed.load(std::memory_order_relaxed); }

  // On the updating thread: a sample at the top of its range; a column reached the top.
  std::function<void()> OnPcmOverflow;
  std::function<void()> OnGainOverflow;
  // May replace the frequency mapping each time it is computed; entries past the column count
  // are dropped, missing ones show nothing, and bins are clamped to the FFT's.
  std::function<void(std::vector<TMMBinRange>& Mapping)> OnGetXScale;

 private:
  // Rebuilds the FFT and the window table when they do not match FFTLength.
  void EnsureFFT();
  void RecomputeMapping();
  void RecomputeWeights();
  void ClearDisplay();

  TMMPcmLayout FPcm;
  int FFTLength = 128;
  TMMFFTWindow FWindow = fwHamming;
  int FSampleRate = 11025;
  TMMSpectrumGain FGain = sgNone;
  int FRefFreq = 1000;
  bool FLogFreq = false;
  bool FLogAmp = false;
  int FVerticalScale = 100;
  int FFrequencyScale = 1;
  TMMDecayMode FDecayMode = dmNone;
  int FDecay = 1;
  int FNumPeaks = 1;
  int FPeakDelay = 20;
  std::atomic<int> FPeakSpeed{0};  // read by Tick on the display timer's thread

  std::unique_ptr<TMMRealFFT> FFFT;
  int FPreparedLength = 0;  // the length the tables were made for
  std::vector<int32_t> FWindowTable;
  bool FWindowValid = false;
  std::vector<float> FMagnitudes;
  std::vector<float> FWeights;   // per bin: the gain's weight, 1 at RefFreq
  double FPrevious[2] = {0, 0};  // the last two analysed samples, for the differencing

  int FLevels = 1;
  std::vector<TMMBinRange> FMapping;
  std::vector<int> FColumns;
  std::vector<TMMDecay> FDecays;
  std::unique_ptr<TMMPeakHold[]> FPeaks;
};
