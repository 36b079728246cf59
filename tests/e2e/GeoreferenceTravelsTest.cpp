// What of a georeference travels through mirava-cli, read back by GDAL: the
// no-data value into every format that states one, rotation terms into the
// formats that hold an affine georeference (refused elsewhere), the
// registration of rasters whose names say RAW, and no georeference where
// the input has none.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>

#include "../formats/header/HeaderTestUtil.h"
#include "../formats/image/ImageTestUtil.h"

using namespace mirava;
using namespace mirava::test;

namespace {

// "NoData Value=-9999" of gdalinfo's first band; "none" without one.
std::string GdalNoData(const std::string& file) {
  const CommandResult r = test::Run("gdalinfo " + Quote(file));
  const size_t at = r.Output.find("NoData Value=");
  if (at == std::string::npos) return "none";
  return r.Output.substr(at + 13, r.Output.find('\n', at) - at - 13);
}

void ExpectGdal(const std::string& command) {
  const CommandResult r = test::Run(command);
  ASSERT_EQ(r.ExitCode, 0) << command << "\n" << r.Output;
}

// Cells and an ENVI header for GDAL: `stem`.bin and `stem`.hdr, signed
// 16-bit (1 band) or bytes (3 bands).
void WriteEnvi(const std::string& stem, int columns, int rows, int bands,
               const std::function<int(int, int, int)>& value) {
  const int width = bands == 1 ? 2 : 1;
  std::vector<uint8_t> data;
  for (int b = 0; b < bands; ++b)
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < columns; ++c) {
        const int v = value(c, r, b);
        data.push_back(static_cast<uint8_t>(v));
        if (width == 2) data.push_back(static_cast<uint8_t>(v >> 8));
      }
  WriteBytes(stem + ".bin", data);
  WriteText(stem + ".hdr", "ENVI\nsamples = " + std::to_string(columns) + "\nlines = " +
                               std::to_string(rows) + "\nbands = " + std::to_string(bands) +
                               "\nheader offset = 0\nfile type = ENVI Standard\ndata type = " +
                               (width == 2 ? "2" : "1") + "\ninterleave = bsq\nbyte order = 0\n");
}

// A signed 16-bit elevation grid whose corners and a column of cells hold
// `noData`, made into a UTM GeoTIFF by GDAL with `options`.
void MakeDem(const TempDir& dir, const std::string& tif, int columns, int rows, int noData,
             const std::string& options) {
  WriteEnvi(dir / "cells", columns, rows, 1, [&](int c, int r, int) {
    return (c == 3 || (r == 0 && c == 0) || (r == rows - 1 && c == columns - 1))
               ? noData
               : 100 + c * 7 + r * 3;
  });
  ExpectGdal("gdal_translate -q -a_srs EPSG:32632 -a_ullr 523456 6123456 " +
             std::to_string(523456 + 2 * columns) + " " + std::to_string(6123456 - 2 * rows) + " " +
             options + " " + Quote(dir / "cells.bin") + " " + Quote(dir / tif));
}

void MakePicture(const TempDir& dir, const std::string& name, const std::string& options) {
  WriteEnvi(dir / "rgb", 40, 24, 3,
            [](int c, int r, int b) { return (c * 5 + r * 3 + b * 50) % 256; });
  ExpectGdal("gdal_translate -q " + options + " " + Quote(dir / "rgb.bin") + " " +
             Quote(dir / name));
}

// Every cell of `out` that GDAL masks is one the placement took from a
// masked cell of `in`, and the other way round.
void ExpectSameVoids(const GdalRaster& in, float inNoData, const GdalRaster& out, float outNoData,
                     int kind, const std::string& what) {
  const bool swap = kind == 2 || kind == 3;
  ASSERT_EQ(out.Columns, swap ? in.Rows : in.Columns) << what;
  int voids = 0, wrong = 0;
  for (int r = 0; r < out.Rows; ++r)
    for (int c = 0; c < out.Columns; ++c) {
      const auto [ic, ir] = SourcePixel(kind, in.Columns, in.Rows, c, r);
      const bool inVoid = in.At(ic, ir, 0) == inNoData;
      voids += inVoid;
      if (inVoid != (out.At(c, r, 0) == outNoData) ||
          (!inVoid && out.At(c, r, 0) != in.At(ic, ir, 0)))
        ++wrong;
    }
  EXPECT_GT(voids, 0) << what;
  EXPECT_EQ(wrong, 0) << what;
}

}  // namespace

