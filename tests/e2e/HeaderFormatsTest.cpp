// The header formats through mirava-cli: each with the six placements, and
// every pair of them.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "../formats/header/HeaderTestUtil.h"
#include "raster/CellType.h"

using namespace mirava;
using namespace mirava::test;

namespace {

// DTM keeps what 32-bit floats hold; the other formats every digit.
void ExpectGeoreference(const TRaster& out, const TRaster& in, bool exact,
                        const std::string& what) {
  auto same = [&](double x, double y) {
    return exact ? x == y : std::fabs(x - y) <= 1e-7 * std::fabs(y);
  };
  EXPECT_TRUE(same(out.CellSizeX, in.CellSizeX)) << what << ": " << Exact(out.CellSizeX);
  EXPECT_TRUE(same(out.CellSizeY, in.CellSizeY)) << what << ": " << Exact(out.CellSizeY);
  EXPECT_TRUE(same(out.OriginX, in.OriginX)) << what << ": " << Exact(out.OriginX);
  EXPECT_TRUE(same(out.OriginY, in.OriginY)) << what << ": " << Exact(out.OriginY);
}

bool HoldsFloats(const std::string& ext) { return ext == ".dtm" || ext == ".veg"; }
bool HoldsSigned16Only(const std::string& ext) { return ext == ".001" || ext == ".hgt"; }

// source -> A, then A -> B with a placement -> ER Mapper, each step checked
// against the one before; pairs that cannot hold the data are refused. With
// a `hub`, only the pairs that have it on one side.
void ConvertPairs(const TempDir& dir, const std::string& source,
                  const std::vector<std::string>& formats, const std::string& stem,
                  const std::string& hub = "") {
  const TRaster in = ReadRaster(source);
  int step = 0;
  for (const std::string& a : formats) {
    std::filesystem::create_directory(dir / ("first" + a));
    const std::string first = dir / ("first" + a + "/" + stem + a);
    ExpectCli({source, first});
    const TRaster mid = ReadRaster(first);
    ExpectPlaced(in, mid, 0, "into " + a);
    ExpectGeoreference(mid, in, false, "into " + a);
    for (const std::string& b : formats) {
      if (a == b || (!hub.empty() && a != hub && b != hub)) continue;
      const int kind = step++ % 6;
      const std::string what = a + " -> " + b + " kind " + std::to_string(kind);
      const std::string folder = dir / (a.substr(1) + "-" + b.substr(1));
      std::filesystem::create_directory(folder);
      const std::vector<std::string> job = {first, folder + "/" + stem + b,
                                            "/" + std::to_string(kind)};
      if (HoldsFloats(a) && HoldsSigned16Only(b)) {
        ExpectRefused(job, "files hold signed 16-bit cells", {});
        EXPECT_TRUE(std::filesystem::is_empty(folder)) << what;
        continue;
      }
      ExpectCli(job);
      ExpectCli({job[1], folder + "/last.ers"});
      const TRaster out = ReadRaster(folder + "/last.ers");
      ExpectPlaced(mid, out, kind, what);
      if (b != ".hgt") ExpectGeoreference(out, mid, false, what);
    }
  }
}

}  // namespace

