#include "platform/gdi/device_context.h"

#include <QFontMetrics>
#include <QPaintDevice>
#include <algorithm>
#include <cmath>
#include <mutex>
#include <numbers>

#include "platform/gdi/dib_section.h"

namespace {

void MapFontFamilies() {
  static std::once_flag once;
  std::call_once(once, [] {
    QFont::insertSubstitution(QString::fromUtf8("ＭＳ Ｐゴシック"), "IPAPGothic");
    for (const char* latin : {"Small Fonts", "MS Sans Serif", "Arial"})
      QFont::insertSubstitution(latin, "DejaVu Sans");
  });
}

bool DirectPixels(const QImage* image) {
  if (!image) return false;
  const QImage::Format f = image->format();
  return f == QImage::Format_RGB32 || f == QImage::Format_ARGB32 ||
         f == QImage::Format_ARGB32_Premultiplied;
}

QRect DeviceRect(const TRect& rect, QPoint origin) {
  return QRect(rect.Left + origin.x(), rect.Top + origin.y(), rect.Width(), rect.Height());
}

}  // namespace

QFont ToQFont(const TGdiFont& font) {
  MapFontFamilies();
  QFont result(QString::fromStdString(font.Name));
  result.setPixelSize(std::max(1, std::abs(font.Height)));
  result.setBold(font.Bold);
  result.setItalic(font.Italic);
  return result;
}

TDeviceContext::TDeviceContext(QPaintDevice* device)
    : FDevice(device),
      FImage(dynamic_cast<QImage*>(device)),
      FSize(device->width(), device->height()),
      FClip(0, 0, FSize.width(), FSize.height()),
      FLinePen(Qt::black, 1),
      FFillBrush(Qt::white) {
  if (!DirectPixels(FImage)) FImage = nullptr;
  FLinePen.setCosmetic(true);
  // Other devices (a widget while it paints) are drawn through the painter only.
  if (!FImage) BeginPainter();
}

TDeviceContext::~TDeviceContext() {
  if (FPainter.isActive()) FPainter.end();
}

void TDeviceContext::BeginPainter() {
  FPainter.begin(FDevice);
  FPainter.setRenderHint(QPainter::Antialiasing, false);
  FPainter.setPen(FLinePen);
  FPainter.setBrush(FFillBrush);
  if (FFont) FPainter.setFont(*FFont);
  ApplyClip();
}

QPainter& TDeviceContext::Painter() {
  if (!FPainter.isActive()) BeginPainter();
  return FPainter;
}

void TDeviceContext::ApplyClip() {
  if (!FPainter.isActive()) return;
  FPainter.resetTransform();
  FPainter.setClipRect(FClip);
  FPainter.translate(FOrigin);
}

void TDeviceContext::SetOrigin(QPoint origin) {
  FOrigin = origin;
  ApplyClip();
}

void TDeviceContext::SetClipRect(const TRect& rect) {
  FClip = DeviceRect(rect, FOrigin) & QRect(QPoint(0, 0), FSize);
  ApplyClip();
}

void TDeviceContext::IntersectClipRect(const TRect& rect) {
  FClip &= DeviceRect(rect, FOrigin);
  ApplyClip();
}

void TDeviceContext::ResetClip() {
  FClip = QRect(QPoint(0, 0), FSize);
  ApplyClip();
}

TRect TDeviceContext::ClipBox() const {
  if (FClip.isEmpty()) return TRect{};
  return Rect(FClip.left() - FOrigin.x(), FClip.top() - FOrigin.y(),
              FClip.left() - FOrigin.x() + FClip.width(),
              FClip.top() - FOrigin.y() + FClip.height());
}

bool TDeviceContext::RectVisible(const TRect& rect) const {
  return !rect.IsEmpty() && FClip.intersects(DeviceRect(rect, FOrigin));
}

void TDeviceContext::SetPen(TColor color, int width, Qt::PenStyle style) {
  FLinePen = QPen(ToQColor(color), std::max(1, width), style, Qt::FlatCap, Qt::MiterJoin);
  FLinePen.setCosmetic(true);
  if (FPainter.isActive()) FPainter.setPen(FLinePen);
}