// A GeoTIFF made by GDAL with -a_nodata into every format that states a
// no-data value, under every placement; GDAL reads the value back.
TEST(GeoreferenceTravels, NoDataReachesEveryFormatThatStatesOne) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  const TempDir dir;
  MakeDem(dir, "dem.tif", 23, 17, -9999, "-a_nodata -9999");
  ASSERT_EQ(GdalNoData(dir / "dem.tif"), "-9999");
  GdalRaster in;
  ASSERT_TRUE(ReadWithGdal(dir / "dem.tif", in));
  for (int kind = 0; kind < 6; ++kind)
    for (const char* ext : {".tif", ".ers"}) {
      const std::string out = dir / ("k" + std::to_string(kind) + ext);
      const std::string what = std::string(ext) + " kind " + std::to_string(kind);
      ExpectCli({dir / "dem.tif", out, "/" + std::to_string(kind)});
      EXPECT_EQ(GdalNoData(out), "-9999") << what;
      GdalRaster back;
      ASSERT_TRUE(ReadWithGdal(out, back));
      ExpectSameVoids(in, -9999, back, -9999, kind, what);
    }
  // VEG states -9999 only: cells of another value meaning no data become it.
  MakeDem(dir, "zero.tif", 23, 17, 0, "-a_nodata 0");
  GdalRaster zero;
  ASSERT_TRUE(ReadWithGdal(dir / "zero.tif", zero));
  ExpectCli({dir / "zero.tif", dir / "veg.veg", "/3"});
  ExpectCli({dir / "veg.veg", dir / "fromveg.tif"});
  EXPECT_EQ(GdalNoData(dir / "fromveg.tif"), "-9999");
  GdalRaster veg;
  ASSERT_TRUE(ReadWithGdal(dir / "fromveg.tif", veg, "-srcwin 0 0 17 23"));
  ExpectSameVoids(zero, 0, veg, -9999, 3, "VEG");
}

// An ER Mapper file of GDAL's with a NullCellValue keeps it; one without
// gets none (0 would turn every zero cell into no data).
TEST(GeoreferenceTravels, NullCellValueOnlyWhenTheInputHasOne) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  const TempDir dir;
  MakeDem(dir, "gdal.ers", 23, 17, 7, "-of ERS -a_nodata 7");
  MakeDem(dir, "dem.tif", 23, 17, 7, "");
  ExpectCli({dir / "gdal.ers", dir / "out.ers", "/4"});
  EXPECT_EQ(GdalNoData(dir / "out.ers"), "7");
  ExpectCli({dir / "out.ers", dir / "out.tif", "/1"});
  EXPECT_EQ(GdalNoData(dir / "out.tif"), "7");
  ExpectCli({dir / "dem.tif", dir / "plain.ers"});
  EXPECT_EQ(ReadText(dir / "plain.ers").find("NullCellValue"), std::string::npos);
  EXPECT_EQ(GdalNoData(dir / "plain.ers"), "none");
  // A format without a way to state it says so.
  MakeDem(dir, "byte.tif", 23, 17, 7, "-ot Byte -a_nodata 7");
  const CommandResult jpeg = RunCli({dir / "byte.tif", dir / "out.jpg"});
  EXPECT_EQ(jpeg.ExitCode, 0) << jpeg.Output;
  EXPECT_NE(jpeg.Output.find("No-data value 7 not kept: JPEG files cannot state one"),
            std::string::npos)
      << jpeg.Output;
}

// An HGT tile's voids are -32768: they stay voids in every output that
// states a value, and another value's cells become voids in an HGT output.
TEST(GeoreferenceTravels, HgtVoidsTravel) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  const TempDir dir;
  // On the tile N45E006, which alone an HGT output of it can be.
  MakeDem(dir, "dem.tif", 1201, 1201, -9999,
          "-a_nodata -9999 -a_srs EPSG:4326 -a_ullr 5.999583333333333 46.00041666666667 "
          "7.000416666666667 44.99958333333333");
  GdalRaster in;
  ASSERT_TRUE(ReadWithGdal(dir / "dem.tif", in));
  ExpectCli({dir / "dem.tif", dir / "N45E006.hgt", "/5"});
  EXPECT_EQ(GdalNoData(dir / "N45E006.hgt"), "-32768");
  GdalRaster hgt;
  ASSERT_TRUE(ReadWithGdal(dir / "N45E006.hgt", hgt));
  ExpectSameVoids(in, -9999, hgt, -32768, 5, "into HGT");
  ExpectCli({dir / "N45E006.hgt", dir / "back.ers", "/5"});
  EXPECT_EQ(GdalNoData(dir / "back.ers"), "-32768");
  GdalRaster back;
  ASSERT_TRUE(ReadWithGdal(dir / "back.ers", back));
  ExpectSameVoids(in, -9999, back, -32768, 0, "HGT into ER Mapper");
}

