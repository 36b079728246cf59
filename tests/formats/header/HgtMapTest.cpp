#include "formats/header/HgtMap.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "HeaderTestUtil.h"
#include "dataset/DataSet.h"
#include "raster/CellType.h"

using namespace mirava;
using namespace mirava::test;

namespace {

constexpr double kCell = 1.0 / 1200;  // 3", in degrees

// A tile of n x n heights, most significant byte first.
void WriteTile(const std::string& path, int n, const std::function<int(int, int)>& height) {
  std::vector<uint8_t> b(2ull * n * n);
  for (int r = 0; r < n; ++r)
    for (int c = 0; c < n; ++c) {
      const uint16_t h = static_cast<uint16_t>(height(c, r));
      b[2ull * (r * n + c)] = h >> 8;
      b[2ull * (r * n + c) + 1] = h & 0xFF;
    }
  WriteBytes(path, b);
}

int Height(int c, int r) { return (c * 7 + r * 13) % 9000 - 400; }

// The heights GDAL reads from a file, as 16-bit integers in file order.
std::vector<int16_t> GdalHeights(const TempDir& dir, const std::string& file) {
  const std::string raw = dir / "gdal.raw";
  CommandResult result = Run("gdal_translate -q -of ENVI " + Quote(file) + " " + Quote(raw));
  EXPECT_EQ(result.ExitCode, 0) << result.Output;
  const std::vector<uint8_t> bytes = ReadBytes(raw);
  std::vector<int16_t> heights(bytes.size() / 2);
  std::memcpy(heights.data(), bytes.data(), heights.size() * 2);
  return heights;
}

// GDAL's origin and pixel size of a file, from gdalinfo's report.
std::array<double, 4> GdalPlacement(const std::string& file) {
  CommandResult result = Run("gdalinfo " + Quote(file));
  EXPECT_EQ(result.ExitCode, 0) << result.Output;
  std::array<double, 4> p{};
  const size_t origin = result.Output.find("Origin = (");
  const size_t size = result.Output.find("Pixel Size = (");
  EXPECT_NE(origin, std::string::npos) << result.Output;
  EXPECT_NE(size, std::string::npos) << result.Output;
  if (origin == std::string::npos || size == std::string::npos) return p;
  std::sscanf(result.Output.c_str() + origin, "Origin = (%lf,%lf)", &p[0], &p[1]);
  std::sscanf(result.Output.c_str() + size, "Pixel Size = (%lf,%lf)", &p[2], &p[3]);
  return p;
}

}  // namespace

TEST(HgtMap, PositionComesFromTheName) {
  struct Case {
    const char* Name;
    double Latitude, Longitude;  // of the north-west height
  } cases[] = {
      {"N45E006", 46, 6}, {"S12W077", -11, -77},  {"s12w077", -11, -77}, {"n45e006", 46, 6},
      {"N00W001", 1, -1}, {"S90W180", -89, -180}, {"N89E179", 90, 179},  {"N45E006.SRTMGL1", 46, 6},
  };
  for (const Case& c : cases) {
    THgtHeader header;
    ASSERT_TRUE(header.ReadHeader(std::string("/some/dir/") + c.Name)) << c.Name;
    EXPECT_EQ(header.CellSizeX, kCell);
    EXPECT_EQ(header.CellSizeY, kCell);
    // Cell (0, 0) is centred on the named corner; its outer corner is half
    // a cell to the west and north.
    EXPECT_DOUBLE_EQ(header.RegistrationX + kCell / 2, c.Longitude) << c.Name;
    EXPECT_DOUBLE_EQ(header.RegistrationY - kCell / 2, c.Latitude) << c.Name;
  }
  for (const char* name : {"tile", "N4", "x_N10W110", "N95E006", "N45E200", "N45X006", "N45E06",
                           "N45E006x", "E45N006"}) {
    THgtHeader header;
    EXPECT_FALSE(header.ReadHeader(name)) << name;
  }
}

TEST(HgtMap, TileSizeFollowsTheFileSize) {
  TempDir dir;
  WriteTile(dir / "N45E006.hgt", 1201, Height);
  THgtMap2 three;
  ASSERT_TRUE(three.OpenRead(dir / "N45E006.hgt")) << three.Error().Text;
  EXPECT_EQ(three.GetRowCount(), 1201);
  float v = 0;
  ASSERT_TRUE(three.ReadCell(1200, 3, 0, v));
  EXPECT_EQ(v, Height(1200, 3));

  WriteTile(dir / "N45E007.hgt", 3601, [](int c, int r) { return c - r; });
  THgtMap2 one;
  ASSERT_TRUE(one.OpenRead(dir / "N45E007.hgt")) << one.Error().Text;
  EXPECT_EQ(one.GetColumnCount(), 3601);
  EXPECT_EQ(one.GetGeoreference().Affine.CellSizeX, 1.0 / 3600);
  EXPECT_DOUBLE_EQ(one.GetGeoreference().Affine.X0, 7 - 1.0 / 7200);
  ASSERT_TRUE(one.ReadCell(3600, 1, 0, v));
  EXPECT_EQ(v, 3599);

  WriteBytes(dir / "N45E008.hgt", std::vector<uint8_t>(2884800));
  THgtMap2 odd;
  EXPECT_FALSE(odd.OpenRead(dir / "N45E008.hgt"));
  EXPECT_NE(odd.Error().Text.find("is not an HGT tile: it holds 2884800 bytes"), std::string::npos)
      << odd.Error().Text;
}

