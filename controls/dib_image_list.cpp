#include "controls/dib_image_list.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr char kCompressedSignature[] = "DIBCMP";
constexpr size_t kSignatureLength = sizeof kCompressedSignature - 1;

}  // namespace

// ------------------------------------------------------------------ TMemoryDIB

void TMemoryDIB::SetSize(uint16_t width, uint16_t height) {
  FWidth = width;
  FHeight = height;
  FPixels.assign(size_t(width) * height, 0xFF000000u);
  Changed();
}

uint32_t TMemoryDIB::Pixel(int x, int y) const {
  if (x < 0 || y < 0 || x >= FWidth || y >= FHeight) return 0;
  return FPixels[size_t(y) * FWidth + size_t(x)];
}

void TMemoryDIB::SetPixel(int x, int y, uint32_t argb) {
  if (x < 0 || y < 0 || x >= FWidth || y >= FHeight) return;
  FPixels[size_t(y) * FWidth + size_t(x)] = argb;
}

QImage TMemoryDIB::Image() const {
  if (Empty()) return QImage();
  return QImage(reinterpret_cast<const uchar*>(FPixels.data()), FWidth, FHeight,
                qsizetype(FWidth) * 4, QImage::Format_ARGB32);
}

std::vector<uint8_t> TMemoryDIB::GetData() const {
  std::vector<uint8_t> data(4 + size_t(FWidth) * FHeight * 4);
  data[0] = uint8_t(FWidth);
  data[1] = uint8_t(FWidth >> 8);
  data[2] = uint8_t(FHeight);
  data[3] = uint8_t(FHeight >> 8);
  uint8_t* out = data.data() + 4;
  for (int y = FHeight - 1; y >= 0; --y) {
    const uint32_t* row = FPixels.data() + size_t(y) * FWidth;
    for (int x = 0; x < FWidth; ++x) {
      const uint32_t p = row[x];
      *out++ = uint8_t(p);        // blue
      *out++ = uint8_t(p >> 8);   // green
      *out++ = uint8_t(p >> 16);  // red
      *out++ = uint8_t(p >> 24);  // alpha
    }
  }
  return data;
}

void TMemoryDIB::SetData(std::span<const uint8_t> data) {
  if (data.size() >= kSignatureLength &&
      std::memcmp(data.data(), kCompressedSignature, kSignatureLength) == 0)
    throw EDIBImageListError("Compressed image data (DIBCMP) is not supported");
  if (data.size() < 4)
    throw EDIBImageListError("Image data too short: " + std::to_string(data.size()) +
                             " bytes, the size alone takes 4");
  const uint16_t width = uint16_t(data[0] | data[1] << 8);
  const uint16_t height = uint16_t(data[2] | data[3] << 8);
  const size_t expected = 4 + size_t(width) * height * 4;
  if (data.size() != expected)
    throw EDIBImageListError("Image data of " + std::to_string(data.size()) + " bytes for " +
                             std::to_string(width) + " x " + std::to_string(height) +
                             " pixels, which take " + std::to_string(expected));
  std::vector<uint32_t> pixels(size_t(width) * height);
  const uint8_t* in = data.data() + 4;
  for (int y = height - 1; y >= 0; --y) {
    uint32_t* row = pixels.data() + size_t(y) * width;
    for (int x = 0; x < width; ++x, in += 4)
      row[x] =
          uint32_t(in[0]) | uint32_t(in[1]) << 8 | uint32_t(in[2]) << 16 | uint32_t(in[3]) << 24;
  }
  FWidth = width;
  FHeight = height;
  FPixels = std::move(pixels);
  Changed();
}

void TMemoryDIB::Changed() {
  if (FOnChange) FOnChange();
}

// ------------------------------------------------------------------ TDIBImageList

TDIBImageList::TDIBImageList(TComponent* AOwner) : TComponent(AOwner) {}

TDIBImageList::~TDIBImageList() {
  Destroying();
  // Links outlive the list only as links to nothing.
  const std::vector<TDIBImageLink*> links = std::move(FLinks);
  FLinks.clear();
  for (TDIBImageLink* link : links) link->FList = nullptr;
  for (TDIBImageLink* link : links) link->Changed();
}

TDIBImagesItem& TDIBImageList::DIBImages(int index) {
  if (index < 0 || index >= Count())
    throw EDIBImageListError("Image list index out of bounds (" + std::to_string(index) + ")");
  return *FItems[size_t(index)];
}

TMemoryDIB* TDIBImageList::Image(int index) const {
  if (index < 0 || index >= Count()) return nullptr;
  return &FItems[size_t(index)]->DIB;
}

TDIBImagesItem& TDIBImageList::Add() {
  FItems.push_back(std::make_unique<TDIBImagesItem>());
  TDIBImagesItem* item = FItems.back().get();
  item->DIB.FOnChange = [this, item] { Changed(IndexOf(item)); };
  Changed(Count() - 1);
  return *item;
}

TDIBImagesItem& TDIBImageList::Add(const std::string& displayName, std::span<const uint8_t> data) {
  // Read the data first, so that refused data adds nothing.
  TMemoryDIB dib;
  dib.SetData(data);
  TDIBImagesItem& item = Add();
  item.DisplayName = displayName;
  item.DIB.FWidth = dib.FWidth;
  item.DIB.FHeight = dib.FHeight;
  item.DIB.FPixels = std::move(dib.FPixels);
  item.DIB.Changed();
  return item;
}

void TDIBImageList::Delete(int index) {
  if (index < 0 || index >= Count())
    throw EDIBImageListError("Image list index out of bounds (" + std::to_string(index) + ")");
  FItems.erase(FItems.begin() + index);
  std::vector<TDIBImageLink*> affected;
  for (TDIBImageLink* link : FLinks) {
    if (link->FIndex == index) {
      link->FIndex = -1;
      affected.push_back(link);
    } else if (link->FIndex > index) {
      --link->FIndex;
      affected.push_back(link);
    }
  }
  for (TDIBImageLink* link : affected)
    if (std::find(FLinks.begin(), FLinks.end(), link) != FLinks.end()) link->Changed();
}

void TDIBImageList::Changed(int index) {
  if (index < 0) return;
  // A copy: a link's handler may unlink it.
  const std::vector<TDIBImageLink*> links = FLinks;
  for (TDIBImageLink* link : links)
    if (link->FIndex == index && std::find(FLinks.begin(), FLinks.end(), link) != FLinks.end())
      link->Changed();
}

int TDIBImageList::IndexOf(const TDIBImagesItem* item) const {
  for (size_t i = 0; i < FItems.size(); ++i)
    if (FItems[i].get() == item) return int(i);
  return -1;
}

// ------------------------------------------------------------------ TDIBImageLink

TDIBImageLink::TDIBImageLink(std::function<void()> onChange) : OnChange(std::move(onChange)) {}

TDIBImageLink::~TDIBImageLink() {
  if (FList) std::erase(FList->FLinks, this);
}

void TDIBImageLink::SetDIBImageList(TDIBImageList* list) {
  if (list == FList) return;
  if (FList) std::erase(FList->FLinks, this);
  FList = list;
  if (FList) FList->FLinks.push_back(this);
  Changed();
}

void TDIBImageLink::SetDIBIndex(int index) {
  if (index < -1) index = -1;
  if (index == FIndex) return;
  FIndex = index;
  Changed();
}
