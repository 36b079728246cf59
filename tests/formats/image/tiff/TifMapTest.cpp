#include "formats/image/tiff/TifMap.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <cstring>

#include "../../../TestRasters.h"
#include "../../../TestUtil.h"
#include "../../../Placement.h"
#include "../ImageTestUtil.h"
#include "formats/image/tiff/GeoTiffKeys.h"
#include "georef/ControlPoints.h"
#include "raster/CellType.h"
#include "text/TextUtils.h"

namespace mirava {
namespace {

using namespace mirava::test;

// ---------------------------------------------------------------------------
// Hand-made little-endian TIFFs for the layouts GDAL does not write and for
// hostile headers.

struct Tag {
  uint16_t Id, Type;
  uint32_t Count, Value;
};

void Put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = v & 0xFF;
  b[at + 1] = (v >> 8) & 0xFF;
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = (v >> (8 * i)) & 0xFF;
}

// Header, the IFD at offset 8, then `tail` at DataStart(tags.size()).
std::vector<uint8_t> MakeTiff(const std::vector<Tag>& tags, const std::vector<uint8_t>& tail) {
  std::vector<uint8_t> b(14 + 12 * tags.size());
  b[0] = b[1] = 'I';
  Put16(b, 2, 42);
  Put32(b, 4, 8);
  Put16(b, 8, static_cast<uint32_t>(tags.size()));
  for (size_t i = 0; i < tags.size(); ++i) {
    const size_t at = 10 + 12 * i;
    Put16(b, at, tags[i].Id);
    Put16(b, at + 2, tags[i].Type);
    Put32(b, at + 4, tags[i].Count);
    if (tags[i].Type == 3 && tags[i].Count == 1)
      Put16(b, at + 8, tags[i].Value);
    else
      Put32(b, at + 8, tags[i].Value);
  }
  b.insert(b.end(), tail.begin(), tail.end());
  return b;
}

uint32_t DataStart(size_t tagCount) { return static_cast<uint32_t>(14 + 12 * tagCount); }

// A 4 x 3 grey image, one strip, with its pixels 0..11.
std::vector<Tag> GreyTags() {
  return {{256, 3, 1, 4}, {257, 3, 1, 3}, {258, 3, 1, 8}, {262, 3, 1, 1}, {273, 4, 1, DataStart(6)},
          {278, 3, 1, 3}};
}
std::vector<uint8_t> GreyPixels() {
  std::vector<uint8_t> p(12);
  for (int i = 0; i < 12; ++i) p[i] = static_cast<uint8_t>(i * 20);
  return p;
}

Tag& Find(std::vector<Tag>& tags, uint16_t id) {
  for (Tag& t : tags)
    if (t.Id == id) return t;
  throw std::logic_error("no tag");
}

// Why a file does not open, "Tiff error " and the reason for the faults of
// its contents, whose message names the file.
std::string OpenError(const std::vector<uint8_t>& bytes) {
  TempDir dir;
  WriteBytes(dir / "in.tif", bytes);
  TTifMap2 map;
  EXPECT_FALSE(map.Open(dir / "in.tif", 0, 0, 1, 1, omRead));
  const std::string named = "Tiff error in " + dir / "in.tif" + ": ";
  if (map.Error().Text.rfind(named, 0) != 0) return map.Error().Text;
  return "Tiff error " + map.Error().Text.substr(named.size());
}

TEST(TifRead, HandMadeGreyStripAndMissingPhotometric) {
  TempDir dir;
  std::vector<Tag> tags = GreyTags();
  tags.erase(tags.begin() + 3);  // no PhotoMetricInterpretation: black is zero
  Find(tags, 273).Value = DataStart(5);
  WriteBytes(dir / "in.tif", MakeTiff(tags, GreyPixels()));
  TTifMap2 map;
  ASSERT_TRUE(map.Open(dir / "in.tif", 0, 0, 1, 1, omRead)) << map.Error().Text;
  EXPECT_EQ(map.GetCellType(), ctUnsigned8);
  float v = -1;
  ASSERT_TRUE(map.ReadCell(3, 2, 0, v));
  EXPECT_EQ(v, 220);
  EXPECT_FALSE(map.ReadCell(4, 0, 0, v));
  EXPECT_FALSE(map.WriteCell(0, 0, 0, 1));
  EXPECT_EQ(map.Error().Text, "");
}

TEST(TifRead, SeparatePlanesFartherApartThanOneWindow) {
  TempDir dir;
  const uint32_t planes[] = {4096, 150000000, 300000000};
  std::vector<Tag> tags = {{256, 3, 1, 4}, {257, 3, 1, 3}, {258, 3, 3, 0}, {262, 3, 1, 2},
                           {273, 4, 3, 0}, {277, 3, 1, 3}, {278, 3, 1, 3}, {284, 3, 1, 2}};
  Find(tags, 258).Value = DataStart(tags.size());
  Find(tags, 273).Value = DataStart(tags.size()) + 6;
  std::vector<uint8_t> tail(18);
  for (int b = 0; b < 3; ++b) {
    Put16(tail, 2 * b, 8);
    Put32(tail, 6 + 4 * b, planes[b]);
  }
  WriteBytes(dir / "planes.tif", MakeTiff(tags, tail));
  {
    // Sparse: the holes between the planes take no disk space.
    std::fstream out(dir / "planes.tif", std::ios::in | std::ios::out | std::ios::binary);
    for (int b = 0; b < 3; ++b) {
      out.seekp(planes[b]);
      for (int i = 0; i < 12; ++i) out.put(static_cast<char>(b * 50 + i + 1));
    }
  }
  TTifMap2 map;
  ASSERT_TRUE(map.Open(dir / "planes.tif", 0, 0, 1, 1, omRead)) << map.Error().Text;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c)
      for (int b = 0; b < 3; ++b) {
        float v = -1;
        ASSERT_TRUE(map.ReadCell(c, r, b, v)) << map.Error().Text;
        EXPECT_EQ(v, b * 50 + r * 4 + c + 1);
      }
}

