#include "formats/header/VegFile.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "HeaderTestUtil.h"

using namespace mirava;
using namespace mirava::test;

namespace {

uint32_t Word(const std::vector<uint8_t>& b, size_t at) {
  uint32_t w;
  std::memcpy(&w, &b[at], 4);
  return w;
}

float Float(const std::vector<uint8_t>& b, size_t at) {
  float f;
  std::memcpy(&f, &b[at], 4);
  return f;
}

}  // namespace

TEST(VegFile, TileGridFollowsTheRequestedSize) {
  TempDir dir;
  {
    TVegFile veg;
    ASSERT_TRUE(veg.Open(dir / "g.veg", 600, 1000, ctFloat32, 1, omCreate));
    auto& h = static_cast<TVegHeader&>(veg.GetHeader());
    EXPECT_EQ(h.TileRowsMinusOne, 3);
    EXPECT_EQ(h.TileColumnsMinusOne, 2);
    ASSERT_TRUE(veg.Close()) << veg.ErrorText;
  }
  TVegFile back;
  ASSERT_TRUE(back.OpenRead(dir / "g.veg")) << back.ErrorText;
  EXPECT_EQ(back.GetRowCount(), 1000);
  EXPECT_EQ(back.GetColumnCount(), 750);

  TVegFile one;
  ASSERT_TRUE(one.Open(dir / "one.veg", 3, 1, ctFloat32, 1, omCreate));
  ASSERT_TRUE(one.Close());
  TVegFile oneBack;
  ASSERT_TRUE(oneBack.OpenRead(dir / "one.veg"));
  EXPECT_EQ(oneBack.GetRowCount(), 250);
}

TEST(VegFile, OnlyTilesWithValuesAreStored) {
  TempDir dir;
  {
    TVegFile veg;
    ASSERT_TRUE(veg.Open(dir / "s.veg", 500, 500, ctFloat32, 1, omCreate));
    veg.SetGeoreference("", "", 2, 2, 0, 0, 100, 1000, "");
    for (uint32_t r = 0; r < 500; ++r)
      for (uint32_t c = 0; c < 500; ++c)
        ASSERT_TRUE(veg.WriteCell(c, r, 0, kVegNoValue));
    ASSERT_TRUE(veg.WriteCell(0, 0, 0, 1.5f));      // north-west tile
    ASSERT_TRUE(veg.WriteCell(499, 499, 0, 2.5f));  // south-east tile
    ASSERT_TRUE(veg.Close()) << veg.ErrorText;
  }
  const std::vector<uint8_t> b = ReadBytes(dir / "s.veg");
  const size_t directory = 4 + 8 * 4;
  ASSERT_EQ(b.size(), directory + 2 * kVegTileSize);
  // Entries from the south-west: row 499 lies in the first tile row and is
  // its tile's first stored row; row 0 lies in the last and is stored last.
  EXPECT_EQ(Word(b, 4), 0u);
  EXPECT_EQ(Word(b, 12), directory);
  EXPECT_EQ(Word(b, 20), directory + kVegTileSize);
  EXPECT_EQ(Word(b, 28), 0u);
  EXPECT_EQ(Float(b, directory + 249 * 6 + 2), 2.5f);
  EXPECT_EQ(Float(b, directory + kVegTileSize + 249 * 1500 + 2), 1.5f);
  EXPECT_EQ(ReadText(dir / "s.dat"), "2.000000\r\n100.000000\r\n2.000000\r\n1\r\n1\r\n");

  TVegFile back;
  ASSERT_TRUE(back.OpenRead(dir / "s.veg")) << back.ErrorText;
  EXPECT_EQ(back.GetOriginY(), 1000);
  float v = 0;
  ASSERT_TRUE(back.ReadCell(0, 0, 0, v));
  EXPECT_EQ(v, 1.5f);
  EXPECT_FALSE(back.ReadCell(300, 0, 0, v));  // absent tile
  EXPECT_EQ(v, kVegNoValue);
  EXPECT_FALSE(back.ReadCell(1, 0, 0, v));  // present, holding -9999
  EXPECT_EQ(v, kVegNoValue);
  EXPECT_TRUE(back.ErrorText.empty()) << back.ErrorText;
}

