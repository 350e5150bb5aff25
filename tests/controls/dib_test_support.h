// Helpers of the container and button tests: solid-colour images, so that one rendered pixel
// tells which image or glyph is shown, and mouse and key input sent straight to a widget.
#pragma once

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWidget>
#include <cstdint>

#include "controls/dib_image_list.h"

namespace dibtest {

// Glyph i of a strip is drawn in kGlyph[i].
inline constexpr uint32_t kGlyph[5] = {0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFFFFFF00, 0xFF00FFFF};

inline void Fill(TMemoryDIB& dib, int x, int y, int width, int height, uint32_t argb) {
  for (int j = y; j < y + height; ++j)
    for (int i = x; i < x + width; ++i) dib.SetPixel(i, j, argb);
}

// A strip of `glyphs` glyphs of `width` x `height`, each in its own colour.
inline void Strip(TMemoryDIB& dib, int glyphs, int width, int height) {
  dib.SetSize(uint16_t(glyphs * width), uint16_t(height));
  for (int g = 0; g < glyphs; ++g) Fill(dib, g * width, 0, width, height, kGlyph[g]);
  dib.Changed();
}

// The glyph whose colour shows at `point` of the rendered widget; -1 for none of them.
inline int GlyphAt(QWidget& widget, QPoint point) {
  const QRgb pixel = widget.grab().toImage().pixel(point);
  for (int g = 0; g < 5; ++g)
    if (pixel == kGlyph[g]) return g;
  return -1;
}

inline QRgb PixelAt(QWidget& widget, QPoint point) {
  return widget.grab().toImage().pixel(point) | 0xFF000000u;
}

inline void Mouse(QWidget& widget, QEvent::Type type, QPoint pos,
                  Qt::MouseButton button = Qt::LeftButton) {
  Qt::MouseButtons held = Qt::NoButton;
  if (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick) held = button;
  QMouseEvent event(type, QPointF(pos), widget.mapToGlobal(QPointF(pos)),
                    type == QEvent::MouseMove ? Qt::NoButton : button, held, Qt::NoModifier);
  QApplication::sendEvent(&widget, &event);
}

inline void Move(QWidget& widget, QPoint pos) {
  Mouse(widget, QEvent::MouseMove, pos);
}

inline void Click(QWidget& widget, QPoint pos) {
  Move(widget, pos);
  Mouse(widget, QEvent::MouseButtonPress, pos);
  Mouse(widget, QEvent::MouseButtonRelease, pos);
}

inline void Leave(QWidget& widget) {
  QEvent event(QEvent::Leave);
  QApplication::sendEvent(&widget, &event);
}

inline void Key(QWidget& widget, int key, const QString& text = {},
                Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
  QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
  QApplication::sendEvent(&widget, &press);
  QKeyEvent release(QEvent::KeyRelease, key, modifiers, text);
  QApplication::sendEvent(&widget, &release);
}

}  // namespace dibtest
