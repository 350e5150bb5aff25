// Draws the main window's skin: the 700 x 450 panel, the three lamp strips, the four transport
// button strips, the small emblem picture, the three 190 x 110 meter faces (blue, orange and
// yellow) and the LED read-outs' glyph strips of all thirteen digit sizes, and writes each in
// the stored image form (width and height as 16-bit little-endian numbers, then blue, green,
// red, alpha bytes per pixel, bottom row first).
//
//   skin_generator OUTPUT_FOLDER [--png]
//
// --png also writes each image as a PNG, for looking at.
//
// Everything that sits on the panel is cut from the panel itself before it is drawn on, so the
// buttons and lamps blend into their surroundings wherever they are placed.

#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <string>
#include <vector>

#include "instruments/core/led_law.h"

namespace {

constexpr int kWidth = 700;
constexpr int kHeight = 450;

// Where the window's controls sit (client pixels).
const QRect kMeterLeft(53, 41, 190, 110);
const QRect kMeterRight(286, 41, 190, 110);
const QRect kPhaseScope(540, 37, 113, 113);
const QRect kGlass(44, 226, 442, 94);    // level bars, read-outs, device and file labels
const QRect kPlate(518, 200, 176, 144);  // settings button and reference-level controls
const QRect kNotice(5, 331, 439, 17);    // the one-line notice strip
const QRect kMoni(12, 381, 136, 57);
const QRect kPlay(406, 381, 136, 57);
const QRect kRec(550, 381, 136, 57);
const QRect kStop(289, 392, 98, 41);
const QRect kEmblem(185, 374, 67, 64);
const QPoint kMoniLed(284, 303), kPlayLed(284, 290), kRecLed(284, 277);
constexpr int kDeckTop = 358;
constexpr int kHeaderHeight = 27;

const QColor kAmber(255, 181, 46);
const QColor kGreen(58, 226, 125);
const QColor kRed(255, 64, 58);

// A small fixed generator, so the images come out the same on every machine.
struct Random {
  uint32_t state;
  uint32_t Next() {
    state = state * 1664525u + 1013904223u;
    return state;
  }
  double Unit() { return double(Next() >> 8) / double(1u << 24); }
};

QColor Mix(const QColor& a, const QColor& b, double t) {
  return QColor::fromRgbF(float(a.redF() + (b.redF() - a.redF()) * t),
                          float(a.greenF() + (b.greenF() - a.greenF()) * t),
                          float(a.blueF() + (b.blueF() - a.blueF()) * t),
                          float(a.alphaF() + (b.alphaF() - a.alphaF()) * t));
}

QColor WithAlpha(QColor c, double alpha) {
  c.setAlphaF(float(alpha));
  return c;
}

int Clamp255(double v) {
  return std::clamp(int(std::lround(v)), 0, 255);
}

// A surface brushed along x: a vertical gradient with grain that runs in streaks.
QImage Brushed(QSize size, const QColor& top, const QColor& bottom, double grain, uint32_t seed) {
  QImage image(size, QImage::Format_RGB32);
  Random random{seed};
  std::vector<double> noise(size_t(size.width()) + 16);
  for (int y = 0; y < size.height(); ++y) {
    const double t = size.height() > 1 ? double(y) / (size.height() - 1) : 0.0;
    const QColor base = Mix(top, bottom, t);
    const double row = (random.Unit() - 0.5) * 0.8;
    for (double& n : noise) n = random.Unit() - 0.5;
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    double window = 0;
    for (int i = 0; i < 12; ++i) window += noise[size_t(i)];
    for (int x = 0; x < size.width(); ++x) {
      const double streak = window / 12.0 * 3.0;
      window += noise[size_t(x + 12) % noise.size()] - noise[size_t(x)];
      const double fine = (noise[size_t(x)]) * 0.35;
      const double d = (streak + row + fine) * grain;
      line[x] =
          qRgb(Clamp255(base.red() + d), Clamp255(base.green() + d), Clamp255(base.blue() + d));
    }
  }
  return image;
}

QFont Font(int pixels, bool bold, double spacing = 0) {
  QFont font("DejaVu Sans");
  font.setPixelSize(pixels);
  font.setBold(bold);
  font.setHintingPreference(QFont::PreferFullHinting);
  if (spacing != 0) font.setLetterSpacing(QFont::AbsoluteSpacing, spacing);
  return font;
}

// Text with a one-pixel shadow: cut into aluminium (light below) or printed on the dark panel.
void Legend(QPainter& p, const QRectF& box, int flags, const QString& text, const QFont& font,
            const QColor& color, const QColor& shadow, QPointF shadowOffset = {0, 1}) {
  p.setFont(font);
  p.setPen(shadow);
  p.drawText(box.translated(shadowOffset), flags, text);
  p.setPen(color);
  p.drawText(box, flags, text);
}

void Screw(QPainter& p, QPointF c, double r, double angle) {
  p.save();
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0, 0, 0, 120));
  p.drawEllipse(c + QPointF(0.6, 0.9), r + 0.8, r + 0.8);
  QRadialGradient head(c - QPointF(r * 0.4, r * 0.5), r * 1.6);
  head.setColorAt(0, QColor(206, 210, 216));
  head.setColorAt(0.55, QColor(128, 133, 140));
  head.setColorAt(1, QColor(58, 61, 66));
  p.setBrush(head);
  p.setPen(QPen(QColor(20, 21, 23), 0.8));
  p.drawEllipse(c, r, r);
  // A cross slot.
  p.translate(c);
  p.rotate(angle);
  for (int i = 0; i < 2; ++i) {
    p.setPen(QPen(QColor(255, 255, 255, 90), 1.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(-r * 0.6, 0.7), QPointF(r * 0.6, 0.7));
    p.setPen(QPen(QColor(25, 26, 28), 1.3, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(-r * 0.6, 0), QPointF(r * 0.6, 0));
    p.rotate(90);
  }
  p.restore();
}

// A raised frame around an instrument window, with a black recess right at its edge.
void Bezel(QPainter& p, const QRect& inner, double radius) {
  p.save();
  p.setPen(Qt::NoPen);
  const QRectF outer = QRectF(inner).adjusted(-8.5, -8.5, 8.5, 8.5);
  p.setBrush(QColor(0, 0, 0, 110));
  p.drawRoundedRect(outer.translated(0, 2), radius + 1, radius + 1);
  p.setBrush(QColor(6, 7, 8));
  p.drawRoundedRect(outer, radius + 1, radius + 1);
  QLinearGradient ring(outer.topLeft(), outer.bottomLeft());
  ring.setColorAt(0, QColor(112, 118, 126));
  ring.setColorAt(0.08, QColor(74, 79, 86));
  ring.setColorAt(0.9, QColor(34, 37, 41));
  ring.setColorAt(1, QColor(22, 24, 27));
  p.setBrush(ring);
  p.drawRoundedRect(outer.adjusted(1, 1, -1, -1), radius, radius);
  const QRectF recess = QRectF(inner).adjusted(-4.5, -4.5, 4.5, 4.5);
  QLinearGradient well(recess.topLeft(), recess.bottomLeft());
  well.setColorAt(0, QColor(2, 2, 3));
  well.setColorAt(1, QColor(40, 43, 48));
  p.setBrush(well);
  p.drawRoundedRect(recess, radius - 2, radius - 2);
  p.setBrush(QColor(0, 0, 0));
  p.drawRect(QRectF(inner).adjusted(-2, -2, 2, 2));
  p.restore();
}

// An aluminium plate with bevelled edges.
void Plate(QPainter& p, const QRect& r, double radius, uint32_t seed) {
  QPainterPath path;
  path.addRoundedRect(QRectF(r).adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);
  p.save();
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0, 0, 0, 120));
  p.drawPath(path.translated(0, 2));
  p.setClipPath(path);
  p.drawImage(r.topLeft(),
              Brushed(r.size(), QColor(200, 204, 209), QColor(158, 163, 170), 9, seed));
  p.setClipping(false);
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(QColor(240, 242, 245, 200), 1));
  p.drawPath(path.translated(0.5, 0.5));
  p.setPen(QPen(QColor(40, 42, 46), 1));
  p.drawPath(path);
  p.restore();
}