TEST(TifRead, HostileHeadersGiveClearErrors) {
  const std::vector<uint8_t> pixels = GreyPixels();
  auto variant = [&](auto change) {
    std::vector<Tag> tags = GreyTags();
    change(tags);
    return OpenError(MakeTiff(tags, pixels));
  };
  EXPECT_EQ(variant([](auto& t) { Find(t, 273).Value = 90; }),
            "Tiff error Strip 0 runs past the end of the file");
  EXPECT_EQ(variant([](auto& t) {
              Find(t, 273) = {273, 4, 3, 5000};
            }),
            "Tiff error StripOffset entry runs past the end of the file");
  EXPECT_EQ(variant([](auto& t) { Find(t, 278).Value = 0; }), "Tiff error RowsPerStrip is 0");
  EXPECT_EQ(variant([](auto& t) { Find(t, 278).Value = 1; }),
            "Tiff error StripOffset holds 1 strips, the image needs 3");
  EXPECT_EQ(variant([](auto& t) { Find(t, 256).Value = 0; }), "Tiff error Image of 0 x 3 pixels");
  EXPECT_EQ(variant([](auto& t) {
              Find(t, 256) = {256, 4, 1, 0xFFFFFFFF};
            }),
            "Tiff error Buffer size is less than one line");
  EXPECT_EQ(variant([](auto& t) {
              Find(t, 258) = {258, 3, 3, 0x7FFFFFF0};
            }),
            "Tiff error BitsPerSample entry unreadable");
  EXPECT_EQ(variant([](auto& t) { Find(t, 273).Id = 999; }), "Tiff error No StripOffset");
  {
    // A bomb of 625 strips that all point at one Deflate block: their byte
    // counts add up to 1,000 times the block, the bytes they cover do not.
    constexpr uint32_t kWidth = 40000, kRows = 64, kStrips = 625;
    const std::vector<uint8_t> zeros(kWidth * kRows);
    uLongf size = compressBound(zeros.size());
    std::vector<uint8_t> block(size);
    ASSERT_EQ(compress2(block.data(), &size, zeros.data(), zeros.size(), 9), Z_OK);
    block.resize(size);
    std::vector<Tag> tags = {{256, 4, 1, kWidth}, {257, 4, 1, kRows * kStrips},
                             {258, 3, 1, 8},      {259, 3, 1, 8},
                             {262, 3, 1, 1},      {273, 4, kStrips, 0},
                             {278, 3, 1, kRows},  {279, 4, kStrips, 0}};
    const uint32_t offsets = DataStart(tags.size()), counts = offsets + 4 * kStrips;
    Find(tags, 273).Value = offsets;
    Find(tags, 279).Value = counts;
    std::vector<uint8_t> tail(8 * kStrips);
    for (uint32_t i = 0; i < kStrips; ++i) {
      Put32(tail, 4 * i, counts + 4 * kStrips);
      Put32(tail, 4 * (kStrips + i), static_cast<uint32_t>(block.size()));
    }
    tail.insert(tail.end(), block.begin(), block.end());
    EXPECT_EQ(OpenError(MakeTiff(tags, tail)),
              "Tiff error Header promises 1600000000 bytes of pixels from " +
                  std::to_string(block.size()) + " stored bytes");
  }
  // Layouts left to libtiff fail with libtiff's reason, never its printout.
  EXPECT_EQ(variant([](auto& t) { Find(t, 273).Type = 5; }),
            "Tiff error Incompatible type for \"StripOffsets\"");
  {
    // What only the decoding finds fails the reading, and the job, with
    // libtiff's reason; the job leaves no output.
    std::vector<Tag> tags = GreyTags();
    tags.insert(tags.begin() + 3, Tag{259, 3, 1, 5});
    TempDir dir;
    WriteBytes(dir / "lzw.tif", MakeTiff(tags, pixels));
    TTifMap2 map;
    ASSERT_TRUE(map.Open(dir / "lzw.tif", 0, 0, 1, 1, omRead)) << map.Error().Text;
    float v = 0;
    EXPECT_FALSE(map.ReadCell(0, 0, 0, v));
    EXPECT_EQ(map.Error().Text,
              "Tiff error in " + dir / "lzw.tif" + ": Using code not yet in table");
    for (const char* kind : {"/0", "/3"}) {
      const CommandResult job = RunCli({dir / "lzw.tif", dir / "o.ers", kind});
      EXPECT_EQ(job.ExitCode, 1) << job.Output;
      EXPECT_NE(job.Output.find("lzw.tif: Using code not yet in table"), std::string::npos)
          << job.Output;
      EXPECT_FALSE(Exists(dir / "o.ers"));
    }
  }
  EXPECT_EQ(variant([](auto& t) {
              t.insert(t.begin() + 3, Tag{259, 3, 1, 60000});
            }),
            "Tiff error Compression 60000 not available");
  EXPECT_EQ(variant([](auto& t) {
              t.insert(t.begin() + 3, Tag{259, 3, 1, 8});
              Find(t, 256).Value = 60000;
              Find(t, 257).Value = 60000;
              Find(t, 278).Value = 60000;
            }),
            "Tiff error Header promises 3600000000 bytes of pixels from 12 stored bytes");
  // A GeoKeyDirectory pointing past the file is ignored, not followed.
  std::vector<Tag> tags = GreyTags();
  tags.push_back({34735, 3, 4000000, 100});
  tags.push_back({33550, 12, 3, 0xFFFFFF00});
  Find(tags, 273).Value = DataStart(tags.size());
  TempDir dir;
  WriteBytes(dir / "geo.tif", MakeTiff(tags, pixels));
  TTifMap2 map;
  EXPECT_TRUE(map.Open(dir / "geo.tif", 0, 0, 1, 1, omRead)) << map.Error().Text;

  std::vector<uint8_t> bytes = MakeTiff(GreyTags(), pixels);
  Put32(bytes, 4, 100000);
  EXPECT_EQ(OpenError(bytes), "Tiff error IFD at 100000 lies outside the file");
  bytes = MakeTiff(GreyTags(), pixels);
  Put16(bytes, 8, 900);
  EXPECT_EQ(OpenError(bytes), "Tiff error IFD of 900 entries runs past the end of the file");
  bytes = MakeTiff(GreyTags(), pixels);
  bytes[0] = bytes[1] = 'X';
  EXPECT_EQ(OpenError(bytes), "Tiff error Wrong TIFF order");
  bytes = MakeTiff(GreyTags(), pixels);
  bytes[2] = 44;
  EXPECT_EQ(OpenError(bytes), "Tiff error Wrong TIFF version");
  EXPECT_EQ(OpenError({'I', 'I', 42}), "Tiff error Wrong TIFF version");
  EXPECT_EQ(OpenError({}).rfind("Open read error ", 0), 0u);
}

// ---------------------------------------------------------------------------
// Real layouts written by GDAL, read cell by cell against GDAL's reading.

struct Variant {
  const char* Source;
  const char* Options;
  uint8_t CellType;
  bool MSBFirst;
  bool SignedBytes;  // GDAL reads signed bytes as unsigned
};

std::string VariantName(const ::testing::TestParamInfo<Variant>& info) {
  const std::string source = info.param.Source;
  return CaseName(source.substr(0, source.find('.')) + " " + info.param.Options);
}

// What a failure names the case by.
void PrintTo(const Variant& c, std::ostream* os) { *os << VariantName({c, 0}); }

class TifGdalLayouts : public ::testing::TestWithParam<Variant> {};

