#include "formats/header/DtmMap.h"

#include <gtest/gtest.h>

#include "HeaderTestUtil.h"
#include "raster/CellType.h"

using namespace mirava;
using namespace mirava::test;

namespace {

// A DTM file: the header's fields, then `cells` floats.
std::vector<uint8_t> DtmBytes(int32_t columns, int32_t rows, int32_t offset,
                              const std::vector<float>& cells, float first = -1, float size = 25,
                              float left = 500000.3f) {
  std::vector<uint8_t> b(52 + 4 * cells.size());
  const float head[8] = {first, -1, 0, 0, -1, -1, left, 6000000};
  std::memcpy(b.data(), head, sizeof head);
  std::memcpy(&b[32], &columns, 4);
  std::memcpy(&b[36], &rows, 4);
  std::memcpy(&b[40], &size, 4);
  std::memcpy(&b[44], &size, 4);
  std::memcpy(&b[48], &offset, 4);
  if (!cells.empty()) std::memcpy(&b[52], cells.data(), 4 * cells.size());
  return b;
}

}  // namespace

TEST(DtmMap, ReadsCellsFromCellOffset) {
  TempDir dir;
  WriteBytes(dir / "o.dtm", DtmBytes(2, 1, 3, {9, 9, 9, 7, 8.5f}));
  TDtmMap2 map;
  ASSERT_TRUE(map.OpenRead(dir / "o.dtm")) << map.Error().Text;
  EXPECT_EQ(map.GetGeoreference().Affine.X0, 500000.3125);  // the nearest float
  float v = 0;
  ASSERT_TRUE(map.ReadCell(0, 0, 0, v));  // byte 64
  EXPECT_EQ(v, 7);
  ASSERT_TRUE(map.ReadCell(1, 0, 0, v));
  EXPECT_EQ(v, 8.5f);
  EXPECT_FALSE(map.ReadCell(2, 0, 0, v));  // one past the last column
  EXPECT_EQ(v, 0);
  EXPECT_FALSE(map.WriteCell(0, 0, 0, 1));  // opened for reading
}

TEST(DtmMap, RefusesShortWrongAndOversizedHeaders) {
  TempDir dir;
  std::vector<uint8_t> shortHeader = DtmBytes(1, 1, 0, {});
  shortHeader.pop_back();
  const std::vector<uint8_t> cases[] = {shortHeader,
                                        DtmBytes(1, 1, 0, {1}, 1.0f),
                                        DtmBytes(3, 2, 0, {1, 2, 3, 4, 5}),
                                        DtmBytes(1, 1, 1, {1}),
                                        DtmBytes(1, 1, -2, {1}),
                                        DtmBytes(1, -1, 0, {1}),
                                        DtmBytes(1, 1, 0, {1}, -1, 0),
                                        DtmBytes(1, 1, 0, {1}, -1, NAN),
                                        DtmBytes(1, 1, 0, {1}, -1, 25, INFINITY)};
  for (const std::vector<uint8_t>& bytes : cases) {
    WriteBytes(dir / "bad.dtm", bytes);
    TDtmMap2 map;
    EXPECT_FALSE(map.OpenRead(dir / "bad.dtm"));
    EXPECT_EQ(map.Error().Code, TErrorCode::Header);
    EXPECT_NE(map.Error().Text.find("reading error"), std::string::npos) << map.Error().Text;
  }
}

TEST(DtmMap, CreatedFileGetsItsHeaderWhenClosed) {
  TempDir dir;
  TDtmMap2 map;
  ASSERT_TRUE(map.Open(dir / "n.dtm", 100, 50, ctSigned16, 1, omCreate));
  map.SetGeoreference(PlacedAt(2.5, 3.5, 500000.3, 6000000.7, "", "", ""));
  ASSERT_TRUE(map.WriteCell(99, 49, 0, -12.25f));
  std::vector<uint8_t> bytes = ReadBytes(dir / "n.dtm");
  ASSERT_EQ(bytes.size(), 20052u);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 52), std::vector<uint8_t>(52));
  ASSERT_TRUE(map.Close()) << map.Error().Text;
  TDtmMap2 back;
  ASSERT_TRUE(back.OpenRead(dir / "n.dtm")) << back.Error().Text;
  EXPECT_EQ(back.GetGeoreference().Affine.Y0, static_cast<double>(6000000.7f));
  EXPECT_EQ(back.GetGeoreference().Affine.CellSizeY, 3.5);
  float v = 0;
  ASSERT_TRUE(back.ReadCell(99, 49, 0, v));
  EXPECT_EQ(v, -12.25f);
}
