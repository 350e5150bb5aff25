#include "cli/terminal_meter.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <iostream>

#include "instruments/core/level_law.h"
#include "stream/connector.h"

namespace {

// The level bar's scale: its default sensitivity, on a dB scale.
constexpr int kBarSensitivity = -35;
constexpr int kBarCells = 20;
constexpr int64_t kTickUs = 25000;

std::optional<double> LevelDB(int64_t Level) {
  if (Level <= 0) return std::nullopt;
  return LevelToDBFS(double(Level));
}

// The level whose dBFS is Db, for the bar (the inverse of LevelToDBFS).
int64_t DBLevel(std::optional<double> Db) {
  if (!Db) return 0;
  return std::llround(std::pow(10.0, *Db / 20.0) * FullScale);
}

// The line is put together by hand rather than with printf: it is formatted for every channel
// ten times a second while recording, and the formatting was most of a redraw's work.

// Appends the decimal digits of N >= 0, at least Digits of them.
void AppendDigits(std::string& Out, int64_t N, int Digits = 1) {
  char digits[24];
  int count = 0;
  do {
    digits[count++] = char('0' + N % 10);
    N /= 10;
  } while (N > 0 || count < Digits);
  while (count > 0) Out += digits[--count];
}

// Appends Text right-aligned in Width columns.
void AppendRight(std::string& Out, const std::string& Text, size_t Width) {
  if (Text.size() < Width) Out.append(Width - Text.size(), ' ');
  Out += Text;
}

}  // namespace

std::string FormatDB(std::optional<double> Value, bool Signed) {
  if (!Value || !std::isfinite(*Value)) return "-inf";
  // Rounded first, so that a reading just below zero shows 0.0, not -0.0.
  const double tenths = std::nearbyint(*Value * 10.0);
  const double magnitude = std::fabs(tenths);
  if (magnitude >= 1e15) {
    // Beyond what any level reaches; printed plainly.
    char text[400];
    std::snprintf(text, sizeof text, Signed && tenths > 0 ? "%+.1f" : "%.1f", tenths / 10.0);
    return text;
  }
  std::string text;
  if (tenths < 0)
    text += '-';
  else if (Signed && tenths > 0)
    text += '+';
  const int64_t n = int64_t(magnitude);
  AppendDigits(text, n / 10);
  text += '.';
  AppendDigits(text, n % 10);
  return text;
}

std::optional<std::string> FormatClipLine(int64_t Left, int64_t Right) {
  if (Left <= 0 && Right <= 0) return std::nullopt;
  return "clipped: L " + std::to_string(Left) + ", R " + std::to_string(Right) + " samples";
}

std::string FormatElapsed(int64_t ElapsedMs) {
  const int64_t tenths = std::max<int64_t>(ElapsedMs, 0) / 100;
  std::string text;
  AppendDigits(text, tenths / 36000);
  text += ':';
  AppendDigits(text, tenths / 600 % 60, 2);
  text += ':';
  AppendDigits(text, tenths / 10 % 60, 2);
  text += '.';
  AppendDigits(text, tenths % 10);
  return text;
}

std::string FormatMeterLine(const TMeterReading& Reading, int64_t ElapsedMs) {
  // The bar counts cells with the level bar's law: '#' up to the peak, '|' at the held peak.
  auto cells = [](std::optional<double> db) {
    return std::min<int64_t>(LevelToSpots(DBLevel(db), 0, kBarSensitivity, true, kBarCells),
                             kBarCells);
  };
  const int64_t lit = Reading.Peak ? cells(Reading.Peak) : 0;
  const int64_t held = Reading.Held ? cells(Reading.Held) : 0;
  std::string bar(kBarCells, '-');
  for (int64_t i = 0; i < lit; ++i) bar[size_t(i)] = '#';
  if (held > 0) bar[size_t(held - 1)] = '|';

  std::string line;
  line.reserve(96);
  line += Reading.Label;
  line += " VU ";
  AppendRight(line, Reading.VU ? FormatDB(Reading.VU, true) : "--", 5);
  line += " [";
  line += bar;
  line += "] peak ";
  AppendRight(line, FormatDB(Reading.Peak, false), 6);
  line += " max ";
  AppendRight(line, FormatDB(Reading.Held, false), 6);
  line += Reading.Clip ? " dBFS CLIP " : " dBFS      ";
  line += FormatElapsed(ElapsedMs);
  return line;
}

// ------------------------------------------------------------------ one channel

TTerminalMeterChannel::TTerminalMeterChannel(TMMChannel Channel) {
  // The window's needle meters: VU mode (the RMS of 1000 frames, decayed exponentially with
  // Decay 7) against the reference level.
  FLaw.SetChannel(Channel);
  FLaw.SetMode(mStereo);
  FLaw.SetBitLength(b16Bit);
  FLaw.SetMeterMode(mmVU);
  FLaw.SetRefLevel(-16.0);
  FLaw.SetSamples(1000);
  FLaw.SetDecayMode(dmExponential);
  FLaw.SetDecay(7);
  FLayout.Channel = Channel;
}

void TTerminalMeterChannel::SetPWaveFormat(const WAVEFORMATEX* Format) {
  FLaw.SetPWaveFormat(Format);  // refuses what an instrument cannot show, keeping the old one
  FLayout.BitLength = FLaw.GetBitLength();
  FLayout.Channels = Format->nChannels;
  FRate = Format->nSamplesPerSec;
  FHasFormat = true;
}

