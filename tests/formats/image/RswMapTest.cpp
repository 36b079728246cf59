#include "formats/image/RswMap.h"

#include <gtest/gtest.h>

#include <cstring>

#include "PictureTestUtil.h"
#include "raster/CellType.h"

using namespace mirava;
using namespace mirava::test;

namespace {

uint32_t U32(const std::vector<uint8_t>& f, size_t at) {
  return f[at] | f[at + 1] << 8 | f[at + 2] << 16 | static_cast<uint32_t>(f[at + 3]) << 24;
}

double F64(const std::vector<uint8_t>& f, size_t at) {
  double v;
  std::memcpy(&v, f.data() + at, 8);
  return v;
}

void SetU32(std::vector<uint8_t>& f, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) f[at + i] = (v >> (8 * i)) & 0xFF;
}

// The picture written through the dataset, as the worker does.
void WriteRsw(const std::string& path, const TRaster& p, double cellSize = 2.0, double east = 1000,
              double north = 5000) {
  TRswMap2 rsw;
  ASSERT_TRUE(rsw.Open(path, p.Columns, p.Rows, 1, 3, omCreate)) << rsw.Error().Text;
  rsw.SetGeoreference(PlacedAt(cellSize, cellSize, east, north, "", "", ""));
  for (int r = 0; r < p.Rows; ++r)
    for (int b = 0; b < 3; ++b)
      for (int c = 0; c < p.Columns; ++c) ASSERT_TRUE(rsw.WriteCell(c, r, b, p.At(c, r, b)));
  ASSERT_TRUE(rsw.Close());
}

}  // namespace

TEST(RswMap, CreatedLayoutByteForByte) {
  TempDir dir;
  TRaster p = Picture(100, 70, 3);
  auto set = [&](int c, int r, int b, float v) {
    p.Cells[(static_cast<size_t>(r) * 3 + b) * 100 + c] = v;
  };
  set(65, 3, 0, 0xA1);
  set(65, 3, 1, 0xB2);
  set(65, 3, 2, 0xC3);
  WriteRsw(dir / "a.rsw", p);
  const std::vector<uint8_t> f = ReadBytes(dir / "a.rsw");
  ASSERT_EQ(f.size(), 22376u);
  EXPECT_EQ(std::string(f.begin(), f.begin() + 4), std::string("RSW\0", 4));
  EXPECT_EQ(U32(f, 4), 512u);
  EXPECT_EQ(U32(f, 8), 22376u);
  EXPECT_EQ(U32(f, 220), 22376u);
  EXPECT_EQ(U32(f, 52), 24u);
  EXPECT_EQ(U32(f, 56), 70u);
  EXPECT_EQ(U32(f, 60), 100u);
  EXPECT_EQ(U32(f, 64), 2u);
  EXPECT_EQ(U32(f, 68), 2u);
  EXPECT_EQ(U32(f, 72), 64u);
  EXPECT_EQ(U32(f, 76), 64u);
  EXPECT_EQ(U32(f, 80), 6u);   // last tile row's height
  EXPECT_EQ(U32(f, 84), 36u);  // last tile column's width
  EXPECT_EQ(U32(f, 96), 320u);
  EXPECT_EQ(U32(f, 100), 1024u);
  EXPECT_EQ(U32(f, 104), 1344u);
  EXPECT_EQ(U32(f, 108), 32u);
  const uint32_t index[8] = {1376, 12288, 13664, 6912, 20576, 1152, 21728, 648};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(U32(f, 1344 + 4 * i), index[i]) << i;
  // Column 65, row 3 lies in tile 1; blue, green, red.
  EXPECT_EQ(f[13993], 0xA1);
  EXPECT_EQ(f[13992], 0xB2);
  EXPECT_EQ(f[13991], 0xC3);
  EXPECT_DOUBLE_EQ(F64(f, 136), 1000.0);
  EXPECT_DOUBLE_EQ(F64(f, 144), 500.0);
  EXPECT_DOUBLE_EQ(F64(f, 152), 2.0);
  EXPECT_DOUBLE_EQ(F64(f, 160), 4860.0);
  EXPECT_DOUBLE_EQ(F64(f, 168), 1000.0);
  EXPECT_EQ(U32(f, 244), 1u);
  for (size_t i : {12u, 48u, 88u, 112u, 176u, 216u, 240u, 248u, 300u, 320u, 1340u})
    EXPECT_EQ(U32(f, i), 0u) << i;

  TRswMap2 back;
  ASSERT_TRUE(back.Open(dir / "a.rsw", 0, 0, 1, 1, omRead)) << back.Error().Text;
  EXPECT_DOUBLE_EQ(back.GetGeoreference().Affine.CellSizeX, 2.0);
  EXPECT_DOUBLE_EQ(back.GetGeoreference().Affine.CellSizeY, 2.0);
  EXPECT_DOUBLE_EQ(back.GetGeoreference().Affine.X0, 1000.0);
  EXPECT_DOUBLE_EQ(back.GetGeoreference().Affine.Y0, 5000.0);
  float v = -1;
  EXPECT_TRUE(back.ReadCell(65, 3, 7, v));
  EXPECT_EQ(v, 0xC3);
  EXPECT_EQ(back.BlockRows(), 0u);
  back.SetGeoreference(PlacedAt(9, 9, 0, 0, "", "", ""));  // read-only: no effect
  EXPECT_EQ(ReadBytes(dir / "a.rsw"), f);

  const TGdalInfo gdal = GdalInfo(dir / "a.rsw");
  EXPECT_EQ(gdal.Columns, 100);
  EXPECT_EQ(gdal.Bands, 3);
  EXPECT_DOUBLE_EQ(gdal.OriginX, 1000);
  EXPECT_DOUBLE_EQ(gdal.OriginY, 5000);
  EXPECT_DOUBLE_EQ(gdal.PixelX, 2);
  EXPECT_EQ(PlacedDifference(p, ReadWithGdal(dir / "a.rsw", dir.str())), 0);

  TRswMap2 small;
  ASSERT_TRUE(small.Open(dir / "s.rsw", 10, 10, 1, 3, omCreate));
  small.Close();
  const std::vector<uint8_t> s = ReadBytes(dir / "s.rsw");
  EXPECT_EQ(U32(s, 64) * U32(s, 68), 1u);
  EXPECT_EQ(U32(s, 1344), 1352u);
  EXPECT_EQ(U32(s, 1348), 300u);
}