TEST(VegFile, AllNoDataWritesOnlyTheDirectory) {
  TempDir dir;
  {
    TVegFile veg;
    ASSERT_TRUE(veg.Open(dir / "e.veg", 300, 260, ctFloat32, 1, omCreate));
    ASSERT_TRUE(veg.WriteCell(5, 5, 0, kVegNoValue));
    ASSERT_TRUE(veg.Close());
  }
  EXPECT_EQ(ReadBytes(dir / "e.veg").size(), 4u + 8 * 4);
}

TEST(VegFile, FirstHeaderLineIsTheBottomRow) {
  TempDir dir;
  TVegFile veg;
  ASSERT_TRUE(veg.Open(dir / "h.veg", 250, 250, ctFloat32, 1, omCreate));
  veg.SetGeoreference("", "", 2, 2, 0, 0, 0, 1000, "");
  ASSERT_TRUE(veg.Close());
  EXPECT_EQ(ReadText(dir / "h.dat").substr(0, 12), "502.000000\r\n");
}

TEST(VegFile, BadHeadersAndDirectoriesAreRefused) {
  TempDir dir;
  WriteBytes(dir / "b.veg", std::vector<uint8_t>(4 + 8, 0));
  struct Case {
    const char* Name;
    std::string Dat;
    std::vector<uint8_t> Veg;
    const char* Message;
  } cases[] = {
      {"tile rows x", "0\r\n0\r\n1\r\nx\r\n0\r\n", {}, "Error loading header"},
      {"negative tiles", "0\r\n0\r\n1\r\n0\r\n-1\r\n", {}, "Error loading header"},
      {"huge tiles", "0\r\n0\r\n1\r\n99999999999\r\n0\r\n", {}, "Error loading header"},
      {"directory past the end", "0\r\n0\r\n1\r\n1\r\n0\r\n",
       std::vector<uint8_t>(4 + 8, 0), "tile directory"},
      {"tile past the end", "0\r\n0\r\n1\r\n0\r\n0\r\n",
       {0, 0, 0, 0, 12, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3}, "lies outside the file"},
  };
  for (const Case& c : cases) {
    WriteText(dir / "b.dat", c.Dat);
    if (!c.Veg.empty()) WriteBytes(dir / "b.veg", c.Veg);
    TVegFile veg;
    EXPECT_FALSE(veg.OpenRead(dir / "b.veg")) << c.Name;
    EXPECT_NE(veg.ErrorText.find(c.Message), std::string::npos)
        << c.Name << ": " << veg.ErrorText;
  }
}

// Tile offsets are 32-bit words: the largest grid whose every tile could be
// addressed is accepted, one tile more is refused before any file exists.
TEST(VegFile, RefusesGridsPastThirtyTwoBitOffsets) {
  TempDir dir;
  TVegFile fits;
  EXPECT_TRUE(fits.Open(dir / "fits.veg", 250 * 11454, 250, ctFloat32, 1, omCreate))
      << fits.ErrorText;
  TVegFile tooBig;
  EXPECT_FALSE(tooBig.Open(dir / "big.veg", 250 * 11455, 250, ctFloat32, 1, omCreate));
  EXPECT_NE(tooBig.ErrorText.find("32-bit tile offsets"), std::string::npos)
      << tooBig.ErrorText;
  EXPECT_FALSE(Exists(dir / "big.veg"));
  EXPECT_FALSE(Exists(dir / "big.dat"));
}

// A VEG writes its files only when it is closed: a folder that cannot take
// them is found at Open, and a failure at closing is reported.
TEST(VegFile, FailuresToWriteAreReported) {
  TempDir dir;
  WriteErs(dir / "in.ers", 5, 4, 1, ctFloat32, [](int c, int, int) { return c; });
  CommandResult result = RunCli({dir / "in.ers", dir / "missing/out.veg"});
  EXPECT_EQ(result.ExitCode, 1) << result.Output;
  EXPECT_EQ(result.Output.find("Successful Finish"), std::string::npos);
  EXPECT_NE(result.Output.find("Open map write error="), std::string::npos)
      << result.Output;

  std::filesystem::create_directory(dir / "gone");
  TVegFile veg;
  ASSERT_TRUE(veg.Open(dir / "gone/out.veg", 5, 4, ctFloat32, 1, omCreate));
  ASSERT_TRUE(veg.WriteCell(1, 1, 0, 3));
  std::filesystem::remove_all(dir / "gone");
  EXPECT_FALSE(veg.Close());
  EXPECT_NE(veg.ErrorText.find("out.veg"), std::string::npos) << veg.ErrorText;
}