// Read by us and by GDAL, cell by cell; and converted under every
// placement, each output cell the input cell the placement designates.
TEST_P(TifGdalLayouts, ReadLikeGdal) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  const Variant& v = GetParam();
  TempDir dir;
  const std::string file = dir / "v.tif";
  const CommandResult made = test::Run(std::string("gdal_translate -q ") + v.Options + " " +
                                       Quote(Sample(v.Source)) + " " + Quote(file));
  ASSERT_EQ(made.ExitCode, 0) << made.Output;
  GdalRaster gdal;
  ASSERT_TRUE(ReadWithGdal(file, gdal));
  for (double& c : gdal.Cells) {
    if (v.SignedBytes && c > 127) c -= 256;
  }
  TTifMap2 map;
  ASSERT_TRUE(map.Open(file, 0, 0, 1, 1, omRead)) << map.Error().Text;
  EXPECT_EQ(map.GetCellType(), v.CellType);
  EXPECT_EQ(map.IsMSBFirst(), v.MSBFirst);
  ExpectSameCells(map, gdal);
  if (v.SignedBytes) return;  // an ER Mapper output would hold them signed
  for (int kind = 0; kind < 6; ++kind) {
    const std::string out = dir / ("k" + std::to_string(kind) + ".ers");
    const CommandResult job = RunCli({file, out, "/" + std::to_string(kind)});
    ASSERT_EQ(job.ExitCode, 0) << job.Output;
    GdalRaster placed;
    ASSERT_TRUE(ReadWithGdal(out, placed));
    ExpectPlaced(gdal, placed, kind);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Mapped, TifGdalLayouts,
    ::testing::Values(
        Variant{"logo.tif", "-co INTERLEAVE=PIXEL", ctUnsigned8, false, false},
        Variant{"logo.tif", "-co INTERLEAVE=BAND", ctUnsigned8, false, false},
        Variant{"logo.tif", "-co INTERLEAVE=PIXEL -co BLOCKYSIZE=5 -co ENDIANNESS=BIG", ctUnsigned8,
                true, false},
        Variant{"logo.tif", "-co INTERLEAVE=BAND -co BLOCKYSIZE=3 -co ENDIANNESS=BIG", ctUnsigned8,
                true, false},
        Variant{"logo.tif", "-b 1 -co PHOTOMETRIC=MINISWHITE", ctUnsigned8, false, false},
        Variant{"logo.tif", "-co PIXELTYPE=SIGNEDBYTE", ctSigned8, false, true},
        Variant{"elev.tif", "-ot Byte -scale", ctUnsigned8, false, false},
        Variant{"elev.tif", "-co TILED=NO", ctSigned16, false, false},
        Variant{"elev.tif", "-co ENDIANNESS=BIG -co BLOCKYSIZE=7", ctSigned16, true, false},
        Variant{"elev.tif", "-ot UInt16 -co BLOCKYSIZE=1", ctUnsigned16, false, false},
        Variant{"elev.tif", "-ot UInt16 -co PHOTOMETRIC=MINISWHITE -co ENDIANNESS=BIG",
                ctUnsigned16, true, false},
        Variant{"elev.tif", "-ot Float32 -scale 141 547 -1 1", ctFloat32, false, false},
        Variant{"elev.tif", "-ot Float32 -scale 141 547 -1 1 -co ENDIANNESS=BIG -co BLOCKYSIZE=4",
                ctFloat32, true, false},
        Variant{"elev.tif", "-ot Int32 -scale 141 547 -2000000000 2000000000 -co ENDIANNESS=BIG",
                ctSigned32, true, false},
        Variant{"elev.tif", "-ot Int32 -co BLOCKYSIZE=10", ctSigned32, false, false},
        Variant{"elev.tif", "-co BIGTIFF=YES", ctSigned16, false, false},
        Variant{"logo.tif", "-co BIGTIFF=YES -co ENDIANNESS=BIG -co INTERLEAVE=BAND", ctUnsigned8,
                true, false},
        // More than 65,535 strips.
        Variant{"elev.tif", "-outsize 3 70000 -co BLOCKYSIZE=1", ctSigned16, false, false}),
    VariantName);

// Layouts decoded through libtiff: cells in native order, so never MSB first.
INSTANTIATE_TEST_SUITE_P(
    Decoded, TifGdalLayouts,
    ::testing::Values(
        Variant{"logo.tif", "-co COMPRESS=LZW -co PREDICTOR=2", ctUnsigned8, false, false},
        Variant{"logo.tif",
                "-co COMPRESS=DEFLATE -co TILED=YES -co BLOCKXSIZE=16 -co BLOCKYSIZE=32",
                ctUnsigned8, false, false},
        Variant{"logo.tif", "-co COMPRESS=PACKBITS -co INTERLEAVE=BAND -co ENDIANNESS=BIG",
                ctUnsigned8, false, false},
        Variant{"logo.tif", "-co COMPRESS=JPEG -co PHOTOMETRIC=YCBCR", ctUnsigned8, false, false},
        Variant{"logo.tif", "-co COMPRESS=ZSTD -co TILED=YES -co BIGTIFF=YES", ctUnsigned8, false,
                false},
        Variant{"logo.tif", "-co COMPRESS=LZMA -co INTERLEAVE=BAND -co TILED=YES", ctUnsigned8,
                false, false},
        Variant{"logo.tif", "-co COMPRESS=WEBP", ctUnsigned8, false, false},
        Variant{"logo.tif", "-b 1 -scale 0 255 0 15 -co NBITS=4", ctUnsigned8, false, false},
        Variant{"logo.tif", "-b 1 -scale 0 255 0 1 -co NBITS=1 -co COMPRESS=CCITTFAX4", ctUnsigned8,
                false, false},
        Variant{"logo.tif", "-b 1 -scale 0 255 0 1 -co NBITS=1 -co PHOTOMETRIC=MINISWHITE",
                ctUnsigned8, false, false},
        Variant{"logo.tif", "-b 1 -co PHOTOMETRIC=PALETTE", ctUnsigned8, false, false},
        Variant{"logo.tif", "-co PIXELTYPE=SIGNEDBYTE -co COMPRESS=DEFLATE", ctSigned8, false,
                true},
        Variant{"elev.tif", "-co COMPRESS=DEFLATE -co PREDICTOR=2 -co TILED=YES", ctSigned16, false,
                false},
        Variant{"elev.tif", "-ot UInt16 -co NBITS=12 -co COMPRESS=LZW", ctUnsigned16, false, false},
        // Horizontal differences of wide samples, undone here: across pixels
        // of several samples, planes of their own, either byte order.
        Variant{"logo.tif",
                "-ot UInt16 -scale 0 255 0 65535 -co COMPRESS=LZW -co PREDICTOR=2 -co TILED=YES "
                "-co BLOCKXSIZE=32 -co BLOCKYSIZE=16 -co ENDIANNESS=BIG",
                ctUnsigned16, false, false},
        Variant{"logo.tif",
                "-ot Int16 -scale 0 255 -32768 32767 -co COMPRESS=DEFLATE -co PREDICTOR=2 "
                "-co INTERLEAVE=BAND -co BLOCKYSIZE=5",
                ctSigned16, false, false},
        Variant{"elev.tif",
                "-ot Int32 -scale 141 547 -2000000000 2000000000 -co COMPRESS=ZSTD -co PREDICTOR=2 "
                "-co TILED=YES -co BLOCKXSIZE=16 -co BLOCKYSIZE=16",
                ctSigned32, false, false},
        Variant{"elev.tif", "-ot Float32 -scale 141 547 -1 1 -co COMPRESS=DEFLATE -co PREDICTOR=3",
                ctFloat32, false, false},
        Variant{"elev.tif", "-ot Float32 -co PHOTOMETRIC=MINISWHITE", ctFloat32, false, false},
        Variant{"elev.tif", "-ot Int32 -co COMPRESS=LZW -co INTERLEAVE=BAND -co ENDIANNESS=BIG",
                ctSigned32, false, false},
        Variant{"elev.tif",
                "-ot Int16 -co COMPRESS=PACKBITS -co TILED=YES -co BLOCKXSIZE=32 "
                "-co BLOCKYSIZE=16 -co BIGTIFF=YES -co ENDIANNESS=BIG",
                ctSigned16, false, false}),
    VariantName);

