#include "formats/header/VegFile.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "HeaderTestUtil.h"
#include "raster/CellType.h"

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
    ASSERT_TRUE(veg.Close()) << veg.Error().Text;
  }
  EXPECT_EQ(ReadBytes(dir / "g.veg").size(), 4u + 8 * 12);  // no tile holds data
  TVegFile back;
  ASSERT_TRUE(back.OpenRead(dir / "g.veg")) << back.Error().Text;
  EXPECT_EQ(back.GetRowCount(), 1000);
  EXPECT_EQ(back.GetColumnCount(), 750);
}

// The grid grown to whole tiles is noted with its size; with less memory
// than its tiles need, they wait in a scratch file, and the files are the
// same.
TEST(VegFile, APaddedGridIsNotedAndItsTilesMayWaitOnTheDisk) {
  TempDir dir;
  WriteErs(dir / "in.ers", 600, 1000, 1, ctFloat32, [](int c, int r, int) { return c - r; });
  CommandResult job = RunCli({dir / "in.ers", dir / "a.veg", "/3"});
  EXPECT_EQ(job.ExitCode, 0) << job.Output;
  EXPECT_NE(job.Output.find("VEG files hold whole tiles of 250 x 250 cells: 1000 x 600 cells "
                            "written as 1000 x 750, the added cells holding no data (-9999)"),
            std::string::npos)
      << job.Output;
  job = RunCli({dir / "in.ers", dir / "b.veg", "/3", "--memory=17"});
  EXPECT_EQ(job.ExitCode, 0) << job.Output;
  EXPECT_TRUE(ReadBytes(dir / "a.veg") == ReadBytes(dir / "b.veg"));
  EXPECT_EQ(ReadText(dir / "a.dat"), ReadText(dir / "b.dat"));
  WriteErs(dir / "whole.ers", 500, 250, 1, ctFloat32, [](int c, int r, int) { return c - r; });
  job = RunCli({dir / "whole.ers", dir / "whole.veg"});
  EXPECT_EQ(job.ExitCode, 0) << job.Output;
  EXPECT_EQ(job.Output.find("VEG files hold whole tiles"), std::string::npos) << job.Output;
}

TEST(VegFile, OnlyTilesWithValuesAreStoredFromTheSouth) {
  TempDir dir;
  {
    TVegFile veg;
    ASSERT_TRUE(veg.Open(dir / "s.veg", 500, 500, ctFloat32, 1, omCreate));
    veg.SetGeoreference(PlacedAt(2, 2, 100, 1000, "", "", ""));
    ASSERT_TRUE(veg.WriteCell(0, 0, 0, 1.5f));           // north-west tile
    ASSERT_TRUE(veg.WriteCell(499, 499, 0, 2.5f));       // south-east tile
    ASSERT_TRUE(veg.WriteCell(300, 0, 0, kVegNoValue));  // creates no tile
    ASSERT_TRUE(veg.Close()) << veg.Error().Text;
  }
  const std::vector<uint8_t> b = ReadBytes(dir / "s.veg");
  const uint32_t data = 4 + 8 * 4;
  ASSERT_EQ(b.size(), data + 2 * kVegTileSize);
  // Row 499 lies in the first tile row and is its tile's first stored row;
  // row 0 lies in the last and is stored last.
  EXPECT_EQ(Word(b, 4), 0u);
  EXPECT_EQ(Word(b, 12), data);
  EXPECT_EQ(Word(b, 20), data + kVegTileSize);
  EXPECT_EQ(Word(b, 28), 0u);
  EXPECT_EQ(Float(b, data + 249 * 6 + 2), 2.5f);
  EXPECT_EQ(Float(b, data + kVegTileSize + 249 * 1500 + 2), 1.5f);
  EXPECT_EQ(ReadText(dir / "s.dat"), "2.000000\r\n100.000000\r\n2.000000\r\n1\r\n1\r\n");

  TVegFile back;
  ASSERT_TRUE(back.OpenRead(dir / "s.veg")) << back.Error().Text;
  EXPECT_EQ(back.GetGeoreference().Affine.Y0, 1000);
  float v = 0;
  ASSERT_TRUE(back.ReadCell(0, 0, 0, v));
  EXPECT_EQ(v, 1.5f);
  EXPECT_FALSE(back.ReadCell(300, 0, 0, v));  // absent tile
  EXPECT_EQ(v, kVegNoValue);
  EXPECT_FALSE(back.ReadCell(1, 0, 0, v));  // present, holding -9999
  EXPECT_EQ(v, kVegNoValue);
  EXPECT_TRUE(back.Error().Text.empty()) << back.Error().Text;
}

