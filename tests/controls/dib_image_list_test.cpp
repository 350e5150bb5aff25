#include "controls/dib_image_list.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace {

std::vector<uint8_t> Header(uint16_t width, uint16_t height) {
  return {uint8_t(width), uint8_t(width >> 8), uint8_t(height), uint8_t(height >> 8)};
}

TEST(MemoryDIBTest, StoredFormIsTheSizeThenTheRowsBottomFirst) {
  TMemoryDIB dib;
  dib.SetSize(3, 2);
  // Top row and bottom row, as 0xAARRGGBB.
  const uint32_t top[] = {0xFFFF0000, 0xFF00FF00, 0xFF0000FF};
  const uint32_t bottom[] = {0x80102030, 0x00405060, 0xFF708090};
  for (int x = 0; x < 3; ++x) {
    dib.SetPixel(x, 0, top[x]);
    dib.SetPixel(x, 1, bottom[x]);
  }
  const std::vector<uint8_t> expected = {
      3,    0,    2,    0,                                                     // width, height
      0x30, 0x20, 0x10, 0x80, 0x60, 0x50, 0x40, 0x00, 0x90, 0x80, 0x70, 0xFF,  // bottom row
      0x00, 0x00, 0xFF, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0xFF,  // top row
  };
  EXPECT_EQ(dib.GetData(), expected);

  TMemoryDIB read;
  read.SetData(expected);
  ASSERT_EQ(read.Width(), 3);
  ASSERT_EQ(read.Height(), 2);
  // The view shows the picture the right way up.
  const QImage view = read.Image();
  for (int x = 0; x < 3; ++x) {
    EXPECT_EQ(view.pixel(x, 0), top[x]) << x;
    EXPECT_EQ(view.pixel(x, 1), bottom[x]) << x;
  }
}

TEST(MemoryDIBTest, WhatIsReadIsWrittenBackByteForByte) {
  const struct {
    uint16_t width, height;
  } sizes[] = {{0, 0}, {0, 7}, {1, 1}, {120, 12}, {300, 2}, {7, 300}};
  uint32_t seed = 1;
  for (const auto& size : sizes) {
    std::vector<uint8_t> data = Header(size.width, size.height);
    for (size_t i = 0; i < size_t(size.width) * size.height * 4; ++i) {
      seed = seed * 1103515245u + 12345u;
      data.push_back(uint8_t(seed >> 16));
    }
    TMemoryDIB dib;
    dib.SetData(data);
    EXPECT_EQ(dib.GetData(), data) << size.width << " x " << size.height;
  }
  TMemoryDIB lamp;
  lamp.SetSize(120, 12);
  EXPECT_EQ(lamp.GetData().size(), 5764u);
}

TEST(MemoryDIBTest, RefusesDataItCannotReadAndKeepsItsImage) {
  std::vector<uint8_t> compressed = {'D', 'I', 'B', 'C', 'M', 'P'};
  compressed.resize(6 + 16 + 40, 0x5A);
  std::vector<uint8_t> shortPixels = Header(2, 2);
  shortPixels.resize(4 + 15);
  std::vector<uint8_t> longPixels = Header(1, 1);
  longPixels.resize(4 + 5);
  const struct {
    const char* what;
    std::vector<uint8_t> data;
    const char* message;
  } cases[] = {
      {"compressed", compressed, "DIBCMP"},
      {"signature only", {'D', 'I', 'B', 'C', 'M', 'P'}, "DIBCMP"},
      {"empty", {}, "too short"},
      {"three bytes", {1, 0, 1}, "too short"},
      {"pixels missing", shortPixels, "2 x 2"},
      {"pixels left over", longPixels, "1 x 1"},
  };
  TMemoryDIB dib;
  dib.SetSize(1, 1);
  dib.SetPixel(0, 0, 0xFF123456);
  const std::vector<uint8_t> before = dib.GetData();
  for (const auto& c : cases) {
    try {
      dib.SetData(c.data);
      ADD_FAILURE() << c.what << ": accepted";
    } catch (const EDIBImageListError& e) {
      EXPECT_NE(std::strstr(e.what(), c.message), nullptr) << c.what << ": " << e.what();
    }
    EXPECT_EQ(dib.GetData(), before) << c.what;
  }
}

class DIBImageListTest : public ::testing::Test {
 protected:
  // Items whose widths tell them apart: item i is (i + 1) x 1.
  void Fill(int count) {
    for (int i = 0; i < count; ++i) list.Add().DIB.SetSize(uint16_t(i + 1), 1);
  }
  TDIBImageList list{nullptr};
};

TEST_F(DIBImageListTest, LinksFollowDeletedItems) {
  Fill(4);
  TDIBImageLink before, at, after, none;
  int afterChanges = 0;
  after.OnChange = [&] { ++afterChanges; };
  for (TDIBImageLink* link : {&before, &at, &after, &none}) link->SetDIBImageList(&list);
  before.SetDIBIndex(0);
  at.SetDIBIndex(1);
  after.SetDIBIndex(3);
  afterChanges = 0;

  list.Delete(1);
  EXPECT_EQ(before.DIBIndex(), 0);
  EXPECT_EQ(at.DIBIndex(), -1);
  EXPECT_EQ(at.Image(), nullptr);
  EXPECT_EQ(after.DIBIndex(), 2);
  EXPECT_EQ(after.Image()->Width(), 4);  // still the same picture
  EXPECT_EQ(none.DIBIndex(), -1);
  EXPECT_EQ(afterChanges, 1);

  EXPECT_THROW(list.Delete(3), EDIBImageListError);
  EXPECT_THROW(list.DIBImages(-1), EDIBImageListError);
  EXPECT_EQ(list.Image(3), nullptr);
}

TEST_F(DIBImageListTest, LinksHearOfChangedPixelsOfTheirImageOnly) {
  Fill(2);
  int changes = 0;
  TDIBImageLink link([&] { ++changes; });
  link.SetDIBImageList(&list);
  link.SetDIBIndex(1);
  changes = 0;
  list.Image(0)->SetSize(5, 5);
  EXPECT_EQ(changes, 0);
  list.Image(1)->SetData(Header(0, 0));
  EXPECT_EQ(changes, 1);
  // An added item that a link already names.
  link.SetDIBIndex(2);
  changes = 0;
  list.Add();
  EXPECT_EQ(changes, 1);
  // Refused data adds nothing.
  EXPECT_THROW(list.Add("bad", std::vector<uint8_t>{1, 2}), EDIBImageListError);
  EXPECT_EQ(list.Count(), 3);
}

TEST(DIBImageLinkTest, OutlivesItsList) {
  auto list = std::make_unique<TDIBImageList>(nullptr);
  list->Add().DIB.SetSize(2, 2);
  int changes = 0;
  TDIBImageLink link([&] { ++changes; });
  link.SetDIBImageList(list.get());
  link.SetDIBIndex(0);
  ASSERT_NE(link.Image(), nullptr);
  changes = 0;
  list.reset();
  EXPECT_EQ(link.DIBImageList(), nullptr);
  EXPECT_EQ(link.Image(), nullptr);
  EXPECT_EQ(changes, 1);
}

}  // namespace