TEST(TifRead, SamplesLikeGdal) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  for (const char* name : {"elev.tif", "logo.tif"}) {
    TTifMap2 map;
    ASSERT_TRUE(map.Open(Sample(name), 0, 0, 1, 1, omRead)) << map.Error().Text;
    GdalRaster gdal;
    ASSERT_TRUE(ReadWithGdal(Sample(name), gdal));
    ExpectSameCells(map, gdal);
  }
}

TEST(TifRead, UnreadLayoutsAreRefusedNotZeroed) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  const struct {
    const char* Options;
    const char* Error;
  } cases[] = {
      {"-ot CInt16", "32-bit complex integer samples not supported"},
      {"-ot CFloat32 -co COMPRESS=LZW", "64-bit complex floating-point samples not supported"},
  };
  TempDir dir;
  for (const auto& c : cases) {
    const std::string file = dir / "r.tif";
    ASSERT_EQ(test::Run(std::string("gdal_translate -q ") + c.Options + " " +
                        Quote(Sample("elev.tif")) + " " + Quote(file))
                  .ExitCode,
              0);
    TTifMap2 map;
    EXPECT_FALSE(map.Open(file, 0, 0, 1, 1, omRead)) << c.Options;
    EXPECT_EQ(map.Error().Text, "Tiff error in " + file + ": " + c.Error) << c.Options;
    // The job ends with the reason rather than "Successful Finish".
    const CommandResult job = RunCli({file, dir / "r.ers"});
    EXPECT_EQ(job.ExitCode, 1) << c.Options;
    EXPECT_NE(job.Output.find(c.Error), std::string::npos) << job.Output;
    std::remove(file.c_str());
  }
}

// ---------------------------------------------------------------------------
// Georeference read from GeoTIFF tags and world files.

void ExpectPlacedLikeGdal(TTifMap2& map, const std::string& file) {
  const std::vector<double> gt = GdalGeoTransform(file);
  ASSERT_EQ(gt.size(), 6u);
  EXPECT_EQ(map.GetGeoreference().Affine.X0, gt[0]);
  EXPECT_EQ(map.GetGeoreference().Affine.Y0, gt[3]);
  EXPECT_EQ(map.GetGeoreference().Affine.CellSizeX, gt[1]);
  EXPECT_EQ(map.GetGeoreference().Affine.CellSizeY, -gt[5]);
}

TEST(TifGeoreference, SampleAndGdalMadeGeoTiffs) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  TTifMap2 elev;
  ASSERT_TRUE(elev.Open(Sample("elev.tif"), 0, 0, 1, 1, omRead));
  ExpectPlacedLikeGdal(elev, Sample("elev.tif"));
  std::string text;
  text = elev.GetGeoreference().Projection;
  EXPECT_EQ(text, "GEODETIC");
  text = elev.GetGeoreference().Datum;
  EXPECT_EQ(text, "WGS84");

  TempDir dir;
  const struct {
    const char* Options;
    const char* Projection;
  } cases[] = {
      {"-a_srs EPSG:32632 -a_ullr 500000 5600000 500950 5599100", "NUTM32"},
      {"-a_srs EPSG:32705 -a_ullr 500000 9000000 500950 8999100", "SUTM05"},
      // Pixel-is-point: the tie point names a pixel centre.
      {"-a_srs EPSG:32632 -a_ullr 500000 5600000 500950 5599100 -mo AREA_OR_POINT=Point", "NUTM32"},
      // Without an ER Mapper name, the code as GDAL writes it.
      {"-a_srs EPSG:2154 -a_ullr 700000 6600000 700950 6599100", "EPSG:2154"},
      // World file only, read as the centre of the top-left pixel.
      {"-a_ullr 1000 2000 1190 1910 -co PROFILE=BASELINE -co TFW=YES", "UNKNOWN"},
  };
  for (const auto& c : cases) {
    const std::string file = dir / "g.tif";
    ASSERT_EQ(test::Run(std::string("gdal_translate -q ") + c.Options + " " +
                        Quote(Sample("elev.tif")) + " " + Quote(file))
                  .ExitCode,
              0);
    TTifMap2 map;
    ASSERT_TRUE(map.Open(file, 0, 0, 1, 1, omRead)) << map.Error().Text;
    ExpectPlacedLikeGdal(map, file);
    text = map.GetGeoreference().Projection;
    EXPECT_EQ(text, c.Projection) << c.Options;
  }
  // A rotated placement comes as a ModelTransformation.
  const std::string vrt = dir / "r.vrt";
  ASSERT_EQ(test::Run("gdal_translate -q -of VRT " + Quote(Sample("elev.tif")) + " " + Quote(vrt))
                .ExitCode,
            0);
  std::string vrtText = ReadText(vrt);
  const size_t gtAt = vrtText.find("<GeoTransform>");
  vrtText.replace(gtAt, vrtText.find("</GeoTransform>") - gtAt,
                  "<GeoTransform>100, 2, 0.5, 200, 0.25, -3");
  WriteText(vrt, vrtText);
  ASSERT_EQ(test::Run("gdal_translate -q " + Quote(vrt) + " " + Quote(dir / "r.tif")).ExitCode, 0);
  TTifMap2 rotated;
  ASSERT_TRUE(rotated.Open(dir / "r.tif", 0, 0, 1, 1, omRead));
  double x, y;
  rotated.GetGeoreference().Affine.PixelToWorld(10, 20, x, y);
  EXPECT_EQ(x, 100 + 10 * 2 + 20 * 0.5);
  EXPECT_EQ(y, 200 + 10 * 0.25 - 20 * 3);

  // The world file is found whatever the case of its extension.
  ASSERT_EQ(std::rename((dir / "g.tif").c_str(), (dir / "IMG.TIF").c_str()), 0);
  ASSERT_EQ(std::rename((dir / "g.tfw").c_str(), (dir / "IMG.TFW").c_str()), 0);
  TTifMap2 upper;
  ASSERT_TRUE(upper.Open(dir / "IMG.TIF", 0, 0, 1, 1, omRead));
  EXPECT_EQ(upper.GetGeoreference().Affine.X0, 1000);
  EXPECT_EQ(upper.GetGeoreference().Affine.Y0, 2000);
  EXPECT_EQ(upper.GetGeoreference().Affine.CellSizeX, 2);
}

