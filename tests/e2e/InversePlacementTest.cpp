// Placements undo each other: a quarter turn followed by the other quarter
// turn, and a flip or a half turn done twice, give back the input byte for
// byte, through every format that holds the input exactly.
#include <gtest/gtest.h>

#include "../TestRasters.h"
#include "../TestUtil.h"

using namespace mirava::test;

namespace {

struct Inverse {
  int Kind;
  int Undo;
};

constexpr Inverse kInverses[] = {{2, 3}, {3, 2}, {1, 1}, {4, 4}, {5, 5}};

// input.ers -> placed.EXT with `kind` -> back.ers with its inverse; the data
// files of the input and of `back` must be the same bytes.
void ExpectUndone(const TempDir& dir, const std::string& ext, const std::string& what) {
  const std::vector<uint8_t> original = ReadBytes(dir / "in");
  for (const Inverse& k : kInverses) {
    const std::string placed = dir / ("placed" + ext);
    const CommandResult there = RunCli({dir / "in.ers", placed, "/" + std::to_string(k.Kind)});
    ASSERT_EQ(there.ExitCode, 0) << what << ext << " kind " << k.Kind << ": " << there.Output;
    const CommandResult back = RunCli({placed, dir / "back.ers", "/" + std::to_string(k.Undo)});
    ASSERT_EQ(back.ExitCode, 0) << what << ext << " undo " << k.Undo << ": " << back.Output;
    EXPECT_TRUE(ReadBytes(dir / "back") == original)
        << what << " through " << ext << ", kind " << k.Kind << " then " << k.Undo;
  }
}

}  // namespace

// Odd sizes, so that a row or column off by one at an edge shows.
TEST(InversePlacement, EveryCellTypeThroughTheGridFormats) {
  for (TestRaster raster : AllCellTypes()) {
    TempDir dir;
    raster.Columns = 7;
    raster.Rows = 5;
    raster.Bands = 3;
    WriteErs(dir / "in.ers", raster);
    for (const char* ext : {".ers", ".osd", ".tif"}) ExpectUndone(dir, ext, raster.CellType);
  }
}

TEST(InversePlacement, BytePicturesThroughThePictureFormats) {
  for (uint32_t bands : {1u, 3u}) {
    TempDir dir;
    TestRaster raster;
    raster.Columns = 9;
    raster.Rows = 6;
    raster.Bands = bands;
    WriteErs(dir / "in.ers", raster);
    const std::string what = std::to_string(bands) + " band(s)";
    for (const char* ext : {".bmp", ".ecw"}) ExpectUndone(dir, ext, what);
    if (bands == 3) ExpectUndone(dir, ".rsw", what);
  }
}