// A shallow recess for a control that paints its own face.
void Slot(QPainter& p, const QRect& r, const QColor& inside) {
  p.save();
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(8, 9, 10));
  p.drawRect(QRectF(r).adjusted(-2, -2, 2, 2));
  p.setBrush(QColor(70, 75, 82));
  p.drawRect(QRectF(r).adjusted(-1, r.height() + 1, 2, 2));
  p.drawRect(QRectF(r).adjusted(r.width() + 1, -1, 2, 2));
  p.setBrush(inside);
  p.drawRect(r);
  p.restore();
}

QImage Background() {
  QImage image = Brushed(QSize(kWidth, kHeight), QColor(40, 44, 49), QColor(24, 26, 29), 4.5, 7);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);

  // Header band of brushed aluminium: the window's caption is written on it.
  p.drawImage(
      0, 0,
      Brushed(QSize(kWidth, kHeaderHeight), QColor(214, 217, 221), QColor(170, 174, 180), 10, 11));
  p.fillRect(QRectF(0, 0, kWidth, 1), QColor(245, 246, 248));
  p.fillRect(QRectF(0, kHeaderHeight - 1, kWidth, 1), QColor(70, 73, 78));
  QLinearGradient drop(0, kHeaderHeight, 0, kHeaderHeight + 6);
  drop.setColorAt(0, QColor(0, 0, 0, 170));
  drop.setColorAt(1, QColor(0, 0, 0, 0));
  p.fillRect(QRectF(0, kHeaderHeight, kWidth, 6), drop);
  // Sockets of the three meter-face swatches, and their legend.
  for (int x : {454, 469, 484}) {
    p.fillRect(QRectF(x - 1, 2, 14, 14), QColor(60, 62, 66));
    p.fillRect(QRectF(x, 3, 13, 13), QColor(250, 251, 252));
    p.fillRect(QRectF(x, 3, 12, 12), QColor(20, 21, 23));
  }
  Legend(p, QRectF(360, 2, 88, 14), Qt::AlignRight | Qt::AlignVCenter, "METER FACE",
         Font(8, true, 1.2), QColor(64, 67, 72), QColor(236, 238, 240, 220));
  Legend(p, QRectF(520, 6, 168, 14), Qt::AlignRight | Qt::AlignVCenter, "STEREO \u00b7 16-BIT PCM",
         Font(8, true, 1.4), QColor(64, 67, 72), QColor(236, 238, 240, 220));

  // The instrument windows.
  Bezel(p, kMeterLeft, 6);
  Bezel(p, kMeterRight, 6);
  Bezel(p, kPhaseScope, 6);
  const QFont legend = Font(8, true, 2.2);
  const QColor legendColor(150, 157, 166), legendShadow(0, 0, 0, 200);
  Legend(p, QRectF(kMeterLeft.left(), 162, kMeterLeft.width(), 12), Qt::AlignCenter, "LEFT CHANNEL",
         legend, legendColor, legendShadow);
  Legend(p, QRectF(kMeterRight.left(), 162, kMeterRight.width(), 12), Qt::AlignCenter,
         "RIGHT CHANNEL", legend, legendColor, legendShadow);
  Legend(p, QRectF(kPhaseScope.left() - 20, 162, kPhaseScope.width() + 40, 12), Qt::AlignCenter,
         "PHASE", legend, legendColor, legendShadow);

  // Ventilation slots between the meters and the display.
  for (int i = 0; i < 30; ++i) {
    const QRectF slot(62 + i * 14, 188, 4, 20);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(78, 84, 92, 110));
    p.drawRoundedRect(slot.translated(0, 1), 2, 2);
    p.setBrush(QColor(8, 9, 10));
    p.drawRoundedRect(slot, 2, 2);
  }

  // The black glass display.
  {
    const QRectF glass = QRectF(kGlass);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(80, 86, 94));
    p.drawRoundedRect(glass.adjusted(-3, -3, 3, 4), 7, 7);
    p.setBrush(QColor(4, 4, 5));
    p.drawRoundedRect(glass.adjusted(-3, -3, 3, 3), 7, 7);
    QLinearGradient face(glass.topLeft(), glass.bottomLeft());
    face.setColorAt(0, QColor(14, 16, 18));
    face.setColorAt(0.45, QColor(6, 7, 8));
    face.setColorAt(1, QColor(3, 3, 4));
    p.setBrush(face);
    p.drawRoundedRect(glass, 5, 5);
    // A faint reflection across the top.
    QLinearGradient sheen(glass.topLeft(), glass.topLeft() + QPointF(0, 16));
    sheen.setColorAt(0, QColor(255, 255, 255, 18));
    sheen.setColorAt(1, QColor(255, 255, 255, 0));
    p.setBrush(sheen);
    p.drawRoundedRect(QRectF(glass.left() + 2, glass.top() + 1, glass.width() - 4, 16), 4, 4);

    const QFont small = Font(7, true, 1.4);
    const QColor print(112, 120, 130), none(0, 0, 0, 0);
    Legend(p, QRectF(72, 229, 200, 10), Qt::AlignLeft | Qt::AlignVCenter, "LEVEL", small, print,
           none);
    Legend(p, QRectF(272, 229, 56, 10), Qt::AlignCenter, "PEAK dB", small, print, none);
    Legend(p, QRectF(345, 229, 126, 10), Qt::AlignCenter, "ELAPSED TIME", small, print, none);
    p.fillRect(QRectF(331, 233, 1, 38), QColor(40, 45, 51));
    p.fillRect(QRectF(50, 274, 430, 1), QColor(34, 38, 43));
  }

  // The notice strip's slot.
  Slot(p, kNotice, QColor(250, 250, 250));

  // The control plate.
  Plate(p, kPlate, 6, 23);
  for (QPointF c : {QPointF(526, 208), QPointF(686, 208), QPointF(526, 336), QPointF(686, 336)})
    Screw(p, c, 3.6, 30);
  Legend(p, QRectF(603, 261, 30, 17), Qt::AlignLeft | Qt::AlignVCenter, "dB", Font(10, true),
         QColor(50, 53, 58), QColor(240, 242, 244, 200));
  Legend(p, QRectF(603, 298, 30, 17), Qt::AlignLeft | Qt::AlignVCenter, "dB", Font(10, true),
         QColor(50, 53, 58), QColor(240, 242, 244, 200));

  // Panel screws.
  Screw(p, QPointF(20, 48), 5, 18);
  Screw(p, QPointF(20, 176), 5, 62);
  Screw(p, QPointF(680, 48), 5, 41);
  Screw(p, QPointF(680, 176), 5, 7);

  // The transport deck: a little darker, under a bright rule.
  {
    QLinearGradient deck(0, kDeckTop, 0, kHeight);
    deck.setColorAt(0, QColor(0, 0, 0, 70));
    deck.setColorAt(1, QColor(0, 0, 0, 20));
    p.fillRect(QRectF(0, kDeckTop, kWidth, kHeight - kDeckTop), deck);
    p.fillRect(QRectF(0, kDeckTop - 2, kWidth, 1), QColor(6, 7, 8));
    p.fillRect(QRectF(0, kDeckTop - 1, kWidth, 1), QColor(96, 102, 110));
    // Wells the buttons sit in.
    for (const QRect& r : {kMoni, kPlay, kRec, kStop}) {
      const QRectF well = QRectF(r).adjusted(0.5, 0.5, -0.5, -0.5);
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(92, 98, 106, 150));
      p.drawRoundedRect(well.translated(0, 1), 9, 9);
      QLinearGradient inside(well.topLeft(), well.bottomLeft());
      inside.setColorAt(0, QColor(2, 2, 3));
      inside.setColorAt(1, QColor(16, 17, 19));
      p.setBrush(inside);
      p.drawRoundedRect(well, 9, 9);
    }
  }
  // The outer edge of the panel.
  p.setRenderHint(QPainter::Antialiasing, false);
  p.setPen(QColor(8, 9, 10));
  p.setBrush(Qt::NoBrush);
  p.drawRect(0, 0, kWidth - 1, kHeight - 1);
  return image;
}