// Rasters narrower or lower than a tile: the tile's width and height sit at
// offsets 76 and 72, where GDAL looks for them.
TEST(RswMap, SmallRastersWeWriteReadTheSameInGdal) {
  TempDir dir;
  for (auto [w, h] : {std::pair{10, 100}, {100, 10}, {1, 1}, {130, 65}}) {
    const TRaster p = Picture(w, h, 3);
    WriteRsw(dir / "n.rsw", p, 0.5, -20, 40);
    EXPECT_EQ(PlacedDifference(p, ReadWithGdal(dir / "n.rsw", dir.str())), 0) << w << "x" << h;
    EXPECT_EQ(PlacedDifference(p, ReadRaster(dir / "n.rsw")), 0) << w << "x" << h;
  }
  TRswMap2 four, deep, empty;
  EXPECT_FALSE(four.Open(dir / "x.rsw", 10, 10, 1, 4, omCreate));
  EXPECT_EQ(four.Error().Text, "Error bands<>3");
  EXPECT_EQ(four.Error().Code, TErrorCode::Refused);
  EXPECT_FALSE(deep.Open(dir / "x.rsw", 10, 10, 4, 3, omCreate));
  EXPECT_EQ(deep.Error().Text, "Error not byte cell");
  EXPECT_EQ(deep.Error().Code, TErrorCode::Refused);
  EXPECT_FALSE(empty.Open(dir / "x.rsw", 0, 10, 1, 3, omCreate));
  TRswMap2 huge;
  EXPECT_FALSE(huge.Open(dir / "x.rsw", 40000, 40000, 1, 3, omCreate));
  EXPECT_NE(huge.Error().Text.find("4 GiB"), std::string::npos);
}

TEST(RswMap, ReadsGdalFilesOfAnyShape) {
  TempDir dir;
  EXPECT_EQ(
      PlacedDifference(ReadWithGdal(Sample("logo.rsw"), dir.str()), ReadRaster(Sample("logo.rsw"))),
      0);
  const std::string logo = Quote(Sample("logo.tif"));
  const std::vector<std::string> options = {
      "-outsize 300 70",
      "-outsize 30 50",
      "-outsize 200 150 -co BLOCKXSIZE=64 -co BLOCKYSIZE=32",
      "-outsize 50 90 -co BLOCKXSIZE=16 -co BLOCKYSIZE=48",
      "-outsize 70 40 -co RMFHUGE=YES",
  };
  for (const std::string& o : options) {
    ASSERT_EQ(test::Run("gdal_translate -q -of RMF " + o + " " + logo + " " + Quote(dir / "g.rsw"))
                  .ExitCode,
              0)
        << o;
    EXPECT_EQ(PlacedDifference(ReadWithGdal(dir / "g.rsw", dir.str()), ReadRaster(dir / "g.rsw")),
              0)
        << o;
  }
  // An 8-bit palette file reads as red, green, blue through the palette
  // (index 0 avoided: GDAL takes it for no data).
  ASSERT_EQ(test::Run("gdal_translate -q -of RMF -b 1 -scale 0 255 1 255 -outsize 45 33 " + logo +
                      " " + Quote(dir / "p.rsw"))
                .ExitCode,
            0);
  std::vector<uint8_t> f = ReadBytes(dir / "p.rsw");
  ASSERT_EQ(U32(f, 52), 8u);
  const uint32_t palette = U32(f, 96);
  for (int i = 0; i < 1024; ++i) f[palette + i] = static_cast<uint8_t>(i * 7 + 3);
  WriteBytes(dir / "p.rsw", f);
  EXPECT_EQ(
      PlacedDifference(ReadWithGdal(dir / "p.rsw", dir.str(), true), ReadRaster(dir / "p.rsw")), 0);
  TRswMap2 rsw;
  ASSERT_TRUE(rsw.Open(dir / "p.rsw", 0, 0, 1, 1, omRead));
  EXPECT_EQ(rsw.GetBandCount(), 3);
  const uint8_t index = f[U32(f, U32(f, 104))];
  float v = -1;
  ASSERT_TRUE(rsw.ReadCell(0, 0, 1, v));
  EXPECT_EQ(v, f[palette + 4 * index + 1]);
}

