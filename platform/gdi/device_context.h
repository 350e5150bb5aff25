// A device context: drawing with the window system's calls (origin, clip rectangle, pen, brush,
// font, text, lines, arcs, rectangle fills, block copies) on a Qt paint device through
// QPainter. Lines one pixel wide are set pixel by pixel, so their end points are exact: like
// the window system's, a line does not include its last point. On an image of 32-bit pixels,
// fills, single pixels, thin lines and block copies write the pixels themselves, and the
// painter is only started by the first call that needs it: a context that only does those
// costs no painter at all.
#pragma once

#include <QFont>
#include <QImage>
#include <QPainter>
#include <QPoint>
#include <QSize>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/gdi/gdi_types.h"

class QPaintDevice;
class TDIBSection;
class TPalette;

// A font as the layouts name it: a family and a character height in pixels. The families of
// the layouts map onto installed fonts ("Small Fonts" and the other Latin faces onto DejaVu
// Sans, the Japanese proportional Gothic onto IPAPGothic).
struct TGdiFont {
  std::string Name = "DejaVu Sans";
  int Height = 11;
  bool Bold = false;
  bool Italic = false;
  TColor Color = clBlack;
};

// The Qt font for a font of the layouts.
QFont ToQFont(const TGdiFont& font);

enum TBkMode { TRANSPARENT = 1, OPAQUE = 2 };

class TDeviceContext {
 public:
  // Draws on `device` (a widget while it paints, or an image), which must outlive the context.
  explicit TDeviceContext(QPaintDevice* device);
  ~TDeviceContext();
  TDeviceContext(const TDeviceContext&) = delete;
  TDeviceContext& operator=(const TDeviceContext&) = delete;

  // The device's size in pixels.
  QSize DeviceSize() const { return FSize; }
  // Logical (0, 0) lies at device point `origin`; the clip rectangle stays where it is on the
  // device.
  void SetOrigin(QPoint origin);
  QPoint Origin() const { return FOrigin; }
  // Replaces the clip rectangle (logical coordinates); it is always within the device.
  void SetClipRect(const TRect& rect);
  // Narrows the clip rectangle (logical coordinates).
  void IntersectClipRect(const TRect& rect);
  // Drawing reaches the whole device again.
  void ResetClip();
  // The clip rectangle in logical coordinates.
  TRect ClipBox() const;
  // Whether any part of the rectangle (logical) is inside the clip rectangle.
  bool RectVisible(const TRect& rect) const;

  // Pen for lines, arcs and outlines; a width of 0 counts as 1.
  void SetPen(TColor color, int width = 1, Qt::PenStyle style = Qt::SolidLine);
  void SetNullPen();
  // Brush for the inside of rectangles, ellipses and polygons.
  void SetBrush(TColor color);
  void SetNullBrush();
  void SetFont(const TGdiFont& font);
  void SetTextColor(TColor color) { FTextColor = color; }
  void SetBkMode(TBkMode mode) { FBkMode = mode; }
  void SetBkColor(TColor color) { FBkColor = color; }

  void MoveTo(int x, int y) { FPen = QPoint(x, y); }
  QPoint PenPosition() const { return FPen; }
  // From the pen position to (x, y), without that last point; the pen moves there.
  void LineTo(int x, int y);
  // The arc of the ellipse in `box` from the radial through `start` counterclockwise to the
  // radial through `end`, in the pen.
  void Arc(const TRect& box, QPoint start, QPoint end);
  void FillRect(const TRect& rect, TColor color);
  // A one-pixel outline just inside the rectangle.
  void FrameRect(const TRect& rect, TColor color);
  // Outline in the pen, inside in the brush; the right and bottom edges lie inside the
  // rectangle.
  void Rectangle(const TRect& rect);
  void Ellipse(const TRect& rect);
  void Polygon(const std::vector<QPoint>& points);
  void SetPixel(int x, int y, TColor color);
  // Text (UTF-8) with the top-left corner of its cell at (x, y), in the text colour.
  void TextOut(int x, int y, const std::string& text);
  QSize TextExtent(const std::string& text);

  // Copies w x h pixels at (sx, sy) of a surface to (x, y), clipped.
  void BitBlt(int x, int y, int w, int h, const TDIBSection& source, int sx, int sy);
  // Copies the `source` part of a picture into `target`, stretched or shrunk by repeating or
  // leaving out pixels (no smoothing).
  void StretchBlt(const TRect& target, const QImage& source, const TRect& sourceRect);

  // The palette selected into the context (a true-colour device uses none for drawing; it is
  // kept for whoever selects it back). Returns the one selected before.
  const TPalette* SelectPalette(const TPalette* palette, bool forceBackground);
  // Maps the selected palette onto the device: the number of entries mapped (0 here).
  int RealizePalette() { return 0; }

  // The painter, for drawing that has no call here; its origin and clip follow the context.
  QPainter& Painter();

 private:
  // Starts the painter with the context's pen, brush, font, origin and clip.
  void BeginPainter();
  void ApplyClip();
  const QFont& Font();
  void ThinLine(QPoint from, QPoint to);

  QPaintDevice* FDevice;
  QImage* FImage = nullptr;  // the device when it is an image of 32-bit pixels
  QSize FSize;
  QPainter FPainter;  // active once BeginPainter has run
  QPoint FOrigin{0, 0};
  QRect FClip;  // device coordinates
  QPoint FPen{0, 0};
  QPen FLinePen;
  QBrush FFillBrush;
  // Made when text is first drawn or measured, so contexts that draw no text never touch fonts.
  std::optional<QFont> FFont;
  TColor FTextColor = clBlack;
  TColor FBkColor = clWhite;
  TBkMode FBkMode = OPAQUE;
  const TPalette* FPalette = nullptr;
};