// ------------------------------------------------------------------ buttons

enum class Icon { Monitor, Play, Record, Stop };

void DrawIcon(QPainter& p, Icon icon, QPointF c, const QColor& color) {
  p.save();
  p.setPen(Qt::NoPen);
  p.setBrush(color);
  switch (icon) {
    case Icon::Monitor: {  // headphones
      p.setBrush(Qt::NoBrush);
      p.setPen(QPen(color, 2.6, Qt::SolidLine, Qt::RoundCap));
      p.drawArc(QRectF(c.x() - 9, c.y() - 10, 18, 18), 0 * 16, 180 * 16);
      p.setPen(QPen(color, 2.2, Qt::SolidLine, Qt::RoundCap));
      p.drawLine(QPointF(c.x() - 9, c.y() - 1), QPointF(c.x() - 9, c.y() + 3));
      p.drawLine(QPointF(c.x() + 9, c.y() - 1), QPointF(c.x() + 9, c.y() + 3));
      p.setPen(Qt::NoPen);
      p.setBrush(color);
      p.drawRoundedRect(QRectF(c.x() - 12, c.y() + 0.5, 6, 10), 2.2, 2.2);
      p.drawRoundedRect(QRectF(c.x() + 6, c.y() + 0.5, 6, 10), 2.2, 2.2);
      break;
    }
    case Icon::Play: {
      QPainterPath path;
      path.moveTo(c.x() - 6.5, c.y() - 9);
      path.lineTo(c.x() + 9.5, c.y());
      path.lineTo(c.x() - 6.5, c.y() + 9);
      path.closeSubpath();
      p.drawPath(path);
      break;
    }
    case Icon::Record:
      p.drawEllipse(c, 8.5, 8.5);
      break;
    case Icon::Stop:
      p.drawRoundedRect(QRectF(c.x() - 7, c.y() - 7, 14, 14), 1.5, 1.5);
      break;
  }
  p.restore();
}