TEST(RswMap, HeadersAreCheckedAgainstTheFile) {
  TempDir dir;
  const TRaster p = Picture(100, 70, 3);
  WriteRsw(dir / "ok.rsw", p);
  const std::vector<uint8_t> good = ReadBytes(dir / "ok.rsw");
  auto variant = [&](const std::string& name, auto change) {
    std::vector<uint8_t> f = good;
    change(f);
    WriteBytes(dir / name, f);
    return OpenError(dir / name);
  };
  EXPECT_NE(variant("bits.rsw", [](auto& f) { SetU32(f, 52, 16); }).find("16 bits per pixel"),
            std::string::npos);
  EXPECT_NE(variant("tile.rsw", [](auto& f) { SetU32(f, 76, 0); }).find("tiles of 0 x 64"),
            std::string::npos);
  EXPECT_NE(variant("count.rsw", [](auto& f) { SetU32(f, 64, 3); }).find("tile counts"),
            std::string::npos);
  EXPECT_NE(variant("index.rsw", [](auto& f) { SetU32(f, 104, 22370); }).find("tile index"),
            std::string::npos);
  EXPECT_NE(variant("offset.rsw", [](auto& f) { SetU32(f, 1344 + 24, 22000); })
                .find("tile 3 runs past the end"),
            std::string::npos);
  EXPECT_NE(variant("packed.rsw", [](auto& f) { SetU32(f, 1344 + 4, 500); })
                .find("compressed tiles are not read"),
            std::string::npos);
  EXPECT_NE(
      variant("size.rsw", [](auto& f) { SetU32(f, 56, 4000000000u); }).find("Open read error 1 "),
      std::string::npos);
  // Counts that agree with each other but would overflow the index size.
  EXPECT_NE(variant("vast.rsw",
                    [](auto& f) {
                      for (size_t at : {56u, 60u, 64u, 68u}) SetU32(f, at, 0xFFFFFFFFu);
                      for (size_t at : {72u, 76u, 80u, 84u}) SetU32(f, at, 1);
                    })
                .find("tile index"),
            std::string::npos);
  WriteBytes(dir / "short.rsw", std::vector<uint8_t>(good.begin(), good.begin() + 100));
  EXPECT_EQ(OpenError(dir / "short.rsw"),
            "Open read error 1 the file is shorter than an RSW header");
  WriteBytes(dir / "cut.rsw", std::vector<uint8_t>(good.begin(), good.end() - 1));
  EXPECT_NE(OpenError(dir / "cut.rsw").find("tile 3 runs past the end"), std::string::npos);
  TRswMap2 missing;
  EXPECT_FALSE(missing.OpenRead(dir / "none.rsw"));
  EXPECT_EQ(missing.Error().Text, "File not Exists");
}