// -40 m is stored as FF D8, JPEG's first bytes: the tile still opens as HGT,
// and so does one whose extension is upper case.
TEST(HgtMap, TileOpensWhateverItsFirstHeightLooksLike) {
  TempDir dir;
  WriteTile(dir / "N31E035.HGT", 1201, [](int c, int r) { return c + r == 0 ? -40 : 1; });
  EXPECT_EQ(FormatFromSignature(dir / "N31E035.HGT"), fcHgt);
  TDataSet2 set;
  ASSERT_TRUE(set.Open(dir / "N31E035.HGT", 0, 0, 1, 1, omRead)) << set.Error().Text;
  float v = 0;
  ASSERT_EQ(set.ReadCell(0, 0, 0, v), TCellRead::Value);
  EXPECT_EQ(v, -40);
}

TEST(HgtMap, WritesMostSignificantByteFirst) {
  TempDir dir;
  {
    THgtMap2 map;
    ASSERT_TRUE(map.Open(dir / "N01E001.hgt", 1201, 1201, ctSigned16, 1, omCreate))
        << map.Error().Text;
    ASSERT_TRUE(map.WriteCell(0, 0, 0, 258));
    ASSERT_TRUE(map.WriteCell(1, 0, 0, -2));
    ASSERT_TRUE(map.Close()) << map.Error().Text;
  }
  const std::vector<uint8_t> b = ReadBytes(dir / "N01E001.hgt");
  ASSERT_EQ(b.size(), 2884802u);
  EXPECT_EQ(std::vector<uint8_t>(b.begin(), b.begin() + 4),
            (std::vector<uint8_t>{0x01, 0x02, 0xFF, 0xFE}));
  EXPECT_FALSE(Exists(dir / "N01E001"));  // no header file
}

// A tile we write opens in GDAL with the heights we put in, at the tile's
// place; each placement through mirava-cli.
TEST(HgtMapEndToEnd, GdalReadsEveryPlacementWeWrite) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL is not installed";
  TempDir dir;
  const int n = 1201;
  const TGeo geo = TileN45E006();
  WriteErs(
      dir / "in.ers", n, n, 1, ctSigned16,
      [](int c, int r, int) { return c + r == 0 ? -40 : Height(c, r) - (c % 3) * 5; }, geo);
  const TRaster in = ReadRaster(dir / "in.ers");
  for (int kind = 0; kind <= 5; ++kind) {
    const std::string k = std::to_string(kind);
    std::filesystem::create_directory(dir / k);
    const std::string tile = dir / (k + "/N45E006.hgt");
    ExpectCli({dir / "in.ers", tile, "/" + k});
    const std::vector<int16_t> heights = GdalHeights(dir, tile);
    ASSERT_EQ(heights.size(), static_cast<size_t>(n) * n);
    int wrong = 0;
    for (int i = 0; i < n && wrong < 5; ++i)
      for (int j = 0; j < n && wrong < 5; ++j) {
        auto [c, r] = SourcePixel(kind, n, n, j, i);
        if (heights[static_cast<size_t>(i) * n + j] != in.At(c, r)) {
          ADD_FAILURE() << "kind " << k << " at " << j << "," << i;
          ++wrong;
        }
      }
    const std::array<double, 4> p = GdalPlacement(tile);
    EXPECT_NEAR(p[0], 6 - 0.5 / 1200, 1e-12);
    EXPECT_NEAR(p[1], 46 + 0.5 / 1200, 1e-12);
    EXPECT_NEAR(p[2], 1.0 / 1200, 1e-12);
    EXPECT_NEAR(p[3], -1.0 / 1200, 1e-12);

    if (kind != 0) continue;
    // And we read it back as GDAL does, at the same place.
    ExpectCli({tile, dir / "back.ers"});
    const TRaster back = ReadRaster(dir / "back.ers");
    ExpectPlaced(in, back, 0, "back");
    EXPECT_EQ(back.CellSizeX, kCell);
    EXPECT_DOUBLE_EQ(back.OriginX, geo.OriginX);
    EXPECT_DOUBLE_EQ(back.OriginY, geo.OriginY);
  }
}