TEST(TifGeoreference, RotatedWorldFile) {
  TempDir dir;
  std::vector<Tag> tags = GreyTags();
  WriteBytes(dir / "r.tif", MakeTiff(tags, GreyPixels()));
  WriteText(dir / "r.tifw", "2\r\n0.5\r\n0.25\r\n-3\r\n101.125\r\n199.75\r\n");
  WriteText(dir / "r.tfw", "9\n0\n0\n-9\n0\n0\n");
  TTifMap2 map;
  ASSERT_TRUE(map.Open(dir / "r.tif", 0, 0, 1, 1, omRead));
  EXPECT_EQ(map.GetGeoreference().Affine.CellSizeX, 2);  // ".tifw" wins over ".tfw"
  // Line 5/6 name the centre of pixel (0, 0): its corner is half a step back.
  double x, y;
  map.GetGeoreference().Affine.PixelToWorld(0.5, 0.5, x, y);
  EXPECT_DOUBLE_EQ(x, 101.125);
  EXPECT_DOUBLE_EQ(y, 199.75);
  double c, r;
  map.GetGeoreference().Affine.WorldToPixel(x, y, c, r);
  EXPECT_DOUBLE_EQ(c, 0.5);
  EXPECT_DOUBLE_EQ(r, 0.5);
  EXPECT_EQ(map.GetGeoreference().Affine.RowTermX, 0.25);
  EXPECT_EQ(map.GetGeoreference().Affine.ColumnTermY, 0.5);
}

// ---------------------------------------------------------------------------
// Writing.

TEST(TifWrite, CrsKeysOnlyWhenTheNameTells) {
  const struct {
    const char* Projection;
    const char* Datum;
    double OriginX;
    uint16_t ModelType, Code;
    double Prefix;
  } cases[] = {
      {"NUTM32", "WGS84", 500000, gmProjected, 32632, 0},
      {"\"NUTM05\"", "\"WGS84\"", 500000, gmProjected, 32605, 0},
      {"SUTM33", "", 500000, gmProjected, 32733, 0},
      {"NUTM", "WGS84", 500000, gmNone, 0, 0},
      {"NUTM61", "WGS84", 500000, gmNone, 0, 0},
      {"NUTM32", "NAD27", 500000, gmNone, 0, 0},
      {"TMGKN8", "PULKOVO", 8500000, gmProjected, 28408, 0},
      {"UTM_South", "WGS84", 35500000, gmProjected, 32735, 35000000},
      {"UTM_North", "WGS84", 32400000, gmProjected, 32632, 32000000},
      {"UTM_North", "WGS84", 61400000, gmNone, 0, 0},
      {"UTM_North", "WGS84", 400000, gmNone, 0, 0},
      {"Gauss_North", "", 4500000, gmProjected, 28404, 0},
      {"Gauss_South", "", 4500000, gmNone, 0, 0},
      {"GEODETIC", "WGS84", 5.7, gmGeographic, 4326, 0},
      {"GEODETIC", "NAD27", 5.7, gmGeographic, 4267, 0},
      {"NUTM17", "NAD83", 500000, gmProjected, 26917, 0},
      {"EPSG:26771", "EPSG:26771", 500000, gmProjected, 26771, 0},
      {"EPSG:99999", "EPSG:99999", 500000, gmNone, 0, 0},
      {"RAW", "RAW", 0, gmNone, 0, 0},
      {"LOCAL", "WGS84", 0, gmNone, 0, 0},
  };
  for (const auto& c : cases) {
    const TGeoTiffCrs crs = GeoTiffCrsFor(c.Projection, c.Datum, c.OriginX);
    EXPECT_EQ(crs.ModelType, c.ModelType) << c.Projection << " " << c.OriginX;
    EXPECT_EQ(crs.Code, c.Code) << c.Projection << " " << c.OriginX;
    EXPECT_EQ(crs.EastingPrefix, c.Prefix) << c.Projection;
  }
}

std::vector<uint8_t> LeDouble(double v) {
  std::vector<uint8_t> b(8);
  std::memcpy(b.data(), &v, 8);
  return b;
}

// The fixed header, spelled out: 17 entries (the 16 of the layout plus
// SampleFormat), then the arrays they point to.
std::vector<uint8_t> ExpectedHeader(uint32_t width, uint32_t length, uint32_t bands, uint32_t bits,
                                    uint32_t format, double sx, double sy, double x, double y,
                                    std::vector<uint32_t> keys) {
  std::vector<uint8_t> h(kTiffHeaderSize);
  h[0] = h[1] = 'I';
  Put16(h, 2, 42);
  Put32(h, 4, 8);
  Put16(h, 8, 17);
  const Tag entries[] = {{256, 4, 1, width},
                         {257, 4, 1, length},
                         {258, 3, bands, bands == 1 ? bits : 218},
                         {259, 3, 1, 1},
                         {262, 3, 1, bands == 1 ? 1u : 2u},
                         {273, 4, 1, 368},
                         {277, 3, 1, bands},
                         {278, 4, 1, length},
                         {279, 4, 1, width * length * bands * bits / 8},
                         {282, 5, 1, 232},
                         {283, 5, 1, 240},
                         {284, 3, 1, 1},
                         {296, 3, 1, 3},
                         {339, 3, bands, bands == 1 ? format : 224},
                         {33550, 12, 3, 248},
                         {33922, 12, 6, 272},
                         {34735, 3, static_cast<uint32_t>(keys.size()), 320}};
  size_t at = 10;
  for (const Tag& e : entries) {
    Put16(h, at, e.Id);
    Put16(h, at + 2, e.Type);
    Put32(h, at + 4, e.Count);
    if (e.Type == 3 && e.Count == 1)
      Put16(h, at + 8, e.Value);
    else
      Put32(h, at + 8, e.Value);
    at += 12;
  }
  for (int i = 0; i < 3; ++i) {
    Put16(h, 218 + 2 * i, bits);
    Put16(h, 224 + 2 * i, format);
  }
  for (size_t o : {232, 236, 240, 244}) Put32(h, o, 1);
  auto put = [&](size_t o, const std::vector<uint8_t>& b) {
    std::copy(b.begin(), b.end(), h.begin() + o);
  };
  put(248, LeDouble(sx));
  put(256, LeDouble(sy));
  put(296, LeDouble(x));
  put(304, LeDouble(y));
  for (size_t i = 0; i < keys.size(); ++i) Put16(h, 320 + 2 * i, keys[i]);
  return h;
}

