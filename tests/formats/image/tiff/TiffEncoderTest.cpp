// Compressed and tiled TIFF outputs: the creation options, and what GDAL
// reads back from mirava-cli's outputs under placements that feed the rows
// top down, bottom up and by a quarter turn.
#include "formats/image/tiff/TiffEncoder.h"

#include <gtest/gtest.h>

#include <fstream>

#include "../../../TestRasters.h"
#include "../../../TestUtil.h"
#include "../ImageTestUtil.h"
#include "formats/image/tiff/TifMap.h"
#include "formats/image/tiff/TiffOptions.h"
#include "raster/CellType.h"
#include "text/TextUtils.h"

namespace mirava {
namespace {

using namespace mirava::test;

TEST(TiffOptions, ReadAsGdalWritesThem) {
  TTiffOptions o;
  ASSERT_EQ(ParseTiffOptions({"compress=deflate", "TILED=yes", "BLOCKXSIZE=128", "BLOCKYSIZE=64",
                              "PREDICTOR=2", "ZLEVEL=9"},
                             o)
                .Text,
            "");
  EXPECT_EQ(o.Compression, tcDeflate);
  EXPECT_TRUE(o.Tiled);
  EXPECT_EQ(o.BlockXSize, 128u);
  EXPECT_EQ(o.BlockYSize, 64u);
  EXPECT_EQ(o.Predictor, tpHorizontal);
  EXPECT_EQ(o.Level, 9);
  EXPECT_FALSE(o.Plain());
  ASSERT_EQ(ParseTiffOptions({"COMPRESS=NONE", "TILED=NO"}, o).Text, "");
  EXPECT_TRUE(o.Plain());
  ASSERT_EQ(ParseTiffOptions({"COMPRESS=LZW"}, o).Text, "");
  EXPECT_EQ(PredictorFor(o, ctFloat32), tpFloatingPoint);
  EXPECT_EQ(PredictorFor(o, ctSigned16), tpHorizontal);
  ASSERT_EQ(ParseTiffOptions({"COMPRESS=ZSTD", "PREDICTOR=3", "ZSTD_LEVEL=3"}, o).Text, "");
  EXPECT_EQ(TiffOptionsRefusal(o, ctFloat64, 1).Text, "");
  EXPECT_EQ(TiffOptionsRefusal(o, ctUnsigned16, 1).Text,
            "PREDICTOR=3 (floating point) needs float cells, not unsigned 16-bit integer");
  ASSERT_EQ(ParseTiffOptions({"BLOCKYSIZE=7"}, o).Text, "");
  EXPECT_FALSE(o.Plain());
}

TEST(TiffOptions, WrongOnesAreNamed) {
  const struct {
    std::vector<std::string> Options;
    const char* Text;
  } cases[] = {
      {{"COMPRESS"}, "creation option \"COMPRESS\" is not KEY=VALUE"},
      {{"QUALITY=75"}, "unknown creation option QUALITY"},
      {{"COMPRESS=LERC"}, "creation option COMPRESS=LERC: the compressions are"},
      {{"PREDICTOR=4", "COMPRESS=LZW"}, "creation option PREDICTOR=4: the predictors"},
      {{"PREDICTOR=2"}, "creation option PREDICTOR needs COMPRESS=DEFLATE, LZW, ZSTD or LZMA"},
      {{"COMPRESS=JPEG", "PREDICTOR=2"}, "creation option PREDICTOR needs COMPRESS=DEFLATE"},
      {{"COMPRESS=JPEG", "JPEG_QUALITY=101"}, "creation option JPEG_QUALITY=101: a level from 1"},
      {{"COMPRESS=LZMA", "JPEG_QUALITY=90"}, "creation option JPEG_QUALITY needs COMPRESS=JPEG"},
      {{"WEBP_LOSSLESS=YES"}, "creation option WEBP_LOSSLESS needs COMPRESS=WEBP"},
      {{"BIGTIFF=MAYBE"}, "creation option BIGTIFF=MAYBE: YES, NO, IF_NEEDED or IF_SAFER"},
      {{"NUM_THREADS=0"}, "creation option NUM_THREADS=0: a number of threads from 1"},
      {{"PHOTOMETRIC=CIELAB"}, "creation option PHOTOMETRIC=CIELAB: Mirava writes the cells as"},
      {{"PHOTOMETRIC=YCBCR"}, "creation option PHOTOMETRIC=YCBCR needs COMPRESS=JPEG"},
      {{"PHOTOMETRIC=PALETTE"}, "creation option PHOTOMETRIC=PALETTE: a palette is written"},
      {{"TILED=maybe"}, "creation option TILED=maybe: YES or NO"},
      {{"TILED=YES", "BLOCKXSIZE=100"}, "creation options BLOCKXSIZE and BLOCKYSIZE: tiles"},
      {{"BLOCKXSIZE=256"}, "creation option BLOCKXSIZE needs TILED=YES"},
      {{"BLOCKYSIZE=0"}, "creation option BLOCKYSIZE=0: a number of pixels"},
      {{"BLOCKYSIZE=-3"}, "creation option BLOCKYSIZE=-3: a number of pixels"},
      {{"COMPRESS=LZW", "ZLEVEL=6"}, "creation option ZLEVEL needs COMPRESS=DEFLATE"},
      {{"COMPRESS=DEFLATE", "ZLEVEL=13"}, "creation option ZLEVEL=13: a level from 1 to 12"},
      {{"COMPRESS=DEFLATE", "ZSTD_LEVEL=3"}, "creation option ZSTD_LEVEL needs COMPRESS=ZSTD"},
  };
  for (const auto& c : cases) {
    TTiffOptions o;
    const std::string text = ParseTiffOptions(c.Options, o).Text;
    EXPECT_EQ(text.rfind(c.Text, 0), 0u) << text;
  }
}

// The command line refuses wrong options before anything runs, and a
// predictor the cells cannot take fails the job in words.
TEST(TiffOptions, CommandLine) {
  TempDir dir;
  TestRaster s;
  WriteErs(dir / "in.ers", s);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{dir / "in.ers", dir / "o.tif", "-co", "COMPRESS=LERC"},
        {dir / "in.ers", dir / "o.tif", "-co"},
        {dir / "in.ers", dir / "o.ers", "-co", "COMPRESS=LZW"},
        {"-o", dir.str(), "-e", ".osd", "-co", "COMPRESS=LZW", dir / "in.ers"},
        {"-o", dir.str(), "-e", ".tif", "-co", "FOO=1", dir / "in.ers"}}) {
    const CommandResult r = RunCli(args);
    EXPECT_EQ(r.ExitCode, 2) << r.Output;
    EXPECT_NE(r.Output.find("creation option"), std::string::npos) << r.Output;
    EXPECT_FALSE(Exists(dir / "o.tif") || Exists(dir / "o.ers") || Exists(dir / "in.osd") ||
                 Exists(dir / "in.tif"));
  }
  const CommandResult r =
      RunCli({dir / "in.ers", dir / "o.tif", "-co", "COMPRESS=LZW", "-co", "PREDICTOR=3"});
  EXPECT_EQ(r.ExitCode, 1) << r.Output;
  EXPECT_NE(r.Output.find("PREDICTOR=3 (floating point) needs float cells, not unsigned 8-bit "
                          "integer"),
            std::string::npos)
      << r.Output;
  EXPECT_FALSE(Exists(dir / "o.tif"));
}

