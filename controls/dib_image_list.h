// The skin's image store: a list of 32-bit images with their stored form, and links by which
// controls name an image of a list.
#pragma once

#include <QImage>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/component/component.h"
#include "stream/mm_error.h"

// Stored image data that cannot be read, or an index that names no image.
class EDIBImageListError : public EMMError {
 public:
  using EMMError::EMMError;
};

enum TImageRetrieval { irInternal, irLoadOnStart, irLoadOnDemand };
enum TTransparentMode { tmAuto, tmFixed };

// A 32-bit image in memory. The pixels are kept top row first as 0xAARRGGBB words (bytes blue,
// green, red, alpha on this machine), so a QImage views them without a copy. The stored form is
// the width and the height as 16-bit little-endian numbers, then the pixels as blue, green, red,
// alpha bytes, bottom row first: 4 + 4 × width × height bytes.
class TMemoryDIB {
 public:
  uint16_t Width() const { return FWidth; }
  uint16_t Height() const { return FHeight; }
  bool Empty() const { return FWidth == 0 || FHeight == 0; }
  // Resizes to opaque black.
  void SetSize(uint16_t width, uint16_t height);

  // Pixels as 0xAARRGGBB, x from the left and y from the top; 0 outside the image.
  uint32_t Pixel(int x, int y) const;
  void SetPixel(int x, int y, uint32_t argb);

  // A view of the pixels (Format_ARGB32); valid until the size or the data changes. A null
  // image when empty.
  QImage Image() const;

  // The stored form.
  std::vector<uint8_t> GetData() const;
  // Reads the stored form; the compressed form ("DIBCMP") and data whose length does not match
  // its size are refused with EDIBImageListError, and the image stays as it was.
  void SetData(std::span<const uint8_t> data);

  // Tells the list (and through it every link to this image) that the pixels changed; SetSize
  // and SetData do this themselves, SetPixel does not.
  void Changed();

  // Stored attributes. The skin's images are opaque and unscaled: these are kept, not applied.
  bool AutoSize = false;
  bool Masked = false;
  uint8_t Opacity = 255;
  double Scale = 100.0;
  double Angle = 0.0;
  bool Transparent = false;
  uint32_t TransparentColor = 0;
  TTransparentMode TransparentMode = tmAuto;
  // The file the image was imported from; a name only, never read.
  std::string ImageFilename;

 private:
  friend class TDIBImageList;
  uint16_t FWidth = 0;
  uint16_t FHeight = 0;
  std::vector<uint32_t> FPixels;
  std::function<void()> FOnChange;
};

class TDIBImagesItem {
 public:
  std::string DisplayName;
  TImageRetrieval ImageRetrieval = irInternal;
  TMemoryDIB DIB;
};

class TDIBImageLink;

class TDIBImageList : public TComponent {
 public:
  explicit TDIBImageList(TComponent* AOwner);
  ~TDIBImageList() override;

  int Count() const { return int(FItems.size()); }
  // The item at `index`; EDIBImageListError when there is none.
  TDIBImagesItem& DIBImages(int index);
  // The image at `index`, or null when the index names no image.
  TMemoryDIB* Image(int index) const;

  // Appends an item (optionally with its name and stored image data) and returns it.
  TDIBImagesItem& Add();
  TDIBImagesItem& Add(const std::string& displayName, std::span<const uint8_t> data);
  // Removes an item: links to it name no image any more, links to later items move down.
  void Delete(int index);

 private:
  friend class TDIBImageLink;
  void Changed(int index);
  int IndexOf(const TDIBImagesItem* item) const;

  std::vector<std::unique_ptr<TDIBImagesItem>> FItems;
  std::vector<TDIBImageLink*> FLinks;
};

// Names one image of a list. OnChange runs whenever the image it resolves to may have changed
// (its list, its index, the image's pixels, an item deleted before it, the list destroyed).
class TDIBImageLink {
 public:
  explicit TDIBImageLink(std::function<void()> onChange = {});
  ~TDIBImageLink();
  TDIBImageLink(const TDIBImageLink&) = delete;
  TDIBImageLink& operator=(const TDIBImageLink&) = delete;

  TDIBImageList* DIBImageList() const { return FList; }
  void SetDIBImageList(TDIBImageList* list);
  // -1 names no image.
  int DIBIndex() const { return FIndex; }
  void SetDIBIndex(int index);
  // The linked image, or null.
  TMemoryDIB* Image() const { return FList ? FList->Image(FIndex) : nullptr; }

  std::function<void()> OnChange;

 private:
  friend class TDIBImageList;
  void Changed() {
    if (OnChange) OnChange();
  }
  TDIBImageList* FList = nullptr;
  int FIndex = -1;
};