enum State { kUp, kClicking, kDisabled, kOver, kDown };

struct ButtonStyle {
  Icon icon;
  QString label;
  QColor accent;
  bool indicator;  // a small lamp under the label, lit while the button is down
};

void DrawButton(QPainter& p, const QRectF& glyph, State state, const ButtonStyle& style) {
  const bool pressed = state == kClicking || state == kDown;
  const QRectF cap = glyph.adjusted(4, 4, -4, -4).translated(0, pressed ? 1.5 : 0);
  const double radius = 7;
  p.save();
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);

  if (!pressed) {  // the cap's shadow in its well
    p.setBrush(QColor(0, 0, 0, 150));
    p.drawRoundedRect(cap.translated(0, 2.5).adjusted(-0.5, 0, 0.5, 0.5), radius + 1, radius + 1);
  }
  // Cap body.
  QColor top, bottom;
  switch (state) {
    case kUp:
      top = QColor(84, 90, 99), bottom = QColor(40, 43, 48);
      break;
    case kOver:
      top = QColor(100, 107, 117), bottom = QColor(48, 52, 58);
      break;
    case kClicking:
      top = QColor(34, 37, 41), bottom = QColor(58, 62, 68);
      break;
    case kDisabled:
      top = QColor(56, 59, 64), bottom = QColor(40, 42, 46);
      break;
    case kDown:
      top = Mix(QColor(30, 32, 36), style.accent, 0.10);
      bottom = Mix(QColor(52, 56, 62), style.accent, 0.16);
      break;
  }
  p.setBrush(QColor(10, 11, 12));
  p.drawRoundedRect(cap, radius, radius);
  QLinearGradient body(cap.topLeft(), cap.bottomLeft());
  body.setColorAt(0, top);
  body.setColorAt(1, bottom);
  p.setBrush(body);
  const QRectF face = cap.adjusted(1, 1, -1, -1);
  p.drawRoundedRect(face, radius - 1, radius - 1);
  // Edge light: a bright top rim on a raised cap, an inner shadow on a pressed one.
  QLinearGradient rim(face.topLeft(), face.bottomLeft());
  if (pressed) {
    rim.setColorAt(0, QColor(0, 0, 0, 150));
    rim.setColorAt(0.25, QColor(0, 0, 0, 0));
    rim.setColorAt(1, QColor(255, 255, 255, 18));
  } else if (state == kDisabled) {
    rim.setColorAt(0, QColor(255, 255, 255, 30));
    rim.setColorAt(0.2, QColor(255, 255, 255, 0));
    rim.setColorAt(1, QColor(0, 0, 0, 40));
  } else {
    rim.setColorAt(0, QColor(255, 255, 255, state == kOver ? 120 : 95));
    rim.setColorAt(0.12, QColor(255, 255, 255, 0));
    rim.setColorAt(0.85, QColor(0, 0, 0, 0));
    rim.setColorAt(1, QColor(0, 0, 0, 90));
  }
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(QBrush(rim), 1.6));
  p.drawRoundedRect(face.adjusted(0.8, 0.8, -0.8, -0.8), radius - 1.5, radius - 1.5);
  // A soft sheen over the upper half of a raised cap.
  if (!pressed && state != kDisabled) {
    QLinearGradient sheen(face.topLeft(), face.topLeft() + QPointF(0, face.height() * 0.5));
    sheen.setColorAt(0, QColor(255, 255, 255, 26));
    sheen.setColorAt(1, QColor(255, 255, 255, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(sheen);
    p.drawRoundedRect(face.adjusted(2, 2, -2, -face.height() * 0.5), radius - 2, radius - 2);
  }
  if (state == kOver) {  // a thin ring of the button's colour under the pointer
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(WithAlpha(style.accent, 0.55), 1.2));
    p.drawRoundedRect(cap.adjusted(0.6, 0.6, -0.6, -0.6), radius, radius);
  }

  // Icon and label side by side, centred on the cap; the mode lamp under the label.
  const QFont font = Font(face.height() > 40 ? 12 : 11, true, 1.2);
  const double textWidth = QFontMetricsF(font).horizontalAdvance(style.label);
  const double iconWidth = 24, gap = 9;
  const double left = face.center().x() - (iconWidth + gap + textWidth) / 2;
  const QPointF iconCentre(left + iconWidth / 2, face.center().y());
  const double textCentreY = face.center().y() - (style.indicator ? 5 : 0);
  const QRectF text(left + iconWidth + gap - 2, textCentreY - 10, textWidth + 4, 20);
  QColor ink;
  switch (state) {
    case kUp:
      ink = QColor(222, 226, 231);
      break;
    case kOver:
      ink = QColor(255, 255, 255);
      break;
    case kClicking:
      ink = QColor(196, 200, 206);
      break;
    case kDisabled:
      ink = QColor(92, 97, 104);
      break;
    case kDown:
      ink = Mix(style.accent, QColor(255, 255, 255), 0.25);
      break;
  }
  if (state == kDown) {  // glow behind the lit icon
    QRadialGradient glow(iconCentre, 20);
    glow.setColorAt(0, WithAlpha(style.accent, 0.45));
    glow.setColorAt(1, WithAlpha(style.accent, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(glow);
    p.drawEllipse(iconCentre, 20, 20);
  }
  QColor iconColor = ink;
  if (state != kDisabled && state != kDown && style.icon == Icon::Record)
    iconColor = Mix(ink, style.accent, 0.55);  // the record dot is always a little red
  if (state != kDisabled) DrawIcon(p, style.icon, iconCentre + QPointF(0, 1), QColor(0, 0, 0, 120));
  DrawIcon(p, style.icon, iconCentre, iconColor);

  Legend(p, text, Qt::AlignCenter, style.label, font, ink,
         state == kDisabled ? QColor(0, 0, 0, 0) : QColor(0, 0, 0, 140));

  if (style.indicator) {  // the mode lamp under the label
    const QRectF lamp(text.center().x() - 14, face.center().y() + 9, 28, 4);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(6, 6, 7));
    p.drawRoundedRect(lamp.adjusted(-1, -1, 1, 1), 2.5, 2.5);
    if (state == kDown) {
      QRadialGradient halo(lamp.center(), 18);
      halo.setColorAt(0, WithAlpha(style.accent, 0.55));
      halo.setColorAt(1, WithAlpha(style.accent, 0));
      p.setBrush(halo);
      p.drawEllipse(lamp.center(), 18, 7);
      QLinearGradient lit(lamp.topLeft(), lamp.bottomLeft());
      lit.setColorAt(0, Mix(style.accent, QColor(255, 255, 255), 0.6));
      lit.setColorAt(1, style.accent);
      p.setBrush(lit);
    } else {
      p.setBrush(Mix(QColor(22, 23, 25), style.accent, state == kDisabled ? 0.08 : 0.2));
    }
    p.drawRoundedRect(lamp, 2, 2);
  }
  p.restore();
}

QImage ButtonStrip(const QImage& background, const QRect& at, int glyphs,
                   const ButtonStyle& style) {
  QImage strip(at.width() * glyphs, at.height(), QImage::Format_RGB32);
  QPainter p(&strip);
  p.setRenderHint(QPainter::TextAntialiasing);
  const State order[] = {kUp, kClicking, kDisabled, kOver, kDown};
  for (int i = 0; i < glyphs; ++i) {
    const QRect glyph(i * at.width(), 0, at.width(), at.height());
    p.drawImage(glyph.topLeft(), background, at);
    DrawButton(p, glyph, order[i], style);
  }
  return strip;
}

// ------------------------------------------------------------------ lamps

QImage LampStrip(const QImage& background, QPoint at, const QColor& accent) {
  const QSize size(40, 12);
  QImage strip(size.width() * 3, size.height(), QImage::Format_RGB32);
  QPainter p(&strip);
  p.setRenderHint(QPainter::Antialiasing);
  for (int i = 0; i < 3; ++i) {
    const QRectF glyph(i * size.width(), 0, size.width(), size.height());
    p.drawImage(glyph.topLeft(), background, QRect(at, size));
    const bool lit = i != 2;  // up and clicking lit; the disabled glyph dark
    const QRectF lens = glyph.adjusted(5, 3, -5, -3);
    p.setPen(Qt::NoPen);
    if (lit) {
      QRadialGradient halo(lens.center(), 20);
      halo.setColorAt(0, WithAlpha(accent, 0.5));
      halo.setColorAt(1, WithAlpha(accent, 0));
      p.setBrush(halo);
      p.drawRect(glyph);
    }
    p.setBrush(QColor(0, 0, 0));
    p.drawRoundedRect(lens.adjusted(-1, -1, 1, 1), 4, 4);
    QLinearGradient body(lens.topLeft(), lens.bottomLeft());
    if (lit) {
      body.setColorAt(0, Mix(accent, QColor(255, 255, 255), 0.55));
      body.setColorAt(0.5, accent);
      body.setColorAt(1, accent.darker(130));
    } else {
      body.setColorAt(0, Mix(QColor(30, 30, 32), accent, 0.28));
      body.setColorAt(1, Mix(QColor(12, 12, 13), accent, 0.12));
    }
    p.setBrush(body);
    p.drawRoundedRect(lens, 3, 3);
    p.setBrush(QColor(255, 255, 255, lit ? 150 : 40));
    p.drawRoundedRect(QRectF(lens.left() + 4, lens.top() + 1, lens.width() - 8, 2), 1, 1);
  }
  return strip;
}

// ------------------------------------------------------------------ emblem

// A small needle meter badge for the picture beside the transport buttons.
QImage Emblem(const QImage& background) {
  QImage image = background.copy(kEmblem);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  const QRectF badge(4.5, 5.5, 58, 53);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0, 0, 0, 140));
  p.drawRoundedRect(badge.translated(0, 2), 8, 8);
  QLinearGradient ring(badge.topLeft(), badge.bottomLeft());
  ring.setColorAt(0, QColor(190, 195, 201));
  ring.setColorAt(1, QColor(80, 85, 92));
  p.setBrush(ring);
  p.drawRoundedRect(badge, 8, 8);
  const QRectF face = badge.adjusted(3.5, 3.5, -3.5, -3.5);
  QLinearGradient paper(face.topLeft(), face.bottomLeft());
  paper.setColorAt(0, QColor(250, 236, 196));
  paper.setColorAt(1, QColor(232, 206, 146));
  p.setBrush(paper);
  p.drawRoundedRect(face, 5, 5);

  // Scale: an arc of ticks, the last stretch red.
  const QPointF pivot(face.center().x(), face.bottom() - 6);
  const double radius = 31;
  for (int i = 0; i <= 10; ++i) {
    const double a = (140.0 - i * 10.0) * std::numbers::pi / 180.0;
    const double inner = radius - (i % 5 == 0 ? 6 : 4);
    const QPointF dir(std::cos(a), -std::sin(a));
    p.setPen(QPen(i >= 8 ? QColor(200, 30, 24) : QColor(40, 32, 24), i % 5 == 0 ? 1.4 : 1.0));
    p.drawLine(pivot + dir * inner, pivot + dir * radius);
  }
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(QColor(40, 32, 24), 1));
  p.drawArc(QRectF(pivot.x() - radius, pivot.y() - radius, 2 * radius, 2 * radius), 40 * 16,
            100 * 16);
  p.setPen(QPen(QColor(200, 30, 24), 2));
  p.drawArc(QRectF(pivot.x() - radius, pivot.y() - radius, 2 * radius, 2 * radius), 40 * 16,
            20 * 16);
  p.setFont(Font(8, true, 0.5));
  p.setPen(QColor(60, 48, 34));
  p.drawText(QRectF(face.left(), pivot.y() - 20, face.width(), 10), Qt::AlignCenter, "VU");
  // The needle, with its shadow.
  const double needle = 62.0 * std::numbers::pi / 180.0;
  const QPointF tip = pivot + QPointF(std::cos(needle), -std::sin(needle)) * (radius + 1);
  p.setPen(QPen(QColor(0, 0, 0, 60), 1.6, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(pivot + QPointF(1, 1), tip + QPointF(1.5, 1));
  p.setPen(QPen(QColor(20, 20, 22), 1.3, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(pivot, tip);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(30, 30, 32));
  p.drawEllipse(pivot, 3, 3);
  // Glass reflection.
  QLinearGradient glass(face.topLeft(), face.bottomRight());
  glass.setColorAt(0, QColor(255, 255, 255, 90));
  glass.setColorAt(0.45, QColor(255, 255, 255, 0));
  p.setBrush(glass);
  p.drawRoundedRect(face, 5, 5);
  return image;
}

// ------------------------------------------------------------------ meter faces

// A needle meter's face, 190 x 110, in a light tint of `tint`: the meter draws its scale,
// caption and needle on it, in navy, maroon and black, so the paper stays pale and quiet. A
// gentle light from above, a fine paper grain, the shade the bezel casts on the top edge and a
// soft vignette give it depth without a line that could be mistaken for a mark.
QImage MeterFace(const QColor& paper, const QColor& tint, uint32_t seed) {
  const QSize size = kMeterLeft.size();
  QImage image(size, QImage::Format_RGB32);
  Random random{seed};
  for (int y = 0; y < size.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < size.width(); ++x) {
      // Lighter at the top centre, where the lamp behind the glass sits.
      const double dx = (x - size.width() / 2.0) / (size.width() / 2.0);
      const double dy = (y + 20.0) / (size.height() + 20.0);
      const double light = std::clamp(1.0 - 0.55 * (dx * dx * 0.6 + dy * dy), 0.0, 1.0);
      const QColor base = Mix(tint, paper, light);
      const double grain = (random.Unit() - 0.5) * 3.0;
      line[x] = qRgb(Clamp255(base.red() + grain), Clamp255(base.green() + grain),
                     Clamp255(base.blue() + grain));
    }
  }
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  // The shade of the bezel along the top and the sides.
  QLinearGradient top(0, 0, 0, 9);
  top.setColorAt(0, QColor(0, 0, 0, 95));
  top.setColorAt(1, QColor(0, 0, 0, 0));
  p.fillRect(QRectF(0, 0, size.width(), 9), top);
  for (int side = 0; side < 2; ++side) {
    const double x0 = side == 0 ? 0 : size.width();
    QLinearGradient edge(x0, 0, side == 0 ? 5 : size.width() - 5, 0);
    edge.setColorAt(0, QColor(0, 0, 0, 60));
    edge.setColorAt(1, QColor(0, 0, 0, 0));
    p.fillRect(QRectF(side == 0 ? 0 : size.width() - 5, 0, 5, size.height()), edge);
  }
  // The glass: a faint diagonal sheen over the upper left.
  QLinearGradient sheen(QPointF(0, 0), QPointF(size.width() * 0.6, size.height()));
  sheen.setColorAt(0, QColor(255, 255, 255, 46));
  sheen.setColorAt(0.5, QColor(255, 255, 255, 0));
  p.fillRect(QRectF(0, 0, size.width(), size.height()), sheen);
  return image;
}

// ------------------------------------------------------------------ LED glyph strips

// The three colours of a glyph strip; the read-outs recolour them when they load a strip.
const QRgb kLEDBackground = qRgb(0, 0, 0);
const QRgb kLEDUnlit = qRgb(192, 192, 192);
const QRgb kLEDLit = qRgb(255, 255, 255);

// A convex polygon in pixel-edge coordinates; a pixel belongs to it when its centre does.
using Polygon = std::vector<QPointF>;

bool Inside(const Polygon& polygon, QPointF p) {
  // The points are in clockwise order on the screen: the centre lies right of every edge.
  for (size_t i = 0; i < polygon.size(); ++i) {
    const QPointF a = polygon[i], b = polygon[(i + 1) % polygon.size()];
    const double cross = (b.x() - a.x()) * (p.y() - a.y()) - (b.y() - a.y()) * (p.x() - a.x());
    if (cross < -1e-9) return false;
  }
  return true;
}

// The seven segments of a cell, a to g (top, upper right, lower right, bottom, lower left,
// upper left, middle), each as the pixels it covers.
struct Segments {
  std::array<std::vector<QPoint>, 7> pixels;
  QRect box;      // the glyph inside the cell's margins
  int thickness;  // of a segment
  int middleTop;  // first row of the middle segment
};

Segments SevenSegments(int width, int height) {
  Segments s;
  const int margin = width >= 9 ? 1 : 0;
  const int t = std::max(1, int(std::lround(width / 5.0)));
  s.box = QRect(margin, margin, width - 2 * margin, height - 2 * margin);
  s.thickness = t;
  const int x0 = s.box.left(), x1 = s.box.right() + 1;
  const int y0 = s.box.top(), y1 = s.box.bottom() + 1;
  const int ym = y0 + (s.box.height() - t) / 2;
  s.middleTop = ym;
  auto fill = [&](int seg, const Polygon& polygon) {
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x)
        if (Inside(polygon, QPointF(x + 0.5, y + 0.5))) s.pixels[size_t(seg)].push_back({x, y});
  };
  if (t == 1) {
    // One pixel thin: plain bars that leave the corners free, the way small displays look.
    auto bar = [&](int seg, int left, int top, int right, int bottom) {
      fill(seg, {{double(left), double(top)},
                 {double(right), double(top)},
                 {double(right), double(bottom)},
                 {double(left), double(bottom)}});
    };
    bar(0, x0 + 1, y0, x1 - 1, y0 + 1);
    bar(1, x1 - 1, y0 + 1, x1, ym);
    bar(2, x1 - 1, ym + 1, x1, y1 - 1);
    bar(3, x0 + 1, y1 - 1, x1 - 1, y1);
    bar(4, x0, ym + 1, x0 + 1, y1 - 1);
    bar(5, x0, y0 + 1, x0 + 1, ym);
    bar(6, x0 + 1, ym, x1 - 1, ym + 1);
    return s;
  }
  // Thicker segments have pointed ends and a narrow gap where they meet.
  const double h = t / 2.0;
  const double gap = t >= 3 ? 0.8 : 0.5;
  auto across = [&](int seg, double xa, double xb, double yc) {
    fill(seg, {{xa + gap, yc},
               {xa + gap + h, yc - h},
               {xb - gap - h, yc - h},
               {xb - gap, yc},
               {xb - gap - h, yc + h},
               {xa + gap + h, yc + h}});
  };
  auto down = [&](int seg, double xc, double ya, double yb) {
    fill(seg, {{xc, ya + gap},
               {xc + h, ya + gap + h},
               {xc + h, yb - gap - h},
               {xc, yb - gap},
               {xc - h, yb - gap - h},
               {xc - h, ya + gap + h}});
  };
  const double left = x0 + h, right = x1 - h;
  const double top = y0 + h, middle = ym + h, bottom = y1 - h;
  across(0, left, right, top);
  down(1, right, top, middle);
  down(2, right, middle, bottom);
  across(3, left, right, bottom);
  down(4, left, middle, bottom);
  down(5, left, top, middle);
  across(6, left, right, middle);
  return s;
}