struct TEncoding {
  std::vector<std::string> Options;
  const char* Compression;  // as gdalinfo shows it; "" for none
  bool Tiled;
  int BlockX, BlockY;     // 0: not checked
  bool DefaultPredictor;  // 3 for floats and 2 for integers expected
};

std::string ShowEncoding(const ::testing::TestParamInfo<TEncoding>& info) {
  std::string words;
  for (const std::string& o : info.param.Options) words += " " + o;
  return CaseName(words);
}

// What a failure names the case by.
void PrintTo(const TEncoding& c, std::ostream* os) { *os << ShowEncoding({c, 0}); }

class TiffEncodedOutput : public ::testing::TestWithParam<TEncoding> {};

// Every cell type into every encoding, placed by kind 0, a vertical flip
// (rows bottom up) and a quarter turn: GDAL reads the
// cells where the placement puts them, the input's georeference, and the
// compression, predictor and blocks that were asked for; our reader reads
// what GDAL reads.
TEST_P(TiffEncodedOutput, GdalReadsWhatWasAskedFor) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  const TEncoding& e = GetParam();
  TempDir dir;
  std::vector<TestRaster> rasters = AllCellTypes();
  for (TestRaster& s : rasters) {
    s.Columns = 150;
    s.Rows = 70;
    s.Bands = 2;
  }
  rasters[0].Bands = 3;
  rasters[5].Bands = 1;
  for (const TestRaster& s : rasters) {
    WriteErs(dir / "in.ers", s);
    GdalRaster in;
    ASSERT_TRUE(ReadWithGdal(dir / "in.ers", in));
    const std::vector<double> gt = GdalGeoTransform(dir / "in.ers");
    for (int kind : {0, 4, 3}) {
      SCOPED_TRACE(s.CellType + " kind " + std::to_string(kind));
      const std::string out = dir / "out.tif";
      std::vector<std::string> args = {dir / "in.ers", out, "/" + std::to_string(kind)};
      for (const std::string& o : e.Options) args.insert(args.end(), {"-co", o});
      const CommandResult job = RunCli(args);
      ASSERT_EQ(job.ExitCode, 0) << job.Output;
      GdalRaster back;
      ASSERT_TRUE(ReadWithGdal(out, back));
      ExpectPlaced(in, back, kind);
      EXPECT_EQ(GdalGeoTransform(out), gt);
      const std::string info = test::Run("gdalinfo " + Quote(out)).Output;
      EXPECT_EQ(info.find("Warning"), std::string::npos) << info;
      EXPECT_EQ(info.find("ERROR"), std::string::npos) << info;
      if (*e.Compression) {
        EXPECT_NE(info.find(std::string("COMPRESSION=") + e.Compression), std::string::npos)
            << info;
      } else {
        EXPECT_EQ(info.find("COMPRESSION="), std::string::npos) << info;
      }
      const bool isFloat = s.Float;
      if (e.DefaultPredictor) {
        EXPECT_NE(info.find(isFloat ? "PREDICTOR=3" : "PREDICTOR=2"), std::string::npos) << info;
      }
      const int width = back.Columns;
      const std::string block = "Block=" + std::to_string(e.Tiled ? e.BlockX : width) + "x" +
                                (e.BlockY ? std::to_string(e.BlockY) : std::string());
      EXPECT_NE(info.find(block), std::string::npos) << block << "\n" << info;
      // GDAL before 3.7 shows signed bytes as unsigned ones.
      if (s.CellType == "Signed8BitInteger") continue;
      TTifMap2 ours;
      ASSERT_TRUE(ours.Open(out, 0, 0, 1, 1, omRead)) << ours.Error().Text;
      ExpectSameCells(ours, back);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, TiffEncodedOutput,
    ::testing::Values(
        TEncoding{{"COMPRESS=DEFLATE"}, "DEFLATE", false, 0, 0, true},
        TEncoding{{"COMPRESS=LZW", "PREDICTOR=2", "TILED=YES", "BLOCKXSIZE=32", "BLOCKYSIZE=16"},
                  "LZW",
                  true,
                  32,
                  16,
                  false},
        TEncoding{{"COMPRESS=ZSTD", "TILED=YES"}, "ZSTD", true, 256, 256, true},
        TEncoding{{"COMPRESS=DEFLATE", "PREDICTOR=1", "BLOCKYSIZE=7", "ZLEVEL=9"},
                  "DEFLATE",
                  false,
                  0,
                  7,
                  false},
        TEncoding{{"TILED=YES", "BLOCKXSIZE=16", "BLOCKYSIZE=48"}, "", true, 16, 48, false},
        TEncoding{{"COMPRESS=LZW", "BLOCKYSIZE=1"}, "LZW", false, 0, 1, true},
        // GDAL does not show an LZMA file's predictor.
        TEncoding{{"COMPRESS=LZMA", "LZMA_PRESET=1", "NUM_THREADS=3"}, "LZMA", false, 0, 0, false},
        TEncoding{{"COMPRESS=PACKBITS", "TILED=YES", "BLOCKXSIZE=32", "BLOCKYSIZE=32",
                   "BIGTIFF=YES"},
                  "PACKBITS",
                  true,
                  32,
                  32,
                  false}),
    ShowEncoding);

// Compressed GeoTIFFs made by GDAL, decoded by several decoders while the
// job encodes them again, under every placement: the cells and the
// georeference stay.
TEST(TiffEncodedOutput, GdalCompressedInputIntoCompressedOutput) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  TempDir dir;
  const std::string in = dir / "in.tif";
  for (const char* layout :
       {"-co COMPRESS=DEFLATE -co PREDICTOR=2 -co TILED=YES -co BLOCKXSIZE=32 -co BLOCKYSIZE=32",
        "-co COMPRESS=LZW -co INTERLEAVE=BAND -co BLOCKYSIZE=7",
        "-co COMPRESS=ZSTD -co INTERLEAVE=BAND -co TILED=YES -co BLOCKXSIZE=48 "
        "-co BLOCKYSIZE=16"}) {
    ASSERT_EQ(test::Run(std::string("gdal_translate -q -outsize 230 170 ") + layout + " " +
                        Quote(Sample("logo.tif")) + " " + Quote(in))
                  .ExitCode,
              0);
    GdalRaster original;
    ASSERT_TRUE(ReadWithGdal(in, original));
    for (int kind = 0; kind < 6; ++kind) {
      SCOPED_TRACE(std::string(layout) + " kind " + std::to_string(kind));
      const std::string out = dir / "out.tif";
      const CommandResult job = RunCli({in, out, "/" + std::to_string(kind), "-co", "COMPRESS=ZSTD",
                                        "-co", "TILED=YES", "-co", "BLOCKXSIZE=64"});
      ASSERT_EQ(job.ExitCode, 0) << job.Output;
      GdalRaster back;
      ASSERT_TRUE(ReadWithGdal(out, back));
      ExpectPlaced(original, back, kind);
      EXPECT_EQ(GdalGeoTransform(out), GdalGeoTransform(in));
      EXPECT_NE(test::Run("gdalinfo " + Quote(out)).Output.find("Block=64x256"), std::string::npos);
    }
  }
}

