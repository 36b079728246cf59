#include "formats/image/jp2/Jp2Map.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "../../TestUtil.h"
#include "ImageTestUtil.h"
#include "dataset/DataSet.h"
#include "raster/CellType.h"

namespace mirava {
namespace {

using namespace mirava::test;

// A raster of `bands` bands of GDAL type `type`, its cells spread over
// `bits` bits (negative ones too for a signed type), written by GDAL as
// JPEG 2000 with `options`.
void MakeJp2(const std::string& file, int columns, int rows, int bands, const std::string& type,
             int bits, const std::string& options) {
  const std::string script =
      "import sys\nimport numpy as np\nfrom osgeo import gdal\n"
      "w, h, n, t, bits = " + std::to_string(columns) + ", " + std::to_string(rows) + ", " +
      std::to_string(bands) + ", '" + type + "', " + std::to_string(bits) +
      "\nd = gdal.GetDriverByName('MEM').Create('', w, h, n, gdal.GetDataTypeByName(t))\n"
      "y, x = np.mgrid[0:h, 0:w]\n"
      "for b in range(n):\n"
      "  v = (x * 7919 + y * 104729 + b * 3571 + (x * y) % 97) % (1 << bits)\n"
      "  if t.startswith('Int'): v = v - (1 << (bits - 1))\n"
      "  d.GetRasterBand(b + 1).WriteArray(v)\n"
      "d.SetGeoTransform([300000, 10, 0, 5000000, 0, -10])\n"
      "d.SetProjection('EPSG:32633')\n"
      "o = [s for s in sys.argv[2:]]\n"
      "gdal.GetDriverByName('JP2OpenJPEG').CreateCopy(sys.argv[1], d, options=o)\n";
  std::string command = "/usr/bin/python3 -c " + Quote(script) + " " + Quote(file);
  for (size_t from = 0; from < options.size();) {
    const size_t end = std::min(options.find(' ', from), options.size());
    if (end > from) command += " " + Quote(options.substr(from, end - from));
    from = end + 1;
  }
  const CommandResult r = Run(command);
  ASSERT_EQ(r.ExitCode, 0) << command << "\n" << r.Output;
}

struct TReadCase {
  const char* Name;
  int Columns, Rows, Bands;
  const char* Type;
  int Bits;
  const char* Options;
  uint8_t CellType;
  uint64_t MemoryLimit = 0;
};

// What a failure names the case by.
void PrintTo(const TReadCase& c, std::ostream* os) { *os << c.Name; }

class Jp2Read : public ::testing::TestWithParam<TReadCase> {};

// Every cell as GDAL reads it, whatever the precision, sign, tiling,
// wavelet, progression and wrapping, and with bands cut out of one tile
// where the memory is short.
TEST_P(Jp2Read, CellsLikeGdal) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  const TReadCase& c = GetParam();
  TempDir dir;
  const std::string file = dir / (std::string(c.Name) + (strstr(c.Options, "J2K") ? ".j2k" : ".jp2"));
  MakeJp2(file, c.Columns, c.Rows, c.Bands, c.Type, c.Bits, c.Options);
  GdalRaster gdal;
  ASSERT_TRUE(ReadWithGdal(file, gdal));
  TDataSet2 set;
  set.SetMemoryLimit(c.MemoryLimit);
  ASSERT_TRUE(set.Open(file, 0, 0, 0, 0, omRead)) << set.Error().Text;
  EXPECT_EQ(set.GetFormat(), fcJp2);
  EXPECT_EQ(set.GetCellType(), c.CellType);
  ExpectSameCells(static_cast<TDataSetRoot2&>(*set.Reader()), gdal);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, Jp2Read,
    ::testing::Values(
        TReadCase{"Grey8_Lossless", 70, 50, 1, "Byte", 8, "REVERSIBLE=YES QUALITY=100",
                  ctUnsigned8},
        TReadCase{"Rgb8_Lossy_Tiles", 150, 90, 3, "Byte", 8,
                  "QUALITY=10 BLOCKXSIZE=64 BLOCKYSIZE=32", ctUnsigned8},
        TReadCase{"Rgba8_Rpcl_Resolutions", 90, 70, 4, "Byte", 8,
                  "REVERSIBLE=YES QUALITY=100 PROGRESSION=RPCL RESOLUTIONS=3", ctUnsigned8},
        TReadCase{"FiveBands16_Tiles", 100, 80, 5, "UInt16", 16,
                  "REVERSIBLE=YES QUALITY=100 BLOCKXSIZE=48 BLOCKYSIZE=40", ctUnsigned16},
        TReadCase{"Unsigned12", 60, 40, 1, "UInt16", 12, "REVERSIBLE=YES QUALITY=100 NBITS=12",
                  ctUnsigned16},
        TReadCase{"Signed16_Codestream", 60, 40, 1, "Int16", 16,
                  "REVERSIBLE=YES QUALITY=100 CODEC=J2K", ctSigned16},
        TReadCase{"OneBit", 33, 21, 1, "Byte", 1, "REVERSIBLE=YES QUALITY=100 NBITS=1",
                  ctUnsigned8},
        TReadCase{"Sentinel2Band", 1500, 1300, 1, "UInt16", 12,
                  "REVERSIBLE=YES QUALITY=100 NBITS=12 BLOCKXSIZE=1024 BLOCKYSIZE=1024",
                  ctUnsigned16},
        // One tile cut into bands of 64 rows.
        TReadCase{"OneTileShortMemory", 600, 700, 3, "Byte", 8,
                  "REVERSIBLE=YES QUALITY=100", ctUnsigned8, 2u << 20}),
    [](const auto& info) { return std::string(info.param.Name); });

// A file cut short and one whose codestream is garbled fail, naming the
// file, whether it is described or its cells read.
TEST(Jp2Read, BrokenFilesFailWithTheirName) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  TempDir dir;
  const std::string good = dir / "good.jp2";
  MakeJp2(good, 300, 200, 3, "Byte", 8, "REVERSIBLE=YES QUALITY=100 BLOCKXSIZE=128 BLOCKYSIZE=128");
  const std::vector<uint8_t> bytes = ReadBytes(good);
  std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + bytes.size() * 2 / 3);
  std::vector<uint8_t> garbled = bytes;
  for (size_t i = bytes.size() / 3; i < bytes.size(); i += 7) garbled[i] ^= 0x5A;
  for (const auto& [name, content] : {std::pair{"cut.jp2", cut}, {"garbled.jp2", garbled}}) {
    const std::string file = dir / name;
    WriteBytes(file, content);
    TDataSet2 set;
    bool ok = set.Open(file, 0, 0, 0, 0, omRead);
    for (uint32_t r = 0; ok && r < 200; r += 50) {
      TCellBlock block;
      ok = set.Reader()->GetBlock(r, 50, block);
    }
    EXPECT_FALSE(ok) << name;
    EXPECT_NE(set.Error().Text.find(file), std::string::npos) << set.Error().Text;
  }
  // A single tile that fails to decode fails again when read again, where
  // the codec its failure left behind crashed.
  TDataSet2 set;
  ASSERT_TRUE(set.Open(std::string(MIRAVA_SAMPLES) + "/../tests/fuzz/corpus/jp2/broken_single_tile",
                       0, 0, 0, 0, omRead));
  float value = 0;
  EXPECT_EQ(set.ReadCell(0, 0, 0, value), TCellRead::Failed);
  EXPECT_EQ(set.ReadCell(1, 0, 0, value), TCellRead::Failed);
}

