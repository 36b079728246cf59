#include "formats/header/DtmMap.h"

#include <gtest/gtest.h>

#include "HeaderTestUtil.h"

using namespace mirava;
using namespace mirava::test;

namespace {

// A DTM file: the header's fields, then `cells` floats.
std::vector<uint8_t> DtmBytes(int32_t columns, int32_t rows, int32_t offset,
                              const std::vector<float>& cells,
                              float first = -1) {
  std::vector<uint8_t> b(52 + 4 * cells.size());
  const float signature[6] = {first, -1, 0, 0, -1, -1};
  std::memcpy(b.data(), signature, sizeof signature);
  const float x = 500000.3f, y = 6000000, size = 25;
  std::memcpy(&b[24], &x, 4);
  std::memcpy(&b[28], &y, 4);
  std::memcpy(&b[32], &columns, 4);
  std::memcpy(&b[36], &rows, 4);
  std::memcpy(&b[40], &size, 4);
  std::memcpy(&b[44], &size, 4);
  std::memcpy(&b[48], &offset, 4);
  std::memcpy(&b[52], cells.data(), 4 * cells.size());
  return b;
}

}  // namespace

TEST(DtmMap, ReadsCellsAndGeoreferenceFromTheHeader) {
  TempDir dir;
  WriteBytes(dir / "a.dtm", DtmBytes(3, 2, 0, {1, 2, 3, 4, 5, 6.5f}));
  TDtmMap2 map;
  ASSERT_TRUE(map.OpenRead(dir / "a.dtm")) << map.ErrorText;
  EXPECT_EQ(map.GetColumnCount(), 3);
  EXPECT_EQ(map.GetRowCount(), 2);
  EXPECT_EQ(map.GetCellType(), ctFloat32);
  EXPECT_EQ(map.GetOriginX(), 500000.3125);  // the nearest float
  EXPECT_EQ(map.GetCellSizeY(), 25);
  float v = 0;
  ASSERT_TRUE(map.ReadCell(2, 1, 0, v));
  EXPECT_EQ(v, 6.5f);
  v = 9;
  EXPECT_FALSE(map.ReadCell(3, 0, 0, v));  // one past the last column
  EXPECT_EQ(v, 0);
  EXPECT_FALSE(map.WriteCell(0, 0, 0, 1));  // opened for reading
}

TEST(DtmMap, CellOffsetShiftsEveryCell) {
  TempDir dir;
  WriteBytes(dir / "o.dtm", DtmBytes(2, 1, 3, {9, 9, 9, 7, 8}));
  TDtmMap2 map;
  ASSERT_TRUE(map.OpenRead(dir / "o.dtm")) << map.ErrorText;
  float v = 0;
  ASSERT_TRUE(map.ReadCell(0, 0, 0, v));  // byte 64
  EXPECT_EQ(v, 7);
  ASSERT_TRUE(map.ReadCell(1, 0, 0, v));
  EXPECT_EQ(v, 8);
}

TEST(DtmMap, RefusesShortWrongAndOversizedHeaders) {
  TempDir dir;
  std::vector<uint8_t> shortHeader = DtmBytes(1, 1, 0, {});
  shortHeader.pop_back();
  struct Case {
    const char* Name;
    std::vector<uint8_t> Bytes;
    int32_t Status;
  } cases[] = {
      {"51 bytes", shortHeader, 1},
      {"signature", DtmBytes(1, 1, 0, {1}, 1.0f), 1},
      {"cells past the end", DtmBytes(3, 2, 0, {1, 2, 3, 4, 5}), 1},
      {"offset past the end", DtmBytes(1, 1, 1, {1}), 1},
      {"negative offset", DtmBytes(1, 1, -2, {1}), 1},
      {"negative rows", DtmBytes(1, -1, 0, {1}), 1},
  };
  for (const Case& c : cases) {
    WriteBytes(dir / "bad.dtm", c.Bytes);
    TDtmMap2 map;
    EXPECT_FALSE(map.OpenRead(dir / "bad.dtm")) << c.Name;
    EXPECT_EQ(map.GetHeader().HeaderStatus, c.Status) << c.Name;
    EXPECT_NE(map.ErrorText.find("reading error"), std::string::npos)
        << c.Name << ": " << map.ErrorText;
  }
}

TEST(DtmMap, CreatedFileGetsItsHeaderWhenClosed) {
  TempDir dir;
  TDtmMap2 map;
  ASSERT_TRUE(map.Open(dir / "n.dtm", 100, 50, ctSigned16, 1, omCreate));
  map.SetGeoreference("", "", 2.5, 3.5, 0, 0, 500000.3, 6000000.7, "");
  ASSERT_TRUE(map.WriteCell(99, 49, 0, -12.25f));
  std::vector<uint8_t> bytes = ReadBytes(dir / "n.dtm");
  ASSERT_EQ(bytes.size(), 20052u);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 52),
            std::vector<uint8_t>(52, 0));
  ASSERT_TRUE(map.Close()) << map.ErrorText;

  TDtmMap2 back;
  ASSERT_TRUE(back.OpenRead(dir / "n.dtm")) << back.ErrorText;
  EXPECT_EQ(back.GetOriginX(), 500000.3125);
  EXPECT_EQ(back.GetOriginY(), static_cast<double>(6000000.7f));
  EXPECT_EQ(back.GetCellSizeX(), 2.5);
  EXPECT_EQ(back.GetCellSizeY(), 3.5);
  float v = 0;
  ASSERT_TRUE(back.ReadCell(99, 49, 0, v));
  EXPECT_EQ(v, -12.25f);
}

// A DTM holds one band: a second one is refused before any file exists.
TEST(DtmMap, RefusesMoreThanOneBandBeforeCreatingTheFile) {
  TempDir dir;
  WriteErs(dir / "two.ers", 4, 3, 2, ctUnsigned8, [](int c, int, int) { return c; });
  CommandResult result = RunCli({dir / "two.ers", dir / "two.dtm"});
  EXPECT_EQ(result.ExitCode, 1);
  EXPECT_NE(result.Output.find("DTM files hold one band; the input has 2"),
            std::string::npos)
      << result.Output;
  EXPECT_FALSE(Exists(dir / "two.dtm"));
}

// ER Mapper -> DTM with each placement -> ER Mapper: cells exactly, the
// georeference as 32-bit floats hold it.
TEST(DtmMapEndToEnd, EveryPlacementRoundTrips) {
  TempDir dir;
  const int W = 29, H = 17;
  WriteErs(dir / "in.ers", W, H, 1, ctFloat32,
           [](int c, int r, int) { return c * 10.125 - r * 3.5 - 40; });
  const TRaster in = ReadRaster(dir / "in.ers");
  for (int kind = 0; kind <= 5; ++kind) {
    const std::string k = std::to_string(kind);
    ExpectCli({dir / "in.ers", dir / ("o" + k + ".dtm"), "/" + k});
    ExpectCli({dir / ("o" + k + ".dtm"), dir / ("b" + k + ".ers")});
    const TRaster out = ReadRaster(dir / ("b" + k + ".ers"));
    ExpectPlaced(in, out, kind, "kind " + k);
    EXPECT_EQ(out.CellSizeX, static_cast<float>(in.CellSizeX));
    EXPECT_EQ(out.CellSizeY, static_cast<float>(in.CellSizeY));
    EXPECT_EQ(out.OriginX, static_cast<float>(in.OriginX));
    EXPECT_EQ(out.OriginY, static_cast<float>(in.OriginY));
  }
}