// Which segments light for 0 to 9 (bit 0 = a ... bit 6 = g).
constexpr std::array<int, 10> kDigitSegments = {0x3F, 0x06, 0x5B, 0x4F, 0x66,
                                                0x6D, 0x7D, 0x07, 0x7F, 0x6F};

// A strip of cells of width x height: every cell shows the seven segments unlit, as a checker
// of every other pixel, and lit(cell, image, origin) lights what that cell shows.
template <typename Lit>
QImage LEDCells(int width, int height, int cells, const Segments& s, Lit lit) {
  QImage image(width * cells, height, QImage::Format_RGB32);
  image.fill(kLEDBackground);
  for (int cell = 0; cell < cells; ++cell) {
    const int ox = cell * width;
    for (const auto& segment : s.pixels)
      for (QPoint p : segment)
        if ((p.x() + p.y()) % 2 == 0) image.setPixel(ox + p.x(), p.y(), kLEDUnlit);
    lit(cell, image, ox);
  }
  return image;
}

// The digit strip of a size: all unlit, then 0 to 9.
QImage LEDDigitStrip(int width, int height) {
  const Segments s = SevenSegments(width, height);
  return LEDCells(width, height, 11, s, [&](int cell, QImage& image, int ox) {
    if (cell == 0) return;
    for (int seg = 0; seg < 7; ++seg)
      if (kDigitSegments[size_t(cell - 1)] & (1 << seg))
        for (QPoint p : s.pixels[size_t(seg)]) image.setPixel(ox + p.x(), p.y(), kLEDLit);
  });
}

