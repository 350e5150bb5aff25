// The live meters of needlerec-cli: per channel the needle meter's VU reading (the same law and
// settings as the window's needles), the peak of the samples in dBFS with a held maximum, a
// clip mark, and the elapsed time, written as one line per channel. On a terminal the lines are
// redrawn in place about ten times a second; otherwise they are written as plain lines about
// once a second, and once more at the end.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "instruments/core/meter_law.h"
#include "instruments/core/peak_hold.h"
#include "stream/instrument_data.h"

class TMMConnector;

// What one channel's line shows.
struct TMeterReading {
  std::string Label;           // "L", "R", or "M" for a mono stream
  std::optional<double> VU;    // the needle's reading; none while it rests at the left end
  std::optional<double> Peak;  // dBFS of the last piece's largest sample; none for silence
  std::optional<double> Held;  // dBFS of the held peak; none for silence
  bool Clip = false;           // a sample reached full scale a moment ago
};

// One meter line of at most 79 characters (below 100 hours), without a line end, for example
// "L VU  -3.2 [#########-|---------] peak  -18.4 max  -16.0 dBFS CLIP 0:00:05.1".
// The bar spans the level bar's -35..0 dBFS scale, '#' up to the peak and '|' at the held peak.
std::string FormatMeterLine(const TMeterReading& Reading, int64_t ElapsedMs);
// The line that ends a run in which samples clipped, "clipped: L 12, R 0 samples", from the
// counts of the left and the right channel; none when neither clipped.
std::optional<std::string> FormatClipLine(int64_t Left, int64_t Right);
// "0:00:05.1": hours, minutes, seconds and tenths.
std::string FormatElapsed(int64_t ElapsedMs);
// A dB figure with one decimal ("-16.0", "+2.5", "0.0"; never "-0.0"), "-inf" for none.
std::string FormatDB(std::optional<double> Value, bool Signed);

// One channel: an instrument of the connector's needle meter kind. It runs the needle meter's
// law on the pieces the connector hands over and measures the same pieces' sample peak. Main
// thread only (the connector hands the pieces over on the main thread's loop).
class TTerminalMeterChannel : public TMMInstrumentData {
 public:
  // The held peak stays for kHoldDelay × 2 + 1 ticks of 25 ms of audio, about 2 s; the clip
  // mark for kClipHoldMs of audio.
  static constexpr int kHoldDelay = 40;
  static constexpr int64_t kClipHoldMs = 2000;

  explicit TTerminalMeterChannel(TMMChannel Channel);

  void SetPWaveFormat(const WAVEFORMATEX* Format) override;
  int32_t GetNumBytes() const override { return FLaw.GetNumBytes(); }
  void RefreshPCMData(const void* Data) override;
  void ResetData() override;

  void SetRefLevel(double Value) { FLaw.SetRefLevel(Value); }
  double GetRefLevel() const { return FLaw.GetRefLevel(); }
  const TMMMeterLaw& Law() const { return FLaw; }
  // Pieces measured since the last reset.
  int64_t Pieces() const { return FPieces; }
  // The channels of the stream's format; 0 before a format was handed over.
  int Channels() const { return FLayout.Channels * (FHasFormat ? 1 : 0); }
  // The reading now, labelled Label.
  TMeterReading Reading(const std::string& Label) const;

 private:
  TMMMeterLaw FLaw;
  TMMPcmLayout FLayout;
  uint32_t FRate = 44100;
  int64_t FPeak = 0;          // the last piece's largest sample
  TMMPeakHold FHold;          // the held peak, in sample units
  int64_t FTickRemainUs = 0;  // audio time towards the next 25 ms tick
  int64_t FSinceClipMs = -1;  // audio time since the last clipped piece; -1: none yet
  int64_t FPieces = 0;
  bool FHasFormat = false;
};

// The two channels of a stream, attached to a connector's needle meter slots.
class TTerminalMeter {
 public:
  explicit TTerminalMeter(double RefLevel);
  // Detaches from the connector, which must still exist then.
  ~TTerminalMeter();
  TTerminalMeter(const TTerminalMeter&) = delete;
  TTerminalMeter& operator=(const TTerminalMeter&) = delete;

  // Takes the connector's two needle meter slots. The connector must not outlive the meter
  // without a Detach.
  void Attach(TMMConnector& Connector);
  void Detach();

  // One reading per channel of the stream (one for mono, else left and right); none before
  // the connector handed a format over.
  std::vector<TMeterReading> Readings() const;

  TTerminalMeterChannel& Left() { return FLeft; }
  TTerminalMeterChannel& Right() { return FRight; }

 private:
  TTerminalMeterChannel FLeft{chLeft};
  TTerminalMeterChannel FRight{chRight};
  TMMConnector* FConnector = nullptr;
};

// Writes the meter lines: on a terminal redrawn in place at most every kTerminalMs and cut to
// fit its width, otherwise plain lines at most every kPlainMs. Quiet writes nothing.
class TMeterDisplay {
 public:
  static constexpr int64_t kTerminalMs = 100;
  static constexpr int64_t kPlainMs = 1000;

  // Columns: the terminal's width; 0 when unknown.
  TMeterDisplay(std::ostream& Out, bool Terminal, bool Quiet, int Columns = 0);

  // The wall-clock interval at which Show wants to be called.
  int64_t IntervalMs() const { return FTerminal ? kTerminalMs : kPlainMs; }
  // Writes the lines (in place on a terminal, replacing the previous ones).
  void Show(const std::vector<TMeterReading>& Readings, int64_t ElapsedMs);
  // Writes the final lines, unless plain lines at that elapsed time were just written, and
  // leaves redrawn lines where they are.
  void Finish(const std::vector<TMeterReading>& Readings, int64_t ElapsedMs);

 private:
  std::ostream& FOut;
  bool FTerminal;
  bool FQuiet;
  int FColumns;
  // Lines drawn in place so far, as they stand on the terminal; empty after Finish.
  std::vector<std::string> FDrawn;
  int64_t FLastMs = -1;  // the elapsed time of the last lines written
};

// True when Out is the process's standard output and that is a terminal.
bool IsTerminal(const std::ostream& Out);
// The width of the terminal on standard output; 0 when it has none.
int TerminalColumns();
