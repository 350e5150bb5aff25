#include "resources/skin.h"

// The images are generated into the build folder (NR_SKIN_DIR) and assembled into read-only
// data as they are, which keeps the build fast: no megabytes of array initialisers to compile.
#define NR_EMBED(symbol, file)                         \
  __asm__(                                             \
      ".section .rodata\n"                             \
      ".balign 16\n"                                   \
      ".hidden " #symbol                               \
      "\n"                                             \
      ".hidden " #symbol                               \
      "_end\n"                                         \
      ".globl " #symbol                                \
      "\n"                                             \
      ".globl " #symbol "_end\n" #symbol               \
      ":\n"                                            \
      ".incbin \"" NR_SKIN_DIR "/" file "\"\n" #symbol \
      "_end:\n"                                        \
      ".previous\n");                                  \
  extern "C" const uint8_t symbol[];                   \
  extern "C" const uint8_t symbol##_end[];

NR_EMBED(nr_skin_background, "MeterPanelBG.dib")
NR_EMBED(nr_skin_moni_led, "MoniLED.dib")
NR_EMBED(nr_skin_play_led, "PlayLED.dib")
NR_EMBED(nr_skin_rec_led, "RecLED.dib")
NR_EMBED(nr_skin_moni_button, "MoniBtnONOFF.dib")
NR_EMBED(nr_skin_play_button, "PlayBtnONOFF.dib")
NR_EMBED(nr_skin_rec_button, "RecBtnOnOFF.dib")
NR_EMBED(nr_skin_stop_button, "StopBtnONOFF.dib")
NR_EMBED(nr_skin_picture, "Image1.dib")
NR_EMBED(nr_skin_face_blue, "MeterFaceBlue.dib")
NR_EMBED(nr_skin_face_orange, "MeterFaceOrange.dib")
NR_EMBED(nr_skin_face_yellow, "MeterFaceYellow.dib")

// The digit and sign strips of one LED size.
#define NR_EMBED_LED(size)                            \
  NR_EMBED(nr_led_digits_##size, "LCD_" #size ".dib") \
  NR_EMBED(nr_led_signs_##size, "LCDS_" #size ".dib")

NR_EMBED_LED(06X07)
NR_EMBED_LED(07X11)
NR_EMBED_LED(08X13)
NR_EMBED_LED(11X19)
NR_EMBED_LED(13X20)
NR_EMBED_LED(13X21)
NR_EMBED_LED(15X24)
NR_EMBED_LED(15X25)
NR_EMBED_LED(17X29)
NR_EMBED_LED(18X25)
NR_EMBED_LED(19X33)
NR_EMBED_LED(21X37)
NR_EMBED_LED(23X41)

namespace {

std::span<const uint8_t> Span(const uint8_t* begin, const uint8_t* end) {
  return {begin, size_t(end - begin)};
}

}  // namespace

std::span<const TSkinImage> SkinImages() {
  static const TSkinImage images[] = {
      {"MeterPanelBG", Span(nr_skin_background, nr_skin_background_end)},
      {"MoniLED", Span(nr_skin_moni_led, nr_skin_moni_led_end)},
      {"PlayLED", Span(nr_skin_play_led, nr_skin_play_led_end)},
      {"RecLED", Span(nr_skin_rec_led, nr_skin_rec_led_end)},
      {"MoniBtnONOFF", Span(nr_skin_moni_button, nr_skin_moni_button_end)},
      {"PlayBtnONOFF", Span(nr_skin_play_button, nr_skin_play_button_end)},
      {"RecBtnOnOFF", Span(nr_skin_rec_button, nr_skin_rec_button_end)},
      {"StopBtnONOFF", Span(nr_skin_stop_button, nr_skin_stop_button_end)},
  };
  return images;
}

std::span<const uint8_t> SkinPicture() {
  return Span(nr_skin_picture, nr_skin_picture_end);
}

std::span<const TSkinImage> SkinMeterFaces() {
  static const TSkinImage faces[] = {
      {"MeterFaceBlue", Span(nr_skin_face_blue, nr_skin_face_blue_end)},
      {"MeterFaceOrange", Span(nr_skin_face_orange, nr_skin_face_orange_end)},
      {"MeterFaceYellow", Span(nr_skin_face_yellow, nr_skin_face_yellow_end)},
  };
  return faces;
}

std::span<const TSkinImage> SkinLEDStrips() {
#define NR_LED_ENTRIES(size)                                                \
  {"LCD_" #size, Span(nr_led_digits_##size, nr_led_digits_##size##_end)}, { \
    "LCDS_" #size, Span(nr_led_signs_##size, nr_led_signs_##size##_end)     \
  }
  static const TSkinImage strips[] = {
      NR_LED_ENTRIES(06X07), NR_LED_ENTRIES(07X11), NR_LED_ENTRIES(08X13), NR_LED_ENTRIES(11X19),
      NR_LED_ENTRIES(13X20), NR_LED_ENTRIES(13X21), NR_LED_ENTRIES(15X24), NR_LED_ENTRIES(15X25),
      NR_LED_ENTRIES(17X29), NR_LED_ENTRIES(18X25), NR_LED_ENTRIES(19X33), NR_LED_ENTRIES(21X37),
      NR_LED_ENTRIES(23X41),
  };
#undef NR_LED_ENTRIES
  return strips;
}