TEST(VegFile, RefusesBandsAndNonSquareCells) {
  TempDir dir;
  WriteErs(dir / "two.ers", 5, 4, 2, ctFloat32, [](int, int, int) { return 1; });
  CommandResult bands = RunCli({dir / "two.ers", dir / "o.veg"});
  EXPECT_NE(bands.Output.find("VEG files hold one band; the input has 2"),
            std::string::npos)
      << bands.Output;
  EXPECT_FALSE(Exists(dir / "o.veg"));
  EXPECT_FALSE(Exists(dir / "o.dat"));
  TGeo geo;
  geo.CellSizeY = 3;
  WriteErs(dir / "wide.ers", 5, 4, 1, ctFloat32, [](int, int, int) { return 1; }, geo);
  CommandResult cells = RunCli({dir / "wide.ers", dir / "o.veg"});
  EXPECT_EQ(cells.ExitCode, 1);
  EXPECT_NE(cells.Output.find("VEG files hold square cells"), std::string::npos)
      << cells.Output;
  EXPECT_FALSE(Exists(dir / "o.veg"));
  EXPECT_FALSE(Exists(dir / "o.dat"));
}

// Tiles copied from a system that upper-cases names keep their header.
TEST(VegFile, FindsItsHeaderWhateverTheCaseOfItsExtension) {
  TempDir dir;
  {
    TVegFile veg;
    ASSERT_TRUE(veg.Open(dir / "c.veg", 5, 4, ctFloat32, 1, omCreate));
    ASSERT_TRUE(veg.WriteCell(1, 1, 0, 3));
    ASSERT_TRUE(veg.Close());
  }
  std::filesystem::rename(dir / "c.veg", dir / "C.VEG");
  std::filesystem::rename(dir / "c.dat", dir / "C.Dat");
  TVegFile back;
  ASSERT_TRUE(back.OpenRead(dir / "C.VEG")) << back.ErrorText;
  float v = 0;
  ASSERT_TRUE(back.ReadCell(1, 1, 0, v));
  EXPECT_EQ(v, 3);
}

// ER Mapper -> VEG with each placement -> ER Mapper over a grid of several
// tiles: cells exactly (the padding up to whole tiles is no-data), the
// georeference to the last digit.
TEST(VegFileEndToEnd, EveryPlacementRoundTrips) {
  TempDir dir;
  const int W = 300, H = 260;
  TGeo geo;
  geo.CellSizeX = geo.CellSizeY = 0.000833333333333333;
  geo.OriginX = 5.999583333333333;
  geo.OriginY = 46.00041666666667;
  // The eastern strip holds no data, so its tiles are absent in some kinds.
  WriteErs(dir / "in.ers", W, H, 1, ctFloat32,
           [](int c, int r, int) { return c >= 250 ? -9999.0 : c * 0.5 - r * 0.25; },
           geo);
  const TRaster in = ReadRaster(dir / "in.ers");
  for (int kind = 0; kind <= 5; ++kind) {
    const std::string k = std::to_string(kind);
    ExpectCli({dir / "in.ers", dir / ("o" + k + ".veg"), "/" + k});
    ExpectCli({dir / ("o" + k + ".veg"), dir / ("b" + k + ".ers")});
    const TRaster out = ReadRaster(dir / ("b" + k + ".ers"));
    ExpectPlaced(in, out, kind, "kind " + k);
    EXPECT_EQ(out.Columns, 500);
    EXPECT_EQ(out.Rows, 500);
    EXPECT_EQ(out.At(499, 499), kVegNoValue);
    EXPECT_EQ(out.CellSizeX, in.CellSizeX);
    EXPECT_EQ(out.CellSizeY, in.CellSizeY);
    EXPECT_EQ(out.OriginX, in.OriginX);
    EXPECT_EQ(out.OriginY, in.OriginY);
  }
  // Kind 0 leaves the eastern tiles empty: only two of four are stored.
  EXPECT_EQ(ReadBytes(dir / "o0.veg").size(), 4 + 8 * 4 + 2 * kVegTileSize);
}