struct TWriteCase {
  const char* Name;
  uint32_t Bands;
  const char* Type;
  int Bits;
  const char* Options;
  bool Lossy = false;
};

// What a failure names the case by.
void PrintTo(const TWriteCase& c, std::ostream* os) { *os << c.Name; }

// The mean absolute difference of `out` from the placed `in`.
double MeanError(const GdalRaster& in, const GdalRaster& out, int kind) {
  double sum = 0;
  for (int b = 0; b < out.Bands; ++b)
    for (int row = 0; row < out.Rows; ++row)
      for (int col = 0; col < out.Columns; ++col) {
        int ic, ir;
        InputPixel(kind, in.Columns, in.Rows, col, row, ic, ir);
        sum += std::fabs(out.At(col, row, b) - in.At(ic, ir, b));
      }
  return sum / static_cast<double>(out.Cells.size());
}

class Jp2Write : public ::testing::TestWithParam<TWriteCase> {};

// What we write GDAL reads back exactly where it is lossless; lossy, as
// near the input as GDAL's own encoding with the same options; under every
// placement, streamed or through the scratch file.
TEST_P(Jp2Write, GdalReadsItBack) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  const TWriteCase& c = GetParam();
  TempDir dir;
  const std::string input = dir / "in.tif";
  const std::string jp2 = dir / "made.jp2";
  MakeJp2(jp2, 150, 110, static_cast<int>(c.Bands), c.Type, c.Bits, "REVERSIBLE=YES QUALITY=100");
  ASSERT_EQ(test::Run("gdal_translate -q " + Quote(jp2) + " " + Quote(input)).ExitCode, 0);
  GdalRaster in;
  ASSERT_TRUE(ReadWithGdal(input, in));
  std::vector<std::string> options;
  std::string gdalOptions;
  for (const char* o = c.Options; *o;) {
    const char* end = std::strchr(o, ' ');
    options.emplace_back(o, end ? end : o + std::strlen(o));
    gdalOptions += " -co " + options.back();
    o = end ? end + 1 : o + std::strlen(o);
  }
  double gdalError = 0;
  if (c.Lossy) {
    const std::string theirs = dir / "gdal.jp2";
    ASSERT_EQ(test::Run("gdal_translate -q -of JP2OpenJPEG" + gdalOptions + " " + Quote(input) +
                        " " + Quote(theirs))
                  .ExitCode,
              0);
    GdalRaster back;
    ASSERT_TRUE(ReadWithGdal(theirs, back));
    gdalError = MeanError(in, back, 0);
  }
  for (int kind = 0; kind <= 5; ++kind) {
    const std::string out = dir / ("out" + std::to_string(kind) + (c.Lossy ? ".jp2" : ".j2k"));
    std::vector<std::string> args = {input, out, "/" + std::to_string(kind)};
    for (const std::string& o : options) args.insert(args.end(), {"-co", o});
    const CommandResult r = RunCli(args);
    ASSERT_EQ(r.ExitCode, 0) << r.Output;
    GdalRaster back;
    ASSERT_TRUE(ReadWithGdal(out, back));
    if (c.Lossy)
      EXPECT_LT(MeanError(in, back, kind), gdalError * 1.25 + 0.5) << "kind " << kind;
    else
      ExpectPlaced(in, back, kind);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cells, Jp2Write,
    ::testing::Values(TWriteCase{"Grey8", 1, "Byte", 8, ""},
                      TWriteCase{"Rgb8_Tiles", 3, "Byte", 8, "BLOCKXSIZE=64 BLOCKYSIZE=48"},
                      TWriteCase{"Signed16_FourBands", 4, "Int16", 16,
                                 "BLOCKXSIZE=100 BLOCKYSIZE=32 RESOLUTIONS=2"},
                      TWriteCase{"Unsigned16", 1, "UInt16", 16, ""},
                      TWriteCase{"Rgb8_Lossy", 3, "Byte", 6, "QUALITY=30", true},
                      TWriteCase{"Grey16_Layers", 1, "UInt16", 12, "QUALITY=10,50 REVERSIBLE=NO",
                                 true}),
    [](const auto& info) { return std::string(info.param.Name); });