void TDeviceContext::SetNullPen() {
  FLinePen = QPen(Qt::NoPen);
  if (FPainter.isActive()) FPainter.setPen(FLinePen);
}

void TDeviceContext::SetBrush(TColor color) {
  FFillBrush = QBrush(ToQColor(color));
  if (FPainter.isActive()) FPainter.setBrush(FFillBrush);
}

void TDeviceContext::SetNullBrush() {
  FFillBrush = QBrush(Qt::NoBrush);
  if (FPainter.isActive()) FPainter.setBrush(FFillBrush);
}

void TDeviceContext::SetFont(const TGdiFont& font) {
  FFont = ToQFont(font);
  FTextColor = font.Color;
  if (FPainter.isActive()) FPainter.setFont(*FFont);
}

const QFont& TDeviceContext::Font() {
  if (!FFont) {
    FFont = ToQFont(TGdiFont());
    if (FPainter.isActive()) FPainter.setFont(*FFont);
  }
  return *FFont;
}

void TDeviceContext::ThinLine(QPoint from, QPoint to) {
  // Bresenham's steps from `from` towards `to`, leaving out `to`.
  auto walk = [&](auto&& plot) {
    int x = from.x(), y = from.y();
    const int dx = std::abs(to.x() - x), dy = -std::abs(to.y() - y);
    const int sx = x < to.x() ? 1 : -1, sy = y < to.y() ? 1 : -1;
    int error = dx + dy;
    while (x != to.x() || y != to.y()) {
      plot(x, y);
      const int e2 = 2 * error;
      if (e2 >= dy) error += dy, x += sx;
      if (e2 <= dx) error += dx, y += sy;
    }
  };
  if (FImage) {
    const QRgb value = FLinePen.color().rgb();
    walk([&](int x, int y) {
      const QPoint p = QPoint(x, y) + FOrigin;
      if (FClip.contains(p)) reinterpret_cast<QRgb*>(FImage->scanLine(p.y()))[p.x()] = value;
    });
    return;
  }
  std::vector<QPoint> points;
  walk([&](int x, int y) { points.emplace_back(x, y); });
  if (!points.empty()) Painter().drawPoints(points.data(), int(points.size()));
}

void TDeviceContext::LineTo(int x, int y) {
  const QPoint to(x, y);
  if (FLinePen.style() == Qt::SolidLine && FLinePen.width() <= 1)
    ThinLine(FPen, to);
  else if (FLinePen.style() != Qt::NoPen)
    Painter().drawLine(FPen, to);
  FPen = to;
}

void TDeviceContext::Arc(const TRect& box, QPoint start, QPoint end) {
  const QRectF r(box.Left, box.Top, box.Width() - 1, box.Height() - 1);
  const QPointF c = r.center();
  auto angle = [&](QPoint p) {
    return std::atan2(-(p.y() - c.y()), p.x() - c.x()) * 180.0 / std::numbers::pi;
  };
  const double a0 = angle(start);
  double span = angle(end) - a0;
  if (span <= 0) span += 360.0;
  Painter().drawArc(r, int(std::lround(a0 * 16)), int(std::lround(span * 16)));
}

void TDeviceContext::FillRect(const TRect& rect, TColor color) {
  if (rect.IsEmpty()) return;
  if (FImage) {
    const QRect r = DeviceRect(rect, FOrigin) & FClip;
    const QRgb value = ToQColor(color).rgb();
    for (int y = r.top(); y <= r.bottom(); ++y)
      std::fill_n(reinterpret_cast<QRgb*>(FImage->scanLine(y)) + r.left(), r.width(), value);
    return;
  }
  Painter().fillRect(rect.ToQRect(), ToQColor(color));
}

void TDeviceContext::FrameRect(const TRect& rect, TColor color) {
  if (rect.IsEmpty()) return;
  FillRect(Rect(rect.Left, rect.Top, rect.Right, rect.Top + 1), color);
  FillRect(Rect(rect.Left, rect.Bottom - 1, rect.Right, rect.Bottom), color);
  FillRect(Rect(rect.Left, rect.Top, rect.Left + 1, rect.Bottom), color);
  FillRect(Rect(rect.Right - 1, rect.Top, rect.Right, rect.Bottom), color);
}