void TTerminalMeterChannel::RefreshPCMData(const void* Data) {
  if (!Data) return;
  FLaw.RefreshPCMData(Data);
  const int frames = FLaw.GetSamples();
  FPeak = PcmPeakLevel(Data, FLayout, frames);
  ++FPieces;
  // The piece's audio time moves the held peak and the clip mark on.
  const int64_t pieceUs = int64_t(frames) * 1000000 / std::max<uint32_t>(FRate, 1);
  for (FTickRemainUs += pieceUs; FTickRemainUs >= kTickUs; FTickRemainUs -= kTickUs)
    FHold.Tick(1, int(FPeak), 0);
  FHold.Raise(int(std::min<int64_t>(FPeak, INT32_MAX)), kHoldDelay, true);
  if (FPeak >= FullScale)
    FSinceClipMs = 0;
  else if (FSinceClipMs >= 0)
    FSinceClipMs += pieceUs / 1000;
}

void TTerminalMeterChannel::ResetData() {
  FLaw.ResetData();
  FHold.Reset();
  FPeak = 0;
  FTickRemainUs = 0;
  FSinceClipMs = -1;
  FPieces = 0;
}

TMeterReading TTerminalMeterChannel::Reading(const std::string& Label) const {
  TMeterReading r;
  r.Label = Label;
  // The needle read against the 0 VU mark: its deflection is proportional to amplitude.
  const double angle = FLaw.GetAngle();
  if (angle > 0) r.VU = 20.0 * std::log10(angle / VUToAngle(0.0, FLaw.GetScaleAngle()));
  r.Peak = LevelDB(FPeak);
  r.Held = LevelDB(FHold.GetPeak());
  r.Clip = FSinceClipMs >= 0 && FSinceClipMs < kClipHoldMs;
  return r;
}

// ------------------------------------------------------------------ the stream's channels

TTerminalMeter::TTerminalMeter(double RefLevel) {
  FLeft.SetRefLevel(RefLevel);
  FRight.SetRefLevel(RefLevel);
}

TTerminalMeter::~TTerminalMeter() {
  Detach();
}

void TTerminalMeter::Attach(TMMConnector& Connector) {
  Detach();
  FConnector = &Connector;
  Connector.SetMeter1(&FLeft);
  Connector.SetMeter2(&FRight);
}

void TTerminalMeter::Detach() {
  if (!FConnector) return;
  if (FConnector->Instrument(ikMeter, 0) == &FLeft) FConnector->SetMeter1(nullptr);
  if (FConnector->Instrument(ikMeter, 1) == &FRight) FConnector->SetMeter2(nullptr);
  FConnector = nullptr;
}

std::vector<TMeterReading> TTerminalMeter::Readings() const {
  switch (FLeft.Channels()) {
    case 0:
      return {};
    case 1:
      return {FLeft.Reading("M")};
    default:
      return {FLeft.Reading("L"), FRight.Reading("R")};
  }
}

// ------------------------------------------------------------------ output

TMeterDisplay::TMeterDisplay(std::ostream& Out, bool Terminal, bool Quiet, int Columns)
    : FOut(Out), FTerminal(Terminal), FQuiet(Quiet), FColumns(Terminal ? Columns : 0) {}

void TMeterDisplay::Show(const std::vector<TMeterReading>& Readings, int64_t ElapsedMs) {
  if (FQuiet || Readings.empty()) return;
  std::vector<std::string> lines;
  for (const TMeterReading& r : Readings) {
    lines.push_back(FormatMeterLine(r, ElapsedMs));
    // A line that wrapped would take two rows, and the redraw would go up too few.
    if (FColumns > 1 && lines.back().size() >= size_t(FColumns)) lines.back().resize(size_t(FColumns) - 1);
  }
  FLastMs = ElapsedMs;
  // The whole frame goes out in one write.
  std::string frame;
  if (!FTerminal) {
    for (const std::string& line : lines) frame += line + '\n';
  } else if (FDrawn.size() != lines.size()) {
    // On a terminal the cursor goes back up over the previous lines, and each line clears what
    // is left of the old one after it.
    if (!FDrawn.empty()) frame += "\r\x1b[" + std::to_string(FDrawn.size()) + "A";
    for (const std::string& line : lines) frame += line + "\x1b[K\n";
  } else {
    // Over lines drawn before, only what changed is written: the cursor steps over the rest.
    // Every character costs the terminal's line discipline work, and readings of a steady
    // sound change in a few places only.
    if (lines == FDrawn) return;
    frame += "\r\x1b[" + std::to_string(FDrawn.size()) + "A";
    for (size_t i = 0; i < lines.size(); ++i) {
      const std::string& before = FDrawn[i];
      const std::string& now = lines[i];
      if (now != before) {
        size_t same = 0;
        while (same < now.size() && same < before.size() && now[same] == before[same]) ++same;
        if (same > 0) frame += "\x1b[" + std::to_string(same) + "C";
        frame.append(now, same);
        if (now.size() < before.size()) frame += "\x1b[K";
      }
      frame += '\n';
    }
  }
  if (FTerminal) FDrawn = std::move(lines);
  FOut << frame << std::flush;
}

void TMeterDisplay::Finish(const std::vector<TMeterReading>& Readings, int64_t ElapsedMs) {
  if (FTerminal || ElapsedMs != FLastMs) Show(Readings, ElapsedMs);
  FDrawn.clear();
}

bool IsTerminal(const std::ostream& Out) {
  return &Out == &std::cout && ::isatty(STDOUT_FILENO) == 1;
}

int TerminalColumns() {
  winsize size{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}