TEST(TifWrite, HeaderByteForByte) {
  TempDir dir;
  {
    TTifMap2 map;
    ASSERT_TRUE(map.Open(dir / "g.tif", 10, 20, ctUnsigned8, 1, omCreate));
    map.SetGeoreference(PlacedAt(2.5, 4, 500000, 5600000, "WGS84", "WGS84", "NUTM32"));
    ASSERT_TRUE(map.Close()) << map.Error().Text;
  }
  std::vector<uint8_t> file = ReadBytes(dir / "g.tif");
  ASSERT_EQ(file.size(), 368u + 200);
  EXPECT_EQ(std::vector<uint8_t>(file.begin(), file.begin() + 368),
            ExpectedHeader(10, 20, 1, 8, 1, 2.5, 4, 500000, 5600000,
                           {1,    1, 0, 5,     1024, 0, 1, 1,    1025, 0, 1, 1,
                            3072, 0, 1, 32632, 3076, 0, 1, 9001, 4099, 0, 1, 9001}));
  EXPECT_EQ(ReadText(dir / "g.tfw"),
            "  2.50000000000000\r\n  0.00000000000000\r\n  0.00000000000000\r\n"
            " -4.00000000000000\r\n500001.25000000000000\r\n5599998.00000000000000\r\n");
  {
    TTifMap2 map;
    ASSERT_TRUE(map.Open(dir / "s.tif", 7, 3, ctSigned16, 3, omCreate));
    map.SetGeoreference(PlacedAt(1, 1, 10, 20, "", "", "LOCAL"));
    ASSERT_TRUE(map.Close()) << map.Error().Text;
  }
  file = ReadBytes(dir / "s.tif");
  ASSERT_EQ(file.size(), 368u + 7 * 3 * 3 * 2);
  EXPECT_EQ(std::vector<uint8_t>(file.begin(), file.begin() + 368),
            ExpectedHeader(7, 3, 3, 16, 2, 1, 1, 10, 20, {1, 1, 0, 0}));
}

// Extras given before the Open come back through our own reader: the
// no-data value (NaN as well), the rotation terms in ModelTransformation;
// a file given no georeference reads as placed nowhere.
TEST(TifWrite, ExtrasReadBack) {
  TempDir dir;
  struct Case {
    const char* Name;
    uint8_t Type;
    uint32_t Bands;
    double ColumnTermY, RowTermX, NoData;
  } cases[] = {{"nan.tif", ctFloat32, 1, 0, 0, std::nan("")},
               {"rot.tif", ctUnsigned8, 3, 0.5, -0.75, -9999},
               {"big.tif", ctSigned16, 1, 0, 0, -3.4028234663852886e38}};
  for (const Case& c : cases) {
    TGeoreference planned = PlacedAt(2, 3, 1000, 2000, "", "", "LOCAL");
    planned.Affine.ColumnTermY = c.ColumnTermY;
    planned.Affine.RowTermX = c.RowTermX;
    planned.NoData = c.NoData;
    {
      TTifMap2 map;
      map.PlanGeoreference(planned);
      ASSERT_TRUE(map.Open(dir / c.Name, 5, 4, c.Type, c.Bands, omCreate));
      map.SetGeoreference(planned);
      ASSERT_TRUE(map.Close()) << map.Error().Text;
    }
    TTifMap2 back;
    ASSERT_TRUE(back.Open(dir / c.Name, 0, 0, 1, 1, omRead)) << back.Error().Text;
    EXPECT_TRUE(back.GetGeoreference().Placed) << c.Name;
    ASSERT_TRUE(back.GetGeoreference().NoData.has_value()) << c.Name;
    if (std::isnan(c.NoData))
      EXPECT_TRUE(std::isnan(*back.GetGeoreference().NoData)) << c.Name;
    else
      EXPECT_EQ(*back.GetGeoreference().NoData, c.NoData) << c.Name;
    EXPECT_EQ(back.GetGeoreference().Affine.ColumnTermY, c.ColumnTermY) << c.Name;
    EXPECT_EQ(back.GetGeoreference().Affine.RowTermX, c.RowTermX) << c.Name;
    EXPECT_EQ(back.GetGeoreference().Affine.X0, 1000) << c.Name;
    EXPECT_EQ(back.GetGeoreference().Affine.CellSizeY, 3) << c.Name;
  }
  for (uint32_t bands : {1u, 2u}) {
    const std::string name = dir / ("plain" + std::to_string(bands) + ".tif");
    {
      TTifMap2 map;
      ASSERT_TRUE(map.Open(name, 5, 4, ctUnsigned8, bands, omCreate));
      ASSERT_TRUE(map.Close()) << map.Error().Text;
    }
    TTifMap2 back;
    ASSERT_TRUE(back.Open(name, 0, 0, 1, 1, omRead)) << back.Error().Text;
    EXPECT_FALSE(back.GetGeoreference().Placed) << bands;
    EXPECT_FALSE(back.GetGeoreference().NoData.has_value()) << bands;
    EXPECT_FALSE(Exists(dir / ("plain" + std::to_string(bands) + ".tfw")));
  }
}

TEST(TifWrite, RefusalsBeforeAnythingIsCreated) {
  TempDir dir;
  TTifMap2 a;
  EXPECT_FALSE(a.Open(dir / "a.tif", 10, 10, ctThreeBytes, 1, omCreate));
  EXPECT_EQ(a.Error().Text, "TIFF files cannot hold 24-bit RGB cells");
  TTifMap2 b;
  EXPECT_FALSE(b.Open(dir / "b.tif", 10, 10, ctUnsigned8, 0, omCreate));
  EXPECT_EQ(b.Error().Text, "TIFF files hold 1 to 65535 bands, not 0");
  TTifMap2 c;
  EXPECT_FALSE(c.Open(dir / "c.tif", 10, 10, ctOneBit, 1, omCreate));
  EXPECT_EQ(c.Error().Text, "Bit type not supported");
  EXPECT_FALSE(Exists(dir / "a.tif") || Exists(dir / "b.tif") || Exists(dir / "c.tif"));
}

// Rasters the fixed header does not cover: every cell type and band count,
// read back by GDAL with the same cells, sample types and colour meaning.
TEST(TifWrite, AnyCellTypeAndBandCountReadBackByGdal) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  TempDir dir;
  std::vector<TestRaster> testRasters = AllCellTypes();
  for (TestRaster& s : testRasters) s.Bands = 2;
  testRasters[0].Bands = 4;  // RGB and one extra sample
  testRasters[4].Bands = 1;
  testRasters[5].Bands = 3;  // floats are no colours
  const char* gdalTypes[] = {"Byte",  "Byte",    "Int16",   "UInt16",
                             "Int32", "Float32", "Float64", "UInt32"};
  for (size_t i = 0; i < testRasters.size(); ++i) {
    const TestRaster& s = testRasters[i];
    WriteErs(dir / "in.ers", s);
    for (int kind : {0, 3}) {
      const std::string out = dir / "out.tif";
      const CommandResult job = RunCli({dir / "in.ers", out, "/" + std::to_string(kind)});
      ASSERT_EQ(job.ExitCode, 0) << s.CellType << job.Output;
      GdalRaster in, back;
      ASSERT_TRUE(ReadWithGdal(dir / "in.ers", in));
      ASSERT_TRUE(ReadWithGdal(out, back));
      ExpectPlaced(in, back, kind);
      const CommandResult info = test::Run("gdalinfo " + Quote(out));
      EXPECT_NE(info.Output.find(std::string("Type=") + gdalTypes[i]), std::string::npos)
          << s.CellType << info.Output;
      EXPECT_EQ(info.Output.find("ColorInterp=Red") != std::string::npos,
                s.Bands >= 3 && s.Width <= 2 && !s.Float)
          << s.CellType << info.Output;
      EXPECT_EQ(info.Output.find("Warning"), std::string::npos) << info.Output;
    }
  }
}