// Cells a JPEG 2000 codestream cannot hold and wrong options are refused
// before any file exists.
TEST(Jp2Write, RefusalsBeforeAnyFile) {
  TempDir dir;
  EXPECT_EQ(WriteRefusal(fcJp2, {.Bands = 1, .CellType = ctFloat32}).Code, TErrorCode::Refused);
  EXPECT_EQ(WriteRefusal(fcJp2, {.Bands = 2, .CellType = ctUnsigned32}).Text,
            "JPEG 2000 files hold 8- or 16-bit integer cells, not unsigned 32-bit integer cells");
  EXPECT_FALSE(WriteRefusal(fcJp2, {.Bands = 7, .CellType = ctSigned16}).Failed());
  EXPECT_EQ(CreationOptionsRefusal(fcJp2, {"QUALITY=0"}).Text,
            "creation option QUALITY=0: percentages of the uncompressed size, above 0 and at "
            "most 100, separated by commas");
  EXPECT_NE(CreationOptionsRefusal(fcJp2, {"COMPRESS=LZW"}).Text.find("unknown creation option"),
            std::string::npos);
  EXPECT_FALSE(CreationOptionsRefusal(fcJp2, {"QUALITY=5,20", "REVERSIBLE=NO", "BLOCKXSIZE=512",
                                              "RESOLUTIONS=4"})
                   .Failed());
  ASSERT_EQ(test::Run("gdal_translate -q -ot Float32 " + Quote(Sample("elev.ers")) + " " +
                Quote(dir / "f.tif")).ExitCode, 0);
  const CommandResult r = RunCli({dir / "f.tif", dir / "elev.jp2"});
  EXPECT_NE(r.ExitCode, 0);
  EXPECT_FALSE(Exists(dir / "elev.jp2"));
}

}  // namespace
}  // namespace mirava