TEST(VegFile, BadHeadersAndDirectoriesAreRefused) {
  TempDir dir;
  struct Case {
    std::string Dat;
    std::vector<uint8_t> Veg;
    const char* Message;
  } cases[] = {
      {"0\r\n0\r\n1\r\nx\r\n0\r\n", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "Error loading header"},
      {"0\r\n0\r\n1\r\n0\r\n-1\r\n", {}, "Error loading header"},
      {"0\r\n0\r\n1\r\n99999999999\r\n0\r\n", {}, "Error loading header"},
      {"0\r\n0\r\n1\r\n1\r\n0\r\n", {}, "tile directory"},
      {"0\r\n0\r\nnan\r\n0\r\n0\r\n", {}, "(cell size is not a finite number)"},
      {"0\r\n0\r\n0\r\n0\r\n0\r\n", {}, "(cell size is 0)"},
      {"0\r\n-inf\r\n1\r\n0\r\n0\r\n", {}, "(left is not a finite number)"},
      {"0\r\n0\r\n1\r\n0\r\n0\r\n",
       {0, 0, 0, 0, 12, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3},
       "lies outside the file"},
  };
  for (const Case& c : cases) {
    WriteText(dir / "b.DAT", c.Dat);  // found whatever the case of ".dat"
    if (!c.Veg.empty()) WriteBytes(dir / "b.veg", c.Veg);
    TVegFile veg;
    EXPECT_FALSE(veg.OpenRead(dir / "b.veg"));
    EXPECT_NE(veg.Error().Text.find(c.Message), std::string::npos) << veg.Error().Text;
  }
}

// Tile offsets are 32-bit words: the largest grid whose every tile could be
// addressed is taken, one tile more is refused before any file exists.
TEST(VegFile, RefusesGridsPastThirtyTwoBitOffsets) {
  TempDir dir;
  TVegFile fits;
  EXPECT_TRUE(fits.Open(dir / "fits.veg", 250 * 11454, 250, ctFloat32, 1, omCreate));
  TVegFile tooBig;
  EXPECT_FALSE(tooBig.Open(dir / "big.veg", 250 * 11455, 250, ctFloat32, 1, omCreate));
  EXPECT_NE(tooBig.Error().Text.find("32-bit tile offsets"), std::string::npos);
  EXPECT_FALSE(Exists(dir / "big.veg"));
  EXPECT_FALSE(Exists(dir / "big.dat"));
}

// A VEG writes its files only when it is closed: a folder that cannot take
// them is found before the job starts, and a failure at closing is reported.
TEST(VegFile, FailuresToWriteAreReported) {
  TempDir dir;
  WriteErs(dir / "in.ers", 5, 4, 1, ctFloat32, [](int c, int, int) { return c; });
  ExpectRefused({dir / "in.ers", dir / "missing/out.veg"},
                "Output folder " + dir / "missing" + " does not exist", {});

  std::filesystem::create_directory(dir / "gone");
  TVegFile veg;
  ASSERT_TRUE(veg.Open(dir / "gone/out.veg", 5, 4, ctFloat32, 1, omCreate));
  ASSERT_TRUE(veg.WriteCell(1, 1, 0, 3));
  std::filesystem::remove_all(dir / "gone");
  EXPECT_FALSE(veg.Close());
  EXPECT_NE(veg.Error().Text.find("gone/out.dat"), std::string::npos) << veg.Error().Text;
}
