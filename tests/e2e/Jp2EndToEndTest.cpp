// JPEG 2000 inputs GDAL makes, placed by every kind into TIFF, ER Mapper and
// JPEG 2000 by mirava-cli, compared with GDAL's reading cell by cell, in
// their georeference and no-data; within a small memory too.
#include <gtest/gtest.h>

#include "../formats/image/ImageTestUtil.h"

using namespace mirava::test;

namespace {

struct TJp2Input {
  const char* Name;
  const char* Make;  // gdal_translate's switches from a GeoTIFF GDAL makes
  int Columns, Rows;
  const char* Memory;  // --memory, or empty
};

// What a failure names the case by.
void PrintTo(const TJp2Input& c, std::ostream* os) { *os << c.Name; }

// GDAL's no-data value of the first band, "none" without one. The dataset is
// held while its band is read: GDAL 3.6's bindings free it under the band.
std::string GdalNoData(const std::string& file) {
  return mirava::test::Run("/usr/bin/python3 -c 'import sys\nfrom osgeo import gdal\n"
                           "d = gdal.Open(sys.argv[1])\nprint(d.GetRasterBand(1).GetNoDataValue())' " +
                           Quote(file))
      .Output;
}

// `in`: a GeoTIFF of 16-bit cells in UTM made by GDAL (`tif`), then
// translated by GDAL into JPEG 2000 with `make`.
void MakeJp2Input(const std::string& tif, const std::string& in, int columns, int rows,
                  const std::string& make) {
  ASSERT_EQ(mirava::test::Run("/usr/bin/python3 -c " +
                Quote("import sys\nimport numpy as np\nfrom osgeo import gdal\n"
                      "w, h = " + std::to_string(columns) + ", " + std::to_string(rows) +
                      "\nd = gdal.GetDriverByName('GTiff').Create(sys.argv[1], w, h, 1, "
                      "gdal.GDT_UInt16)\ny, x = np.mgrid[0:h, 0:w]\n"
                      "d.GetRasterBand(1).WriteArray((x * 31 + y * 17 + x * y) % 4096)\n"
                      "d.SetGeoTransform([600000, 20, 0, 5300040, 0, -20])\n"
                      "d.SetProjection('EPSG:32632')\n") +
                " " + Quote(tif))
                .ExitCode,
            0);
  const CommandResult made = mirava::test::Run("gdal_translate -q -of JP2OpenJPEG " + make + " " +
                                               Quote(tif) + " " + Quote(in));
  ASSERT_EQ(made.ExitCode, 0) << made.Output;
}

class Jp2Placed : public ::testing::TestWithParam<TJp2Input> {};

TEST_P(Jp2Placed, EveryKindIntoTiffErMapperAndJp2) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  const TJp2Input& c = GetParam();
  TempDir dir;
  const std::string tif = dir / "src.tif", in = dir / "in.jp2";
  MakeJp2Input(tif, in, c.Columns, c.Rows, c.Make);
  GdalRaster cells;
  ASSERT_TRUE(ReadWithGdal(in, cells));
  const std::vector<double> gt = GdalGeoTransform(in);
  for (int kind = 0; kind <= 5; ++kind)
    for (const char* ext : {".tif", ".ers", ".jp2"}) {
      const std::string out = dir / ("k" + std::to_string(kind) + ext);
      std::vector<std::string> args = {in, out, "/" + std::to_string(kind)};
      if (*c.Memory) args.push_back(std::string("--memory=") + c.Memory);
      const CommandResult r = RunCli(args);
      ASSERT_EQ(r.ExitCode, 0) << r.Output;
      // Kind 0 into JPEG 2000 takes the input's codestream as it is.
      if (kind == 0 && std::string(ext) == ".jp2") {
        EXPECT_NE(r.Output.find("Placed without loss"), std::string::npos) << r.Output;
      }
      GdalRaster back;
      ASSERT_TRUE(ReadWithGdal(out, back));
      ExpectPlaced(cells, back, kind);
      ExpectSameTransform(GdalGeoTransform(out), gt, KindName(kind) + ext);
      // ER Mapper states UTM by its own names, which Debian's GDAL does not know.
      if (std::string(ext) != ".ers") {
        EXPECT_EQ(GdalCrs(out), "EPSG:32632") << KindName(kind);
        EXPECT_EQ(r.Output.find("coordinate system not written"), std::string::npos) << r.Output;
      }
      EXPECT_EQ(GdalNoData(out), GdalNoData(in)) << KindName(kind) << ext;
    }
  // Re-encoded or not, the JPEG 2000 outputs keep the input's precision
  // (GDAL's NBITS).
  std::string files = Quote(in), expected;
  for (int kind = 0; kind <= 5; ++kind) files += " " + Quote(dir / ("k" + std::to_string(kind) + ".jp2"));
  const std::string bits =
      mirava::test::Run("/usr/bin/python3 -c 'import sys\nfrom osgeo import gdal\n"
                        "for f in sys.argv[1:]:\n  d = gdal.Open(f)\n"
                        "  print(d.GetRasterBand(1).GetMetadataItem(\"NBITS\", "
                        "\"IMAGE_STRUCTURE\"))' " + files)
          .Output;
  const std::string first = bits.substr(0, bits.find('\n') + 1);
  for (int k = 0; k <= 6; ++k) expected += first;
  EXPECT_EQ(bits, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, Jp2Placed,
    ::testing::Values(
        TJp2Input{"GeoJp2_Tiles_NoData",
                  "-a_nodata 7 -co REVERSIBLE=YES -co QUALITY=100 -co GMLJP2=NO "
                  "-co BLOCKXSIZE=96 -co BLOCKYSIZE=64",
                  300, 200, ""},
        TJp2Input{"Gmljp2_OneTile", "-co REVERSIBLE=YES -co QUALITY=100 -co GeoJP2=NO", 300, 200,
                  ""},
        // Sentinel-2's layout: 12-bit values in 16-bit cells, tiles of 1024.
        TJp2Input{"Sentinel2Band", "-co REVERSIBLE=YES -co QUALITY=100 -co NBITS=12", 1500,
                  1300, ""},
        // Bands of 64 rows, swept by the quarter turns.
        TJp2Input{"ShortMemory", "-co REVERSIBLE=YES -co QUALITY=100 -co BLOCKXSIZE=512 "
                  "-co BLOCKYSIZE=512", 700, 600, "4"}),
    [](const auto& info) { return std::string(info.param.Name); });

// Quarter turns of an input larger than the job's memory go through stripes
// in a scratch file, the input decoded once top down in bands cut out of
// its tiles.
TEST(Jp2Turned, OutOfCoreInStripes) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  TempDir dir;
  const std::string in = dir / "in.jp2";
  MakeJp2Input(dir / "src.tif", in, 900, 700,
               "-co REVERSIBLE=YES -co QUALITY=100 -co BLOCKXSIZE=256 -co BLOCKYSIZE=256");
  GdalRaster cells;
  ASSERT_TRUE(ReadWithGdal(in, cells));
  for (int kind : {2, 3}) {
    const std::string out = dir / ("k" + std::to_string(kind) + ".tif");
    const CommandResult r = RunCli({in, out, "/" + std::to_string(kind), "--memory=1"});
    ASSERT_EQ(r.ExitCode, 0) << r.Output;
    GdalRaster back;
    ASSERT_TRUE(ReadWithGdal(out, back));
    ExpectPlaced(cells, back, kind);
  }
}