// The sign strip of a size: all unlit, a period low in the middle, a colon, a minus.
QImage LEDSignStrip(int width, int height) {
  const Segments s = SevenSegments(width, height);
  const int t = s.thickness;
  const int dotLeft = s.box.left() + (s.box.width() - t) / 2;
  auto dot = [&](QImage& image, int ox, int top) {
    for (int y = top; y < top + t; ++y)
      for (int x = dotLeft; x < dotLeft + t; ++x) image.setPixel(ox + x, y, kLEDLit);
  };
  // The colon's dots sit half-way between the middle segment and the top and bottom ones.
  const int upperFirst = s.box.top() + t, upperEnd = s.middleTop;
  const int lowerFirst = s.middleTop + t, lowerEnd = s.box.bottom() + 1 - t;
  const int upper = upperFirst + (upperEnd - upperFirst - t) / 2;
  const int lower = lowerFirst + (lowerEnd - lowerFirst - t + 1) / 2;
  return LEDCells(width, height, 4, s, [&](int cell, QImage& image, int ox) {
    switch (cell) {
      case 1:
        dot(image, ox, s.box.bottom() + 1 - t);
        break;
      case 2:
        dot(image, ox, upper);
        dot(image, ox, lower);
        break;
      case 3:
        for (QPoint p : s.pixels[6]) image.setPixel(ox + p.x(), p.y(), kLEDLit);
        break;
      default:
        break;
    }
  });
}