// ER Mapper -> X with each placement -> ER Mapper, on a non-square raster:
// cells exactly, the georeference to the last digit (DTM: as floats), OSD's
// control points moved with their pixels.
TEST(HeaderFormats, EveryPlacementRoundTrips) {
  struct Case {
    const char* Ext;
    int Bands;
    uint8_t Type;
    int W, H;  // VEG over several tiles, with a part holding no data
  } cases[] = {{".osd", 2, ctUnsigned16, 37, 23},
               {".dtm", 1, ctFloat32, 29, 17},
               {".001", 1, ctSigned16, 31, 19},
               {".veg", 1, ctFloat32, 300, 260}};
  const std::vector<TTestPoint> points = {{"P1", 0.5, 0.5, 523457.8, 6123455.7},
                                          {"P2", 20.25, 10.75, 523520.1, 6123412.3}};
  for (const Case& f : cases) {
    TempDir dir;
    const std::string ext = f.Ext;
    auto value = [&](int c, int r, int b) -> double {
      if (ext == ".veg") return c >= 250 ? -9999 : c * 0.5 - r * 0.25;
      if (ext == ".dtm") return c * 10.125 - r * 3.5 - 40;
      if (ext == ".001") return c * 997 - r * 1503 + 1;
      return c * 1000 + r * 7 + b * 30000;
    };
    WriteErs(dir / "in.ers", f.W, f.H, f.Bands, f.Type, value, TGeo(),
             ext == ".osd" ? points : std::vector<TTestPoint>());
    const TRaster in = ReadRaster(dir / "in.ers");
    for (int kind = 0; kind <= 5; ++kind) {
      const std::string k = std::to_string(kind), what = ext + " kind " + k;
      ExpectCli({dir / "in.ers", dir / ("o" + k + ext), "/" + k});
      ExpectCli({dir / ("o" + k + ext), dir / ("b" + k + ".ers")});
      const TRaster out = ReadRaster(dir / ("b" + k + ".ers"));
      ExpectPlaced(in, out, kind, what);
      ExpectGeoreference(out, in, ext != ".dtm", what);
      if (ext == ".veg") {  // grown to whole tiles, the new cells no-data
        EXPECT_EQ(out.Columns, 500);
        EXPECT_EQ(out.At(499, 499), -9999);
      }
      if (ext != ".osd") continue;
      ASSERT_EQ(out.Points.size(), points.size()) << what;
      for (size_t i = 0; i < points.size(); ++i) {
        auto [c, r] = MovedPoint(kind, f.W, f.H, points[i].CellX, points[i].CellY);
        EXPECT_EQ(out.Points[i].Name, points[i].Name);
        EXPECT_EQ(out.Points[i].CellX, c) << what;
        EXPECT_EQ(out.Points[i].CellY, r) << what;
        EXPECT_EQ(out.Points[i].X, points[i].X);
      }
    }
    if (ext == ".veg") {  // the eastern tiles hold no data and are not stored
      EXPECT_EQ(ReadBytes(dir / "o0.veg").size(), 4 + 8 * 4 + 2 * 375000u);
    }
  }
}

TEST(HeaderFormats, EveryPairConverts) {
  TempDir dir;
  WriteErs(dir / "in.ers", 37, 23, 1, ctSigned16,
           [](int c, int r, int) { return c * 311 - r * 977 + 5; });
  ConvertPairs(dir, dir / "in.ers", {".ers", ".osd", ".dtm", ".001", ".veg"}, "p");
}

TEST(HeaderFormats, EveryPairWithHgtConverts) {
  TempDir dir;
  WriteErs(
      dir / "N45E006.ers", 1201, 1201, 1, ctSigned16,
      [](int c, int r, int) { return (c * 5 + r * 3) % 4000 - 100; }, TileN45E006());
  ConvertPairs(dir, dir / "N45E006.ers", {".hgt", ".ers", ".osd", ".dtm", ".001", ".veg"},
               "N45E006", ".hgt");
}