// A rotated GeoTIFF (GDAL writes ModelTransformation for a rotated
// geotransform) and a TIFF with a rotated world file keep their affine
// georeference in TIFF and world-file outputs, under a flip and a quarter
// turn as under no placement; ER Mapper cannot hold it and is refused,
// unless --drop-rotation accepts the north-up part alone.
TEST(GeoreferenceTravels, RotationKeptOrRefused) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  const TempDir dir;
  MakeDem(dir, "dem.vrt", 23, 17, -9999, "-of VRT");
  std::string vrt = ReadText(dir / "dem.vrt");
  const size_t at = vrt.find("<GeoTransform>");
  ASSERT_NE(at, std::string::npos);
  const std::vector<double> rotated = {523456.25, 2.5, 0.75, 6123456.5, 0.5, -2.25};
  vrt.replace(at, vrt.find("</GeoTransform>") - at,
              "<GeoTransform>523456.25, 2.5, 0.75, 6123456.5, 0.5, -2.25");
  WriteText(dir / "dem.vrt", vrt);
  ExpectGdal("gdal_translate -q " + Quote(dir / "dem.vrt") + " " + Quote(dir / "tags.tif"));
  // The same raster without tags, placed by a world file.
  MakeDem(dir, "world.tif", 23, 17, -9999, "-co PROFILE=BASELINE");
  std::filesystem::remove(dir / "world.tif.aux.xml");
  WriteText(dir / "world.tfw", "2.5\n0.5\n0.75\n-2.25\n523457.875\n6123455.625\n");
  ExpectSameTransform(GdalGeoTransform(dir / "world.tif"), rotated, "world file as GDAL reads it");

  for (const char* input : {"tags.tif", "world.tif"})
    for (int kind : {0, 1, 3}) {
      const std::string what = std::string(input) + " kind " + std::to_string(kind);
      const std::string stem = dir / (std::string(input).substr(0, 4) + std::to_string(kind));
      ExpectCli({dir / input, stem + ".tif", "/" + std::to_string(kind)});
      ExpectSameTransform(GdalGeoTransform(stem + ".tif"), rotated, what + " into TIFF");
      // The world file beside it, read alone.
      std::filesystem::rename(stem + ".tif", stem + "-bare.tif");
      ExpectGdal("gdal_translate -q -co PROFILE=BASELINE " + Quote(stem + "-bare.tif") + " " +
                 Quote(stem + "-w.tif"));
      std::filesystem::remove(stem + "-w.tif.aux.xml");
      std::filesystem::copy_file(stem + ".tfw", stem + "-w.tfw");
      ExpectSameTransform(GdalGeoTransform(stem + "-w.tif"), rotated, what + " world file");
      ExpectRefused({dir / input, stem + ".ers", "/" + std::to_string(kind)},
                    "ER Mapper files cannot hold the rotation of the input's georeference",
                    {stem + ".ers", stem});
    }
  ExpectCli({dir / "tags.tif", dir / "dropped.ers", "/3", "--drop-rotation"});
  const std::vector<double> northUp = {523456.25, 2.5, 0, 6123456.5, 0, -2.25};
  ExpectSameTransform(GdalGeoTransform(dir / "dropped.ers"), northUp, "rotation dropped");
  const CommandResult batch =
      RunCli({"-o", dir / "batch", "-e", ".ers", "--drop-rotation", dir / "world.tif"});
  EXPECT_EQ(batch.ExitCode, 0) << batch.Output;
  ExpectSameTransform(GdalGeoTransform(dir / "batch/world.ers"), northUp, "batch, dropped");
}