void TDeviceContext::Rectangle(const TRect& rect) {
  if (rect.IsEmpty()) return;
  Painter().drawRect(QRect(rect.Left, rect.Top, rect.Width() - 1, rect.Height() - 1));
}

void TDeviceContext::Ellipse(const TRect& rect) {
  if (rect.IsEmpty()) return;
  Painter().drawEllipse(QRect(rect.Left, rect.Top, rect.Width() - 1, rect.Height() - 1));
}

void TDeviceContext::Polygon(const std::vector<QPoint>& points) {
  if (!points.empty()) Painter().drawPolygon(points.data(), int(points.size()));
}

void TDeviceContext::SetPixel(int x, int y, TColor color) {
  const QPoint p = QPoint(x, y) + FOrigin;
  if (!FClip.contains(p)) return;
  if (FImage) {
    FImage->setPixel(p, ToQColor(color).rgb());
    return;
  }
  Painter().fillRect(QRect(x, y, 1, 1), ToQColor(color));
}

void TDeviceContext::TextOut(int x, int y, const std::string& text) {
  const QString s = QString::fromStdString(text);
  const QFontMetrics metrics(Font());
  if (FBkMode == OPAQUE)
    Painter().fillRect(QRect(x, y, metrics.horizontalAdvance(s), metrics.height()),
                      ToQColor(FBkColor));
  QPainter& painter = Painter();
  const QPen saved = painter.pen();
  painter.setPen(ToQColor(FTextColor));
  painter.drawText(QPoint(x, y + metrics.ascent()), s);
  painter.setPen(saved);
}

QSize TDeviceContext::TextExtent(const std::string& text) {
  const QFontMetrics metrics(Font());
  return QSize(metrics.horizontalAdvance(QString::fromStdString(text)), metrics.height());
}

void TDeviceContext::BitBlt(int x, int y, int w, int h, const TDIBSection& source, int sx, int sy) {
  // The source part that exists, then the target part that is visible.
  QRect src = QRect(sx, sy, w, h) & QRect(0, 0, source.Width(), source.Height());
  QRect dst = QRect(x + FOrigin.x() + (src.left() - sx), y + FOrigin.y() + (src.top() - sy),
                    src.width(), src.height()) &
              FClip;
  if (src.isEmpty() || dst.isEmpty()) return;
  const int fromX = sx + (dst.left() - (x + FOrigin.x()));
  const int fromY = sy + (dst.top() - (y + FOrigin.y()));
  if (!FImage) {
    const QImage picture = source.ToImage();
    QPainter& painter = Painter();
    painter.save();
    painter.resetTransform();
    painter.drawImage(dst.topLeft(), picture, QRect(fromX, fromY, dst.width(), dst.height()));
    painter.restore();
    return;
  }
  const auto& colors = source.ColorTable();
  for (int row = 0; row < dst.height(); ++row) {
    const uint8_t* in = source.Row(fromY + row);
    auto* out = reinterpret_cast<QRgb*>(FImage->scanLine(dst.top() + row)) + dst.left();
    if (source.BitsPerPixel() == 24) {
      in += 3 * fromX;
      for (int i = 0; i < dst.width(); ++i, in += 3) out[i] = qRgb(in[2], in[1], in[0]);
    } else {
      in += fromX;
      for (int i = 0; i < dst.width(); ++i) {
        const RGBQUAD& q = colors[in[i]];
        out[i] = qRgb(q.rgbRed, q.rgbGreen, q.rgbBlue);
      }
    }
  }
}

void TDeviceContext::StretchBlt(const TRect& target, const QImage& source,
                                const TRect& sourceRect) {
  if (target.IsEmpty() || sourceRect.IsEmpty() || source.isNull()) return;
  QPainter& painter = Painter();
  painter.save();
  painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
  painter.drawImage(target.ToQRect(), source, sourceRect.ToQRect());
  painter.restore();
}

const TPalette* TDeviceContext::SelectPalette(const TPalette* palette, bool /*forceBackground*/) {
  const TPalette* previous = FPalette;
  FPalette = palette;
  return previous;
}