// Rows given cell by cell, in any order, and rows never given (zeros) make
// the same file as rows given in blocks.
TEST(TiffEncodedOutput, CellsAndBlocksAndRowsLeftOut) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  TempDir dir;
  auto make = [&](const std::string& name, bool cells) {
    TTifMap2 map;
    TGeoExtras extras;
    extras.CreationOptions = {"COMPRESS=DEFLATE", "TILED=YES", "BLOCKXSIZE=16", "BLOCKYSIZE=16"};
    map.SetExtras(extras);
    ASSERT_TRUE(map.Open(name, 40, 50, ctSigned16, 2, omCreate)) << map.Error().Text;
    ASSERT_TRUE(map.SetGeoreference(PlacedAt(2, 2, 500000, 5600000, "WGS84", "WGS84", "NUTM32")));
    // Bottom up, then top down; rows 10 to 19 are never written.
    std::vector<int> rows;
    for (int r = 49; r >= 20; --r) rows.push_back(r);
    for (int r = 0; r < 10; ++r) rows.push_back(r);
    for (int r : rows) {
      if (cells) {
        for (int c = 0; c < 40; ++c)
          for (int b = 0; b < 2; ++b) ASSERT_TRUE(map.WriteCell(c, r, b, -(r * 40 + c) * (b + 1)));
      } else {
        TCellBlock block;
        ASSERT_TRUE(map.GetBlock(r, 1, block)) << map.Error().Text;
        for (int c = 0; c < 40; ++c)
          for (int b = 0; b < 2; ++b)
            EncodeCellExact(block.Data + c * block.ColumnStride + b * block.BandStride, ctSigned16,
                            false, -(r * 40 + c) * (b + 1));
      }
    }
    ASSERT_TRUE(map.Close()) << map.Error().Text;
  };
  make(dir / "cells.tif", true);
  make(dir / "blocks.tif", false);
  EXPECT_EQ(ReadBytes(dir / "cells.tif"), ReadBytes(dir / "blocks.tif"));
  GdalRaster back;
  ASSERT_TRUE(ReadWithGdal(dir / "cells.tif", back));
  for (int r = 0; r < 50; ++r)
    for (int b = 0; b < 2; ++b)
      EXPECT_EQ(back.At(7, r, b), r >= 10 && r < 20 ? 0 : -(r * 40 + 7) * (b + 1)) << r;
  EXPECT_EQ(GdalCrs(dir / "cells.tif"), "EPSG:32632");
}

