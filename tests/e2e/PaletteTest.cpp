// Palette TIFFs through mirava-cli, read back by GDAL: TIFF and BMP outputs
// keep the indices and the colour table, picture formats without a table
// get the colours, grids the indices alone.
#include <gtest/gtest.h>

#include <string>

#include "../formats/image/ImageTestUtil.h"

using namespace mirava;
using namespace mirava::test;

namespace {

constexpr int kColumns = 9;
constexpr int kRows = 6;

// The colour of entry i, 8 bits a channel as GDAL shows them.
int Channel(int i, int c) { return c == 0 ? i % 256 : c == 1 ? 255 - i % 256 : (i * 7 + 3) % 256; }

// A georeferenced, LZW-compressed palette TIFF made by GDAL from a VRT:
// `bits` 8 or 16, cells spread over `entries` colours.
std::string MakePaletteTiff(const TempDir& dir, int bits, int entries) {
  const int width = bits / 8;
  std::vector<uint8_t> cells;
  for (int r = 0; r < kRows; ++r)
    for (int c = 0; c < kColumns; ++c) {
      const int v = (c * 37 + r * 101) % entries;
      cells.push_back(static_cast<uint8_t>(v));
      if (width == 2) cells.push_back(static_cast<uint8_t>(v >> 8));
    }
  WriteBytes(dir / "cells.bin", cells);
  std::string table;
  for (int i = 0; i < entries; ++i)
    table += "<Entry c1=\"" + std::to_string(Channel(i, 0)) + "\" c2=\"" +
             std::to_string(Channel(i, 1)) + "\" c3=\"" + std::to_string(Channel(i, 2)) +
             "\" c4=\"255\"/>";
  const std::string type = bits == 8 ? "Byte" : "UInt16";
  WriteText(dir / "palette.vrt",
            "<VRTDataset rasterXSize=\"" + std::to_string(kColumns) + "\" rasterYSize=\"" +
                std::to_string(kRows) +
                "\"><SRS>EPSG:32633</SRS><GeoTransform>500000, 30, 0, 4000000, 0, "
                "-30</GeoTransform><VRTRasterBand dataType=\"" +
                type +
                "\" band=\"1\" subClass=\"VRTRawRasterBand\"><ColorInterp>Palette</"
                "ColorInterp><ColorTable>" +
                table +
                "</ColorTable><SourceFilename relativeToVRT=\"1\">cells.bin</"
                "SourceFilename><ImageOffset>0</ImageOffset><PixelOffset>" +
                std::to_string(width) + "</PixelOffset><LineOffset>" +
                std::to_string(width * kColumns) +
                "</LineOffset><ByteOrder>LSB</ByteOrder></VRTRasterBand></VRTDataset>");
  const std::string tif = dir / ("palette" + std::to_string(bits) + ".tif");
  const CommandResult r =
      Run("gdal_translate -q -co COMPRESS=LZW " + Quote(dir / "palette.vrt") + " " + Quote(tif));
  EXPECT_EQ(r.ExitCode, 0) << r.Output;
  return tif;
}

int TableEntries(const std::string& file) {
  const CommandResult r = Run("gdalinfo " + Quote(file));
  const size_t at = r.Output.find("Color Table (RGB with ");
  return at == std::string::npos ? 0 : std::stoi(r.Output.substr(at + 22));
}

CommandResult Place(const std::string& in, const std::string& out, int kind) {
  return RunCli({in, out, "/" + std::to_string(kind)});
}

}  // namespace

TEST(Palette, TiffAndBmpKeepTheTablePicturesGetColoursGridsTheIndices) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL is not installed";
  TempDir dir;
  const std::string in = MakePaletteTiff(dir, 8, 256);
  GdalRaster indices, colours;
  ASSERT_TRUE(ReadWithGdal(in, indices));
  ASSERT_TRUE(ReadWithGdal(in, colours, "-expand rgb"));
  for (int kind : {1, 3}) {
    const std::string k = std::to_string(kind);
    for (const char* ext : {".tif", ".bmp"}) {
      const std::string out = dir / ("table" + k + ext);
      const CommandResult r = Place(in, out, kind);
      ASSERT_EQ(r.ExitCode, 0) << r.Output;
      EXPECT_EQ(TableEntries(out), 256) << out;
      GdalRaster outIndices, outColours;
      ASSERT_TRUE(ReadWithGdal(out, outIndices));
      ASSERT_TRUE(ReadWithGdal(out, outColours, "-expand rgb"));
      ExpectPlaced(indices, outIndices, kind);
      ExpectPlaced(colours, outColours, kind);
    }
    const std::string rsw = dir / ("colours" + k + ".rsw");
    const CommandResult r = Place(in, rsw, kind);
    ASSERT_EQ(r.ExitCode, 0) << r.Output;
    GdalRaster outColours;
    ASSERT_TRUE(ReadWithGdal(rsw, outColours));
    ExpectPlaced(colours, outColours, kind);

    const std::string ers = dir / ("indices" + k + ".ers");
    const CommandResult g = Place(in, ers, kind);
    ASSERT_EQ(g.ExitCode, 0) << g.Output;
    EXPECT_NE(g.Output.find("Colour table not kept: ER Mapper files hold the cell values "
                            "without their colours"),
              std::string::npos)
        << g.Output;
    GdalRaster outIndices;
    ASSERT_TRUE(ReadWithGdal(ers, outIndices));
    ExpectPlaced(indices, outIndices, kind);
  }
  const std::string jpg = dir / "colours.jpg";
  ASSERT_EQ(Place(in, jpg, 0).ExitCode, 0);
  EXPECT_NE(test::Run("gdalinfo " + Quote(jpg)).Output.find("Band 3"), std::string::npos);
}

// A 16-bit palette: TIFF keeps every one of its 65536 entries; a picture
// format that holds only bytes takes its colours instead of refusing it.
TEST(Palette, SixteenBitIndices) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL is not installed";
  TempDir dir;
  const std::string in = MakePaletteTiff(dir, 16, 300);
  GdalRaster indices, colours;
  ASSERT_TRUE(ReadWithGdal(in, indices));
  ASSERT_TRUE(ReadWithGdal(in, colours, "-expand rgb"));
  const std::string tif = dir / "out.tif";
  const CommandResult r = Place(in, tif, 2);
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  EXPECT_EQ(TableEntries(tif), 65536);
  GdalRaster outIndices, outColours;
  ASSERT_TRUE(ReadWithGdal(tif, outIndices));
  ASSERT_TRUE(ReadWithGdal(tif, outColours, "-expand rgb"));
  ExpectPlaced(indices, outIndices, 2);
  ExpectPlaced(colours, outColours, 2);

  const std::string rsw = dir / "out.rsw";
  const CommandResult p = Place(in, rsw, 4);
  ASSERT_EQ(p.ExitCode, 0) << p.Output;
  GdalRaster rswColours;
  ASSERT_TRUE(ReadWithGdal(rsw, rswColours));
  ExpectPlaced(colours, rswColours, 4);
  // BMP holds no 16-bit palette: refused before anything is written.
  const CommandResult b = Place(in, dir / "out.bmp", 0);
  EXPECT_NE(b.ExitCode, 0);
  EXPECT_FALSE(Exists(dir / "out.bmp"));
}