TEST(RswMap, EveryPlacementThroughTheCommandIsExact) {
  TempDir dir;
  const TGeo geo;
  WritePicture(dir / "in.ers", 75, 66, 3, geo);
  const TRaster in = ReadRaster(dir / "in.ers");
  for (int kind = 0; kind <= 5; ++kind) {
    ExpectCli({dir / "in.ers", dir / "out.rsw", "/" + std::to_string(kind)});
    ExpectCli({dir / "out.rsw", dir / "back.ers"});
    EXPECT_EQ(PlacedDifference(in, ReadRaster(dir / "back.ers"), kind), 0) << "kind " << kind;
    EXPECT_EQ(PlacedDifference(in, ReadWithGdal(dir / "out.rsw", dir.str()), kind), 0)
        << "kind " << kind;
    const TGdalInfo gdal = GdalInfo(dir / "out.rsw");
    EXPECT_NEAR(gdal.OriginX, geo.OriginX, 1e-6);
    EXPECT_NEAR(gdal.OriginY, geo.OriginY, 1e-6);
    EXPECT_DOUBLE_EQ(gdal.PixelX, geo.CellSizeX);
    const TRaster rsw = ReadRaster(dir / "out.rsw");
    EXPECT_NEAR(rsw.OriginY, geo.OriginY, 1e-6);
    EXPECT_EQ(rsw.CellSizeY, geo.CellSizeX);
  }
  // Other formats to RSW and back.
  ExpectCli({Sample("logo.jpg"), dir / "logo.rsw", "/3"});
  ExpectCli({dir / "logo.rsw", dir / "turned.ecw", "/2"});
  ExpectCli({dir / "turned.ecw", dir / "logo2.rsw"});
  EXPECT_EQ(PlacedDifference(ReadRaster(Sample("logo.jpg")), ReadRaster(dir / "logo2.rsw")), 0);
  // What RSW cannot hold: other than bytes, other than 1 or 3 bands, cells
  // whose sizes differ by half a cell or more across the raster.
  ExpectRefused({Sample("elev.ers"), dir / "elev.rsw"}, "Error not byte cell", {dir / "elev.rsw"});
  WritePicture(dir / "two.ers", 20, 10, 2);
  ExpectRefused({dir / "two.ers", dir / "two.rsw"}, "Error bands<>3", {dir / "two.rsw"});
  TGeo oblong;
  oblong.CellSizeX = 300.037926675095;
  oblong.CellSizeY = 300.041782729805;
  WritePicture(dir / "oblong.ers", 40000, 2, 3, oblong);
  ExpectRefused({dir / "oblong.ers", dir / "oblong.rsw"},
                "RSW files hold square cells; the input's are 300.037926675095 by "
                "300.041782729805, which differ by 0.514",
                {dir / "oblong.rsw"});
}

// One grey band goes into all three colour bands, and the job says so;
// cells that differ by a hundredth of a cell across the raster count as
// square.
TEST(RswMap, AGreyBandIsWrittenAsThreeEqualColourBands) {
  TempDir dir;
  TGeo geo;
  geo.CellSizeX = 300.037926675095;
  geo.CellSizeY = 300.041782729805;
  WritePicture(dir / "grey.ers", 75, 66, 1, geo);
  const CommandResult job = RunCli({dir / "grey.ers", dir / "grey.rsw", "/3"});
  EXPECT_EQ(job.ExitCode, 0) << job.Output;
  EXPECT_NE(job.Output.find("Grey band written as three equal colour bands: RSW files hold 24-bit "
                            "colour"),
            std::string::npos)
      << job.Output;
  const TRaster grey = ReadRaster(dir / "grey.ers");
  const TRaster rsw = ReadRaster(dir / "grey.rsw");
  ASSERT_EQ(rsw.Bands, 3);
  for (int b = 0; b < 3; ++b)
    for (int r = 0; r < rsw.Rows; ++r)
      for (int c = 0; c < rsw.Columns; ++c)
        ASSERT_EQ(rsw.At(c, r, b), grey.At(r, grey.Rows - 1 - c)) << c << "," << r << "," << b;
  EXPECT_EQ(rsw.CellSizeX, geo.CellSizeX);
  EXPECT_EQ(PlacedDifference(rsw, ReadWithGdal(dir / "grey.rsw", dir.str())), 0);
}

TEST(RswMap, ControlPointsTravelInAGcpFileBeside) {
  TempDir dir;
  WriteErs(dir / "in.ers", 40, 30, 3, ctUnsigned8, PictureValue, TGeo(),
           {{"P1", 10.5, 4.5, 500026.25, 5599988.75}});
  ExpectCli({dir / "in.ers", dir / "out.rsw", "/1"});
  ASSERT_TRUE(Exists(dir / "out.gcp"));
  const TRaster rsw = ReadRaster(dir / "out.rsw");
  ASSERT_EQ(rsw.Points.size(), 1u);
  EXPECT_DOUBLE_EQ(rsw.Points[0].CellX, 40 - 10.5);
  ExpectCli({dir / "out.rsw", dir / "back.ers", "/1"});
  const TRaster back = ReadRaster(dir / "back.ers");
  ASSERT_EQ(back.Points.size(), 1u);
  EXPECT_EQ(back.Points[0].Name, "P1");
  EXPECT_DOUBLE_EQ(back.Points[0].CellX, 10.5);

  // Names upper-cased by another system keep their pair.
  ASSERT_EQ(std::rename((dir / "out.rsw").c_str(), (dir / "LOGO.RSW").c_str()), 0);
  ASSERT_EQ(std::rename((dir / "out.gcp").c_str(), (dir / "LOGO.GCP").c_str()), 0);
  ASSERT_EQ(ReadRaster(dir / "LOGO.RSW").Points.size(), 1u);
}