// What a format cannot hold is refused before any file of it exists.
TEST(HeaderFormats, RefusalsLeaveNoFiles) {
  TempDir dir;
  TGeo wide;
  wide.CellSizeY = 2.5;
  WriteErs(dir / "two.ers", 5, 4, 2, ctSigned16, [](int, int, int) { return 1; });
  WriteErs(dir / "u16.ers", 5, 4, 1, ctUnsigned16, [](int, int, int) { return 1; });
  WriteErs(
      dir / "wide.ers", 5, 4, 1, ctSigned16, [](int, int, int) { return 1; }, wide);
  const std::string in = dir / "two.ers";
  ExpectRefused({in, dir / "o.dtm"}, "DTM files hold one band; the input has 2", {dir / "o.dtm"});
  ExpectRefused({in, dir / "o.veg"}, "VEG files hold one band; the input has 2",
                {dir / "o.veg", dir / "o.dat"});
  ExpectRefused({in, dir / "o.001"}, "NOG files hold one band; the input has 2",
                {dir / "o.001", dir / "o.002"});
  ExpectRefused({dir / "u16.ers", dir / "o.001"},
                "NOG files hold signed 16-bit cells; unsigned 16-bit integer cells cannot be "
                "written exactly",
                {dir / "o.001", dir / "o.002"});
  ExpectRefused({dir / "wide.ers", dir / "o.001"},
                "NOG files hold square cells; the input's are 2.12345678901234 by 2.5",
                {dir / "o.001", dir / "o.002"});
  ExpectRefused({dir / "wide.ers", dir / "o.veg"}, "VEG files hold square cells",
                {dir / "o.veg", dir / "o.dat"});
  ExpectRefused({dir / "u16.ers", dir / "N45E006.hgt"}, "HGT files hold signed 16-bit cells",
                {dir / "N45E006.hgt"});
  ExpectRefused({dir / "wide.ers", dir / "N45E006.hgt"},
                "HGT tiles are 1201 x 1201 or 3601 x 3601 heights; the output would be 5 x 4",
                {dir / "N45E006.hgt"});

  // Cells that are not square are refused before the output is created, so
  // an earlier output of the same name stays as it was.
  WriteErs(dir / "square.ers", 5, 4, 1, ctSigned16, [](int c, int, int) { return c; });
  for (const std::string& out : {dir / "kept.veg", dir / "kept.001"}) {
    ASSERT_EQ(RunCli({dir / "square.ers", out}).ExitCode, 0) << out;
    const std::vector<uint8_t> before = ReadBytes(out);
    const CommandResult refused = RunCli({dir / "wide.ers", out});
    EXPECT_EQ(refused.ExitCode, 1) << refused.Output;
    EXPECT_NE(refused.Output.find("hold square cells"), std::string::npos) << refused.Output;
    EXPECT_EQ(ReadBytes(out), before) << out;
  }
}

// DTM and VEG store 32-bit floats: signed 32-bit cells within 2^24 stay
// exact and pass quietly; wider ones are rounded, and the job says how many.
TEST(HeaderFormats, WideIntegersIntoFloatFormatsAreCounted) {
  TempDir dir;
  WriteErs(dir / "small.ers", 4, 3, 1, ctSigned32,
           [](int c, int r, int) { return (r * 4 + c) * 1000003 % 16777216 - 8000000; });
  WriteErs(dir / "wide.ers", 4, 3, 1, ctSigned32,
           [](int c, int r, int) { return c == 1 && r < 2 ? 16777217 + r * 2 : c - r; });
  for (const std::string ext : {".dtm", ".veg"}) {
    const CommandResult quiet = RunCli({dir / "small.ers", dir / ("small" + ext)});
    EXPECT_EQ(quiet.ExitCode, 0) << quiet.Output;
    EXPECT_EQ(quiet.Output.find("rounded"), std::string::npos) << quiet.Output;
    ExpectPlaced(ReadRaster(dir / "small.ers"), ReadRaster(dir / ("small" + ext)), 0, ext);

    const CommandResult loud = RunCli({dir / "wide.ers", dir / ("wide" + ext), "/5"});
    EXPECT_EQ(loud.ExitCode, 0) << loud.Output;
    const std::string format = ext == ".dtm" ? "DTM" : "VEG";
    EXPECT_NE(loud.Output.find("2 cells rounded: " + format +
                               " files hold 32-bit floats, which cannot hold every signed 32-bit "
                               "integer exactly"),
              std::string::npos)
        << loud.Output;
  }
}

// An HGT tile names only its cell file: N45E006.ers into N45E006.hgt leaves
// the input's cells (in N45E006) alone, while N45E006.osd would overwrite them.
TEST(HeaderFormats, OutputBesideTheInputIsRefusedOnlyWhenItWouldOverwriteIt) {
  TempDir dir;
  WriteErs(
      dir / "N45E006.ers", 1201, 1201, 1, ctSigned16, [](int c, int, int) { return c; },
      TileN45E006());
  const std::vector<uint8_t> cells = ReadBytes(dir / "N45E006");
  ExpectCli({dir / "N45E006.ers", dir / "N45E006.hgt"});
  EXPECT_EQ(ReadBytes(dir / "N45E006"), cells);
  ExpectRefused({dir / "N45E006.ers", dir / "N45E006.osd"}, "which belongs to the input", {});
}