// ------------------------------------------------------------------ output

bool WriteStored(const QImage& source, const QString& path) {
  const QImage image = source.convertToFormat(QImage::Format_ARGB32);
  const int w = image.width(), h = image.height();
  std::string data;
  data.reserve(4 + size_t(w) * h * 4);
  data += char(w & 0xFF);
  data += char(w >> 8);
  data += char(h & 0xFF);
  data += char(h >> 8);
  for (int y = h - 1; y >= 0; --y) {
    const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
    for (int x = 0; x < w; ++x) {
      data += char(qBlue(line[x]));
      data += char(qGreen(line[x]));
      data += char(qRed(line[x]));
      data += char(0xFF);  // every skin pixel is opaque
    }
  }
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  return file.write(data.data(), qint64(data.size())) == qint64(data.size());
}

}  // namespace

namespace {
int Generate(int argc, char** argv);
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_FOLDER [--png]\n", argv[0]);
    return 2;
  }
  // Text needs a GUI application; it never shows a window, and needs no runtime folder of its
  // own but Qt asks for one.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  char runtime[] = "/tmp/nr-skin-XXXXXX";
  if (::mkdtemp(runtime)) qputenv("XDG_RUNTIME_DIR", runtime);
  const int result = Generate(argc, argv);
  ::rmdir(runtime);
  return result;
}

