// One seven-segment LED glyph (a digit 0-9, a period, a colon or a minus) cut from a glyph
// strip that is recoloured once and shared, through the strip cache, by every digit with the
// same look. A digit can pass the tens of its value on to the next more significant digit.
#pragma once

#include <memory>
#include <vector>

#include "instruments/core/led_law.h"
#include "instruments/graphic_control.h"
#include "platform/gdi/dib_section.h"

// The recoloured strips in use, shared by the digits that look alike. One for the process,
// made by the first digit and removed with the last one that leaves it empty. Main thread.
class TDigitCache {
 public:
  // The cache, or null while no digit has made one.
  static TDigitCache* Instance();

  // The strip for these keys: shared when an entry matches all six (its count goes up),
  // otherwise loaded, recoloured and added with count 1. Null when the strip cannot be
  // loaded.
  const TDIBSection* AcquireStrip(TMMLEDType DisplayType, TMMLEDSize DigitSize, TColor Color,
                                  TColor InactiveColor, TColor LEDColor, bool DrawInactive);
  // Counts the strip down and frees it at 0, setting Strip to null then. Nothing for a null
  // strip or one the cache does not hold.
  void ReleaseStrip(const TDIBSection*& Strip);
  bool IsEmpty() const { return FEntries.empty(); }
  int EntryCount() const { return int(FEntries.size()); }

 private:
  friend class TMMCustomLEDDigit;
  static void Create();
  static void DestroyIfEmpty();

  struct TEntry {
    std::unique_ptr<TDIBSection> Strip;
    TMMLEDType DisplayType;
    TMMLEDSize DigitSize;
    bool DrawInactive;
    TColor Color;
    TColor LEDColor;
    TColor InactiveColor;
    int RefCount;
  };
  std::vector<std::unique_ptr<TEntry>> FEntries;
};

// The glyph strip of a size and type, recoloured: white becomes LEDColor, black Color, silver
// InactiveColor when DrawInactive (otherwise Color), anything else black. Null when the strip
// is missing or damaged.
std::unique_ptr<TDIBSection> LoadLEDStrip(TMMLEDType DisplayType, TMMLEDSize DigitSize,
                                          TColor Color, TColor InactiveColor, TColor LEDColor,
                                          bool DrawInactive);

class TMMCustomLEDDigit : public TMMGraphicControl {
 public:
  // A lime digit of size ls13x21 showing 0, in its parent's colour.
  explicit TMMCustomLEDDigit(TComponent* AOwner, QWidget* AParent = nullptr);
  ~TMMCustomLEDDigit() override;

  // Keeps Value mod 10 when it lies within MinValue..MaxValue (and passes Value div 10 on to
  // Connect first, with CascadeValues); the digit is drawn again at once.
  int GetValue() const { return FValue; }
  void SetValue(int Value);
  // 0 to 9; other values are ignored. A value outside the new range is moved into it.
  int GetMinValue() const { return FMinValue; }
  void SetMinValue(int Value);
  int GetMaxValue() const { return FMaxValue; }
  void SetMaxValue(int Value);
  // Unlit segments in InactiveColor, or not shown at all.
  bool GetDrawInactive() const { return FDrawInactive; }
  void SetDrawInactive(bool Value);
  // Nothing lit while the value is 0.
  bool GetZeroBlank() const { return FZeroBlank; }
  void SetZeroBlank(bool Value);
  TColor GetInactiveColor() const { return FInactiveColor; }
  void SetInactiveColor(TColor Value);
  TColor GetLEDColor() const { return FLEDColor; }
  void SetLEDColor(TColor Value);
  // The size of the strip and the cell; the control takes the cell's size.
  TMMLEDSize GetDigitSize() const { return FDigitSize; }
  void SetDigitSize(TMMLEDSize Value);
  TMMLEDType GetDisplayType() const { return FDisplayType; }
  void SetDisplayType(TMMLEDType Value);
  bool GetCascadeValues() const { return FCascadeValues; }
  void SetCascadeValues(bool Value) { FCascadeValues = Value; }
  // The next more significant digit; cleared when that digit goes. Not the digit itself.
  TMMCustomLEDDigit* GetConnect() const { return FConnect; }
  void SetConnect(TMMCustomLEDDigit* Value);
  // The digit's own switch: off shows the all-unlit cell.
  bool GetEnabled() const { return FEnabled; }
  void SetEnabled(bool Value);
  // The background of the glyph. Setting it ends ParentColor.
  void SetColor(TColor Value);
  // Take the parent's colour (the panel's Color, or the parent window's background).
  bool GetParentColor() const { return FParentColor; }
  void SetParentColor(bool Value);
  // The parent's colour changed.
  void ParentColorChanged();

  // With a strip, the size is always the cell's.
  void SetBounds(int ALeft, int ATop, int AWidth, int AHeight) override;
  // The strip held now (shared through the cache); null without one.
  const TDIBSection* Strip() const { return FStrip; }
  // The cell of the strip the digit shows.
  int CellIndex() const;

  void Loaded() override;
  void Notification(TComponent* AComponent, TOperation Operation) override;

 protected:
  void Paint() override;

 private:
  // Takes a strip for the current keys in place of the held one and takes its cell size.
  void UpdateStrip();
  void ApplyColor(TColor Value);
  // Copies the cell onto Canvas.
  void DrawCell();
  // Draws the cell into the picture now, or has it painted when it is next shown.
  void PaintNow();

  // All main thread.
  int FMinValue = 0;
  int FMaxValue = 9;
  int FValue = 0;
  bool FDrawInactive = true;
  bool FZeroBlank = false;
  TColor FInactiveColor = RGB(0, 128, 0);
  TColor FLEDColor = clLime;
  TMMLEDSize FDigitSize = ls13x21;
  TMMLEDType FDisplayType = ltDigit;
  bool FCascadeValues = false;
  TMMCustomLEDDigit* FConnect = nullptr;
  bool FEnabled = true;
  bool FParentColor = true;
  bool FConstructing = true;
  bool FCascading = false;  // a value is being passed along the chain through this digit
  const TDIBSection* FStrip = nullptr;
};

class TMMLEDDigit : public TMMCustomLEDDigit {
 public:
  using TMMCustomLEDDigit::TMMCustomLEDDigit;
};
