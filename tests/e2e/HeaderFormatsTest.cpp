// Conversions between every pair of the header formats through mirava-cli.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "../formats/header/HeaderTestUtil.h"

using namespace mirava;
using namespace mirava::test;

namespace {

bool HoldsFloats(const std::string& ext) { return ext == ".dtm" || ext == ".veg"; }
bool HoldsSigned16Only(const std::string& ext) { return ext == ".001" || ext == ".hgt"; }

void ExpectGeoreferenceNear(const TRaster& a, const TRaster& b, const std::string& what) {
  // DTM keeps what 32-bit floats hold; every other step keeps all digits.
  auto near = [](double x, double y) { return std::fabs(x - y) <= 1e-7 * std::fabs(y); };
  EXPECT_TRUE(near(a.CellSizeX, b.CellSizeX)) << what << " " << a.CellSizeX << " " << b.CellSizeX;
  EXPECT_TRUE(near(a.CellSizeY, b.CellSizeY)) << what;
  EXPECT_TRUE(near(a.OriginX, b.OriginX)) << what << " " << a.OriginX << " " << b.OriginX;
  EXPECT_TRUE(near(a.OriginY, b.OriginY)) << what << " " << a.OriginY << " " << b.OriginY;
}

// ER Mapper -> A -> B (with `kind`) -> ER Mapper, each step checked against
// the one before; pairs that cannot hold the data are refused cleanly. With
// a `hub`, only the pairs that have it on one side.
void ConvertPairs(const TempDir& dir, const std::string& source,
                  const std::vector<std::string>& formats, const std::string& stem,
                  const std::string& hub = "") {
  const TRaster in = ReadRaster(source);
  int step = 0;
  for (const std::string& a : formats) {
    const std::string first = dir / ("first" + a + "/" + stem + a);
    std::filesystem::create_directory(dir / ("first" + a));
    ExpectCli({source, first});
    const TRaster mid = ReadRaster(first);
    ExpectPlaced(in, mid, 0, "into " + a);
    ExpectGeoreferenceNear(mid, in, "into " + a);
    for (const std::string& b : formats) {
      if (a == b || (!hub.empty() && a != hub && b != hub)) continue;
      const int kind = step++ % 6;
      const std::string what = a + " -> " + b + " kind " + std::to_string(kind);
      const std::string folder = dir / (a.substr(1) + "-" + b.substr(1));
      const std::string second = folder + "/" + stem + b;
      std::filesystem::create_directory(folder);
      CommandResult result = RunCli({first, second, "/" + std::to_string(kind)});
      if (HoldsFloats(a) && HoldsSigned16Only(b)) {
        EXPECT_EQ(result.ExitCode, 1) << what;
        EXPECT_NE(result.Output.find("files hold signed 16-bit cells"), std::string::npos)
            << what << ": " << result.Output;
        EXPECT_TRUE(std::filesystem::is_empty(folder)) << what;
        continue;
      }
      ASSERT_EQ(result.ExitCode, 0) << what << ": " << result.Output;
      const std::string last = folder + "/last.ers";
      ExpectCli({second, last});
      const TRaster out = ReadRaster(last);
      ExpectPlaced(mid, out, kind, what);
      if (b != ".hgt") ExpectGeoreferenceNear(out, mid, what);
    }
  }
}

}  // namespace

// ER Mapper, OSD, DTM, NOG and VEG, each into each, on a non-square raster
// whose values every one of them holds.
TEST(HeaderFormats, EveryPairConverts) {
  TempDir dir;
  const int W = 37, H = 23;
  WriteErs(dir / "in.ers", W, H, 1, ctSigned16,
           [](int c, int r, int) { return c * 311 - r * 977 + 5; });
  ConvertPairs(dir, dir / "in.ers", {".ers", ".osd", ".dtm", ".001", ".veg"}, "p");
}

// HGT into and from every other format, on a tile.
TEST(HeaderFormats, EveryPairWithHgtConverts) {
  TempDir dir;
  const int n = 1201;
  TGeo geo;
  geo.CellSizeX = geo.CellSizeY = 1.4544410433280261e-05;
  geo.OriginX = 0.10471975511965978 - geo.CellSizeX / 2;
  geo.OriginY = 0.8028514559173916 + geo.CellSizeY / 2;
  WriteErs(dir / "N45E006.ers", n, n, 1, ctSigned16,
           [](int c, int r, int) { return (c * 5 + r * 3) % 4000 - 100; }, geo);
  ConvertPairs(dir, dir / "N45E006.ers", {".hgt", ".ers", ".osd", ".dtm", ".001", ".veg"},
               "N45E006", ".hgt");
}

// An HGT tile names only its cell file: converting N45E006.ers into
// N45E006.hgt touches nothing of the input, whose cells live in N45E006.
TEST(HeaderFormats, OutputBesideTheInputIsRefusedOnlyWhenItWouldOverwriteIt) {
  TempDir dir;
  WriteErs(dir / "N45E006.ers", 1201, 1201, 1, ctSigned16, [](int c, int, int) { return c; });
  const std::vector<uint8_t> cells = ReadBytes(dir / "N45E006");
  ExpectCli({dir / "N45E006.ers", dir / "N45E006.hgt"});
  EXPECT_EQ(ReadBytes(dir / "N45E006"), cells);
  CommandResult osd = RunCli({dir / "N45E006.ers", dir / "N45E006.osd"});
  EXPECT_EQ(osd.ExitCode, 1);
  EXPECT_NE(osd.Output.find("which belongs to the input"), std::string::npos) << osd.Output;
}
