#include "platform/gdi/gdi_types.h"

TColor GetSysColor(int index) {
  switch (index) {
    case COLOR_WINDOWFRAME:
      return RGB(0, 0, 0);
    case COLOR_BTNFACE:
      return RGB(192, 192, 192);
    case COLOR_BTNSHADOW:
      return RGB(128, 128, 128);
    case COLOR_BTNHIGHLIGHT:
      return RGB(255, 255, 255);
    default:
      return RGB(0, 0, 0);
  }
}

TColor ColorToRGB(TColor color) {
  if ((color & 0xFF000000) == clSystemColor) return GetSysColor(int(color & 0xFF));
  return color & 0x00FFFFFF;
}

QColor ToQColor(TColor color) {
  const TColor rgb = ColorToRGB(color);
  return QColor(GetRValue(rgb), GetGValue(rgb), GetBValue(rgb));
}