namespace {

int Generate(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  const QString folder = QString::fromLocal8Bit(argv[1]);
  const bool png = argc > 2 && std::string(argv[2]) == "--png";
  if (!QDir().mkpath(folder)) {
    std::fprintf(stderr, "skin_generator: cannot create %s\n", argv[1]);
    return 1;
  }

  const QImage background = Background();
  const ButtonStyle moni{Icon::Monitor, "MONITOR", kAmber, true};
  const ButtonStyle play{Icon::Play, "PLAY", kGreen, true};
  const ButtonStyle rec{Icon::Record, "REC", kRed, true};
  const ButtonStyle stop{Icon::Stop, "STOP", QColor(230, 232, 235), false};

  const struct {
    const char* name;
    QImage image;
  } images[] = {
      {"MeterPanelBG", background},
      {"MoniLED", LampStrip(background, kMoniLed, kAmber)},
      {"PlayLED", LampStrip(background, kPlayLed, kGreen)},
      {"RecLED", LampStrip(background, kRecLed, kRed)},
      {"MoniBtnONOFF", ButtonStrip(background, kMoni, 5, moni)},
      {"PlayBtnONOFF", ButtonStrip(background, kPlay, 5, play)},
      {"RecBtnOnOFF", ButtonStrip(background, kRec, 5, rec)},
      {"StopBtnONOFF", ButtonStrip(background, kStop, 2, stop)},
      {"Image1", Emblem(background)},
      {"MeterFaceBlue", MeterFace(QColor(236, 244, 252), QColor(170, 198, 232), 31)},
      {"MeterFaceOrange", MeterFace(QColor(255, 238, 214), QColor(246, 180, 112), 37)},
      {"MeterFaceYellow", MeterFace(QColor(255, 248, 214), QColor(238, 210, 120), 41)},
  };
  for (const auto& entry : images) {
    const QString base = folder + "/" + entry.name;
    if (!WriteStored(entry.image, base + ".dib") || (png && !entry.image.save(base + ".png"))) {
      std::fprintf(stderr, "skin_generator: cannot write %s\n", qPrintable(base));
      return 1;
    }
  }

  // The LED glyph strips of every digit size: 11 digit cells and 4 sign cells each.
  for (const TMMLEDStrip& strip : kLEDStrips) {
    const struct {
      const char* name;
      QImage image;
    } strips[] = {
        {strip.DigitName, LEDDigitStrip(strip.CellWidth, strip.CellHeight)},
        {strip.SignName, LEDSignStrip(strip.CellWidth, strip.CellHeight)},
    };
    for (const auto& entry : strips) {
      const QString base = folder + "/" + entry.name;
      if (!WriteStored(entry.image, base + ".dib") || (png && !entry.image.save(base + ".png"))) {
        std::fprintf(stderr, "skin_generator: cannot write %s\n", qPrintable(base));
        return 1;
      }
    }
  }
  return 0;
}

}  // namespace