TEST(TifWrite, SignedCellsStaySignedAndGdalPlacesThemWhereWeDo) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  TempDir dir;
  const std::string file = dir / "s.tif";
  {
    TTifMap2 map;
    ASSERT_TRUE(map.Open(file, 3, 2, ctSigned16, 1, omCreate));
    map.SetGeoreference(PlacedAt(30, 20, 35500000, 7000000, "", "WGS84", "UTM_South"));
    const float values[] = {-5, -32768, 32767, 0, 1, -1};
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(map.WriteCell(i % 3, i / 3, 0, values[i]));
    ASSERT_TRUE(map.Close());
  }
  TTifMap2 back;
  ASSERT_TRUE(back.Open(file, 0, 0, 1, 1, omRead));
  EXPECT_EQ(back.GetCellType(), ctSigned16);
  GdalRaster gdal;
  ASSERT_TRUE(ReadWithGdal(file, gdal));
  EXPECT_EQ(gdal.At(0, 0, 0), -5);
  ExpectSameCells(back, gdal);
  EXPECT_NE(test::Run("gdalinfo " + Quote(file)).Output.find("Type=Int16"), std::string::npos);
  // Southern zone 35, eastings without their zone prefix, outer corner.
  EXPECT_EQ(GdalCrs(file), "EPSG:32735");
  EXPECT_EQ(GdalGeoTransform(file), (std::vector<double>{500000, 30, 0, 7000000, 0, -20}));
  EXPECT_NE(ReadText(dir / "s.tfw").find("\r\n500015.00000000000000\r\n"), std::string::npos);
  std::string projection;
  projection = back.GetGeoreference().Projection;
  EXPECT_EQ(projection, "SUTM35");
}

TEST(TifWrite, WorldFileThatCannotBeWrittenFailsTheJob) {
  TempDir dir;
  std::filesystem::create_directory(dir / "out.tfw");
  const CommandResult r = RunCli({Sample("elev.ers"), dir / "out.tif"});
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_NE(r.Output.find("Output " + (dir / "out.tfw") + " is a folder"), std::string::npos)
      << r.Output;
}

// ---------------------------------------------------------------------------
// End to end through mirava-cli, checked by GDAL.

class TifEndToEnd : public ::testing::TestWithParam<int> {};

TEST_P(TifEndToEnd, ErsToTiffAndTiffToErs) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  const int kind = GetParam();
  TempDir dir;
  const std::string kindSwitch = "/" + std::to_string(kind);

  GdalRaster ers;
  ASSERT_TRUE(ReadWithGdal(Sample("elev.ers"), ers));
  const std::vector<double> ersGt = GdalGeoTransform(Sample("elev.ers"));
  CommandResult r = RunCli({Sample("elev.ers"), dir / "out.tif", kindSwitch});
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  GdalRaster tif;
  ASSERT_TRUE(ReadWithGdal(dir / "out.tif", tif));
  ExpectPlaced(ers, tif, kind);
  EXPECT_NE(test::Run("gdalinfo " + Quote(dir / "out.tif")).Output.find("Type=Int16"),
            std::string::npos);
  EXPECT_EQ(GdalGeoTransform(dir / "out.tif"), ersGt);
  EXPECT_EQ(GdalCrs(dir / "out.tif"), "EPSG:4326");

  GdalRaster sample;
  ASSERT_TRUE(ReadWithGdal(Sample("elev.tif"), sample));
  r = RunCli({Sample("elev.tif"), dir / "back.ers", kindSwitch});
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  GdalRaster back;
  ASSERT_TRUE(ReadWithGdal(dir / "back.ers", back));
  ExpectPlaced(sample, back, kind);
  EXPECT_EQ(GdalGeoTransform(dir / "back.ers"), GdalGeoTransform(Sample("elev.tif")));
  // GDAL names no CRS for ER Mapper headers here (it lacks their dictionary):
  // the header itself must carry the GeoTIFF's.
  const std::string header = ReadText(dir / "back.ers");
  EXPECT_NE(header.find("Projection = \"GEODETIC\""), std::string::npos) << header;
  EXPECT_NE(header.find("Datum      = \"WGS84\""), std::string::npos) << header;

  // TIFF to TIFF, RGB, upper-case extension.
  r = RunCli({Sample("logo.tif"), dir / "LOGO.TIFF", kindSwitch});
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  GdalRaster logo, out;
  ASSERT_TRUE(ReadWithGdal(Sample("logo.tif"), logo));
  ASSERT_TRUE(ReadWithGdal(dir / "LOGO.TIFF", out));
  ExpectPlaced(logo, out, kind);
  EXPECT_EQ(GdalGeoTransform(dir / "LOGO.TIFF"), GdalGeoTransform(Sample("logo.tif")));
  // Its local system's keys are kept as they were.
  EXPECT_EQ(GdalCrs(dir / "LOGO.TIFF"), GdalCrs(Sample("logo.tif")));
}

INSTANTIATE_TEST_SUITE_P(Kinds, TifEndToEnd, ::testing::Values(0, 1, 2, 3, 4, 5),
                         [](const auto& info) { return mirava::test::KindName(info.param); });

// GDAL-made 64-bit float and unsigned 32-bit cells, striped as read in
// place and compressed as decoded, keep every bit through ER Mapper, OSD and
// TIFF: values a float cannot hold, read back by GDAL.
class WideCellsEndToEnd : public ::testing::TestWithParam<int> {};