// A GDAL-written RSW and one of our ECW files name no datum or projection
// ("RAW"), yet they are placed: ER Mapper and OSD outputs keep the place,
// with CoordinateType RAW.
TEST(GeoreferenceTravels, RegistrationWithoutNames) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  const TempDir dir;
  MakePicture(dir, "gdal.rsw", "-of RMF -a_ullr 300000 5000100 300080 5000052");
  const std::vector<double> rsw = {300000, 2, 0, 5000100, 0, -2};
  ExpectSameTransform(GdalGeoTransform(dir / "gdal.rsw"), rsw, "GDAL's RSW");
  ExpectCli({dir / "gdal.rsw", dir / "fromrsw.ers", "/3"});
  ExpectSameTransform(GdalGeoTransform(dir / "fromrsw.ers"), rsw, "RSW into ER Mapper");
  EXPECT_NE(ReadText(dir / "fromrsw.ers").find("CoordinateType  = RAW"), std::string::npos);
  ExpectCli({dir / "gdal.rsw", dir / "ours.ecw"});
  ExpectCli({dir / "ours.ecw", dir / "fromecw.ers", "/1"});
  ExpectSameTransform(GdalGeoTransform(dir / "fromecw.ers"), rsw, "ECW into ER Mapper");
  // GDAL's own ER Mapper file of a raster with no coordinate system.
  MakePicture(dir, "gdal.ers", "-of ERS -a_ullr 300000 5000100 300080 5000052");
  ASSERT_EQ(ReadText(dir / "gdal.ers").find("CoordinateSpace"), std::string::npos);
  ExpectCli({dir / "gdal.ers", dir / "fromgdal.ers", "/5"});
  ExpectSameTransform(GdalGeoTransform(dir / "fromgdal.ers"), rsw, "GDAL's ER Mapper file");
  ExpectCli({dir / "ours.ecw", dir / "fromecw.osd"});
  const TRaster osd = ReadRaster(dir / "fromecw.osd");
  EXPECT_EQ(osd.OriginX, 300000);
  EXPECT_EQ(osd.OriginY, 5000100);
  EXPECT_EQ(osd.CellSizeX, 2);
}

// A picture placed nowhere stays so: no tags, no world file, no
// registration, in any output.
TEST(GeoreferenceTravels, NoGeoreferenceInventedForAPlainPicture) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  const TempDir dir;
  MakePicture(dir, "photo.png", "-of PNG");
  ExpectGdal("gdal_translate -q -co PROFILE=BASELINE " + Quote(dir / "photo.png") + " " +
             Quote(dir / "photo.tif"));
  std::filesystem::remove(dir / "photo.tif.aux.xml");
  ASSERT_TRUE(GdalGeoTransform(dir / "photo.tif").empty());
  for (const char* ext : {".tif", ".ers", ".jpg", ".bmp", ".rsw"}) {
    ExpectCli({dir / "photo.tif", dir / (std::string("out") + ext), "/3"});
    EXPECT_TRUE(GdalGeoTransform(dir / (std::string("out") + ext)).empty()) << ext;
  }
  EXPECT_FALSE(Exists(dir / "out.tfw"));
  EXPECT_FALSE(Exists(dir / "out.jgw"));
  EXPECT_FALSE(Exists(dir / "out.bmpw"));
  EXPECT_EQ(ReadText(dir / "out.ers").find("Registration"), std::string::npos);
  EXPECT_EQ(GdalCrs(dir / "out.tif"), "none");
  // The TIFF output is the same TIFF again, placed nowhere.
  ExpectCli({dir / "out.tif", dir / "again.tif", "/2"});
  EXPECT_TRUE(GdalGeoTransform(dir / "again.tif").empty());
  GdalRaster photo, again;
  ASSERT_TRUE(ReadWithGdal(dir / "photo.tif", photo));
  ASSERT_TRUE(ReadWithGdal(dir / "again.tif", again));
  ExpectPlaced(photo, again, 0);
}

// A control point's height travels through an ER Mapper header into a
// TIFF's points; a header that has no heights (as earlier versions wrote
// them) takes them from the ".gcp" beside it.
TEST(GeoreferenceTravels, ControlPointHeightsThroughErMapperIntoTiff) {
  TempDir dir;
  for (const bool heightless : {false, true}) {
    ASSERT_EQ(RunCli({Sample("luxembourg.ers"), dir / "l.ers"}).ExitCode, 0);
    if (heightless) {
      std::string header = ReadText(dir / "l.ers");
      for (size_t at = header.find("\tNo\t"); at != std::string::npos;
           at = header.find("\tNo\t", at + 1)) {
        const size_t end = header.find('\r', at);
        header.erase(header.rfind('\t', end), end - header.rfind('\t', end));
      }
      WriteText(dir / "l.ers", header);
    }
    ASSERT_EQ(RunCli({dir / "l.ers", dir / "l2.tif"}).ExitCode, 0);
    TGCPList points;
    ASSERT_TRUE(points.LoadFromFile(dir / "l2.gcp"));
    ASSERT_EQ(points.Count(), 4);
    EXPECT_EQ(points.Items(3)->GetName(), "\"MERSCH\"");
    EXPECT_EQ(points.Items(3)->GetZ(), 220.0) << heightless;
  }
}