// A palette JPEG 2000 GDAL makes keeps its colour table, placed unchanged
// (kind 0) or re-encoded.
TEST(Jp2Turned, PaletteKept) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  TempDir dir;
  const std::string in = dir / "in.jp2";
  ASSERT_EQ(mirava::test::Run("/usr/bin/python3 -c " +
                Quote("import sys\nimport numpy as np\nfrom osgeo import gdal\n"
                      "d = gdal.GetDriverByName('GTiff').Create(sys.argv[1], 90, 70)\n"
                      "y, x = np.mgrid[0:70, 0:90]\n"
                      "d.GetRasterBand(1).WriteArray((x + y) % 7)\nt = gdal.ColorTable()\n"
                      "for i in range(7): t.SetColorEntry(i, (i * 30, 255 - i * 20, i * 77 % 256))\n"
                      "d.GetRasterBand(1).SetColorTable(t)\n") +
                " " + Quote(dir / "src.tif"))
                .ExitCode,
            0);
  ASSERT_EQ(mirava::test::Run("gdal_translate -q -of JP2OpenJPEG -co QUALITY=100 -co REVERSIBLE=YES " +
                              Quote(dir / "src.tif") + " " + Quote(in))
                .ExitCode,
            0);
  GdalRaster cells;
  ASSERT_TRUE(ReadWithGdal(in, cells));
  std::string files = Quote(in);
  for (int kind : {0, 3}) {
    const std::string out = dir / ("k" + std::to_string(kind) + ".jp2");
    const CommandResult r = RunCli({in, out, "/" + std::to_string(kind)});
    ASSERT_EQ(r.ExitCode, 0) << r.Output;
    EXPECT_EQ(r.Output.find("Colour table not kept"), std::string::npos) << r.Output;
    GdalRaster back;
    ASSERT_TRUE(ReadWithGdal(out, back));
    ExpectPlaced(cells, back, kind);
    files += " " + Quote(out);
  }
  const std::string tables =
      mirava::test::Run("/usr/bin/python3 -c 'import sys\nfrom osgeo import gdal\n"
                        "for f in sys.argv[1:]:\n  d = gdal.Open(f)\n"
                        "  t = d.GetRasterBand(1).GetColorTable()\n  print([t.GetColorEntry(i) for i in range(8)] if t else None)' " + files)
          .Output;
  const std::string first = tables.substr(0, tables.find('\n') + 1);
  EXPECT_NE(first, "None\n");
  EXPECT_EQ(tables, first + first + first);
}

}  // namespace