TEST_P(WideCellsEndToEnd, ExactThroughErsOsdAndTiff) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  const int kind = GetParam();
  const std::string kindSwitch = "/" + std::to_string(kind);
  const struct {
    const char* Options;
    const char* GdalType;
  } inputs[] = {
      {"-ot Float64 -scale 141 547 -1000.1 1e9", "Float64"},
      {"-ot Float64 -scale 141 547 0.1 1 -co COMPRESS=DEFLATE -co PREDICTOR=3 -co TILED=YES "
       "-co BLOCKXSIZE=32 -co BLOCKYSIZE=16",
       "Float64"},
      {"-ot UInt32 -scale 141 547 4000000001 4294967295", "UInt32"},
      {"-ot UInt32 -scale 141 547 4000000001 4294967295 -co COMPRESS=LZW -co PREDICTOR=2",
       "UInt32"},
  };
  TempDir dir;
  for (const auto& input : inputs) {
    SCOPED_TRACE(input.Options);
    const std::string in = dir / "in.tif";
    ASSERT_EQ(test::Run(std::string("gdal_translate -q ") + input.Options + " " +
                        Quote(Sample("elev.tif")) + " " + Quote(in))
                  .ExitCode,
              0);
    GdalRaster original;
    ASSERT_TRUE(ReadWithGdal(in, original));
    for (const char* out : {"out.ers", "out.tif"}) {
      const CommandResult r = RunCli({in, dir / out, kindSwitch});
      ASSERT_EQ(r.ExitCode, 0) << r.Output;
      GdalRaster placed;
      ASSERT_TRUE(ReadWithGdal(dir / out, placed));
      ExpectPlaced(original, placed, kind);
      EXPECT_NE(test::Run("gdalinfo " + Quote(dir / out))
                    .Output.find(std::string("Type=") + input.GdalType),
                std::string::npos)
          << out;
      EXPECT_EQ(GdalGeoTransform(dir / out).size(), 6u);
    }
    // OSD, which GDAL does not read: there and back to TIFF.
    ASSERT_EQ(RunCli({in, dir / "out.osd", kindSwitch}).ExitCode, 0);
    ASSERT_EQ(RunCli({dir / "out.osd", dir / "back.tif"}).ExitCode, 0);
    GdalRaster back;
    ASSERT_TRUE(ReadWithGdal(dir / "back.tif", back));
    ExpectPlaced(original, back, kind);
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, WideCellsEndToEnd, ::testing::Values(0, 1, 2, 3, 4, 5),
                         [](const auto& info) { return mirava::test::KindName(info.param); });

// Outputs that cannot hold such cells refuse them by name before any file
// of theirs exists.
TEST(WideCellsEndToEnd, RefusedByNameWhereTheyCannotBeHeld) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  TempDir dir;
  ASSERT_EQ(test::Run("gdal_translate -q -ot Float64 " + Quote(Sample("elev.tif")) + " " +
                      Quote(dir / "f64.tif"))
                .ExitCode,
            0);
  ASSERT_EQ(test::Run("gdal_translate -q -ot UInt32 " + Quote(Sample("elev.tif")) + " " +
                      Quote(dir / "u32.tif"))
                .ExitCode,
            0);
  const struct {
    const char *In, *Out, *Message;
  } cases[] = {
      {"f64.tif", "o.jpg", "JPEG files support only byte data, not 64-bit float cells"},
      {"u32.tif", "o.ecw", "ECW files support only byte data, not unsigned 32-bit integer cells"},
      {"f64.tif", "o.bmp", "BMP files support only byte data"},
      {"f64.tif", "o.dtm", "DTM files hold 32-bit floats; 64-bit float cells cannot be written"},
      {"u32.tif", "o.veg",
       "VEG files hold 32-bit floats; unsigned 32-bit integer cells cannot be written"},
      {"u32.tif", "o.001", "NOG files hold signed 16-bit cells; unsigned 32-bit integer cells"},
  };
  for (const auto& c : cases) {
    const CommandResult r = RunCli({dir / c.In, dir / c.Out});
    EXPECT_EQ(r.ExitCode, 1) << r.Output;
    EXPECT_NE(r.Output.find(c.Message), std::string::npos) << r.Output;
    EXPECT_FALSE(Exists(dir / c.Out)) << c.Out;
  }
}

TEST(TifEndToEnd, ControlPointsBesideTheInputTravel) {
  TempDir dir;
  std::filesystem::copy_file(Sample("elev.tif"), dir / "IN.TIF");
  {
    TGCPList list;
    TGCPoint p;
    p.SetName("A");
    p.SetEnabled(true);
    p.SetCellX(10);
    p.SetCellY(5);
    p.SetX(6.0);
    p.SetY(50.0);
    list.Add(&p);
    ASSERT_FALSE(list.SaveToFile(dir / "IN.GCP", FilesInPlace()).Failed());
  }
  const CommandResult r = RunCli({dir / "IN.TIF", dir / "out.ers", "/1"});
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  TGCPList moved;
  ASSERT_TRUE(moved.LoadFromFile(dir / "out.gcp"));
  ASSERT_EQ(moved.Count(), 1);
  EXPECT_EQ(moved.Items(0)->GetCellX(), 95 - 10);
  EXPECT_EQ(moved.Items(0)->GetCellY(), 5);
}

// Past 4 GiB of pixels a BigTIFF, which GDAL and we open with the cells in
// place. Written through the dataset, so that only two cells reach the disk.
TEST(TifWrite, BigTiffPastFourGiB) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  TempDir dir;
  const std::string name = dir / "big.tif";
  {
    TTifMap2 map;
    ASSERT_TRUE(map.Open(name, 66000, 66000, ctUnsigned8, 1, omCreate)) << map.Error().Text;
    map.SetGeoreference(PlacedAt(2, 2, 500000, 5600000, "WGS84", "WGS84", "NUTM32"));
    ASSERT_TRUE(map.WriteCell(65999, 0, 0, 7));
    ASSERT_TRUE(map.WriteCell(3, 65999, 0, 9));
    ASSERT_TRUE(map.Close()) << map.Error().Text;
  }
  EXPECT_TRUE(IsBigTiff(name));
  const CommandResult info = test::Run("gdalinfo " + Quote(name));
  EXPECT_NE(info.Output.find("Size is 66000, 66000"), std::string::npos) << info.Output;
  EXPECT_NE(info.Output.find("Origin = (500000.000000000000000,5600000.000000000000000)"),
            std::string::npos)
      << info.Output;
  const CommandResult cells =
      test::Run("gdallocationinfo -valonly " + Quote(name) +
                " 65999 0 && gdallocationinfo -valonly " + Quote(name) + " 3 65999");
  EXPECT_EQ(cells.Output, "7\n9\n");
  TTifMap2 back;
  ASSERT_TRUE(back.Open(name, 0, 0, 1, 1, omRead)) << back.Error().Text;
  float v = 0;
  ASSERT_TRUE(back.ReadCell(3, 65999, 0, v));
  EXPECT_EQ(v, 9);
}

TEST(TifEndToEnd, FourBandsAndFloatsWhateverTheCase) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  TempDir dir;
  ASSERT_EQ(test::Run("gdal_translate -q -b 1 -b 2 -b 3 -b 1 " + Quote(Sample("logo.tif")) + " " +
                      Quote(dir / "four.tif"))
                .ExitCode,
            0);
  ASSERT_EQ(test::Run("gdal_translate -q -ot Float32 -scale 141 547 -1 1 " +
                      Quote(Sample("elev.tif")) + " " + Quote(dir / "float.tif"))
                .ExitCode,
            0);
  for (const char* in : {"four.tif", "float.tif"})
    for (const char* out : {"out.TIF", "out.tiff"}) {
      const CommandResult r = RunCli({dir / in, dir / out, "/2"});
      ASSERT_EQ(r.ExitCode, 0) << r.Output;
      GdalRaster original, turned;
      ASSERT_TRUE(ReadWithGdal(dir / in, original));
      ASSERT_TRUE(ReadWithGdal(dir / out, turned));
      ExpectPlaced(original, turned, 2);
    }
}

}  // namespace
}  // namespace mirava