// A compressed output whose pixels might pass 4 GiB is a BigTIFF, however
// small it turns out; GDAL opens it with its cells.
TEST(TiffEncodedOutput, BigTiffWhenFourGiBMightNotSuffice) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  TempDir dir;
  const std::string name = dir / "big.tif";
  {
    TTifMap2 map;
    TGeoExtras extras;
    extras.CreationOptions = {"COMPRESS=ZSTD", "TILED=YES", "BLOCKXSIZE=1024", "BLOCKYSIZE=1024"};
    map.SetExtras(extras);
    ASSERT_TRUE(map.Open(name, 66000, 66000, ctUnsigned8, 1, omCreate)) << map.Error().Text;
    ASSERT_TRUE(map.WriteCell(65999, 0, 0, 7));
    ASSERT_TRUE(map.WriteCell(3, 65999, 0, 9));
    ASSERT_TRUE(map.Close()) << map.Error().Text;
  }
  EXPECT_TRUE(IsBigTiff(name));
  const CommandResult cells = test::Run(
      "gdallocationinfo -valonly " + Quote(name) + " 65999 0 && gdallocationinfo -valonly " +
      Quote(name) + " 3 65999 && gdallocationinfo -valonly " + Quote(name) + " 30000 30000");
  EXPECT_EQ(cells.Output, "7\n9\n0\n");
}

}  // namespace
}  // namespace mirava
