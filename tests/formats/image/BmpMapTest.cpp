#include "formats/image/BmpMap.h"

#include <gtest/gtest.h>

#include <array>

#include "../../TestUtil.h"
#include "../../Placement.h"
#include "ImageTestUtil.h"
#include "georef/ControlPoints.h"
#include "raster/CellType.h"
#include "text/TextUtils.h"

namespace mirava {
namespace {

using namespace mirava::test;

void Put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = v & 0xFF;
  b[at + 1] = (v >> 8) & 0xFF;
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = (v >> (8 * i)) & 0xFF;
}
uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// A bitmap as other programs write it: rows bottom-up, padded to 4 bytes.
// `pixel(c, r)` gives the stored bytes of a pixel (blue first for 24 bits).
struct BmpLayout {
  int32_t Width = 3;
  int32_t Height = 2;
  uint16_t Bits = 24;
  std::vector<std::array<uint8_t, 3>> Palette;  // red, green, blue
  uint32_t Compression = 0;
  uint32_t InfoSize = 40;
  size_t Trailing = 0;  // bytes after the pixels
};

std::vector<uint8_t> MakeBmp(const BmpLayout& s) {
  const uint32_t paletteBytes = 4 * static_cast<uint32_t>(s.Palette.size());
  const uint32_t offset = 14 + s.InfoSize + paletteBytes;
  const uint32_t stride = (std::abs(s.Width) * s.Bits + 31) / 32 * 4;
  const uint32_t rows = static_cast<uint32_t>(std::abs(s.Height));
  std::vector<uint8_t> b(offset + stride * rows + s.Trailing, 0);
  b[0] = 'B';
  b[1] = 'M';
  Put32(b, 2, static_cast<uint32_t>(b.size()));
  Put32(b, 10, offset);
  Put32(b, 14, s.InfoSize);
  if (s.InfoSize >= 40) {
    Put32(b, 18, static_cast<uint32_t>(s.Width));
    Put32(b, 22, static_cast<uint32_t>(s.Height));
    Put16(b, 26, 1);
    Put16(b, 28, s.Bits);
    Put32(b, 30, s.Compression);
    Put32(b, 46, static_cast<uint32_t>(s.Palette.size()));
  }
  for (size_t i = 0; i < s.Palette.size(); ++i) {
    b[14 + s.InfoSize + 4 * i] = s.Palette[i][2];
    b[14 + s.InfoSize + 4 * i + 1] = s.Palette[i][1];
    b[14 + s.InfoSize + 4 * i + 2] = s.Palette[i][0];
  }
  const uint32_t bytesPerPixel = s.Bits / 8;
  for (uint32_t r = 0; r < rows; ++r)  // stored row r is picture row rows-1-r
    for (uint32_t i = 0; i < std::abs(s.Width) * bytesPerPixel; ++i)
      b[offset + r * stride + i] = static_cast<uint8_t>(7 * (rows - 1 - r) + 31 * i + 1);
  for (size_t i = 0; i < s.Trailing; ++i) b[b.size() - 1 - i] = 0xEE;
  return b;
}

std::vector<std::array<uint8_t, 3>> GreyRamp() {
  std::vector<std::array<uint8_t, 3>> p(256);
  for (int i = 0; i < 256; ++i)
    p[i] = {static_cast<uint8_t>(i), static_cast<uint8_t>(i), static_cast<uint8_t>(i)};
  return p;
}

// Our reading of `bytes` against GDAL's reading of `gdalBytes` (the same
// picture, for the layouts GDAL does not read itself).
void ExpectLikeGdal(const std::vector<uint8_t>& bytes, int bands,
                    const std::string& gdalOptions = "",
                    const std::vector<uint8_t>& gdalBytes = {}) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  TempDir dir;
  WriteBytes(dir / "in.bmp", bytes);
  WriteBytes(dir / "gdal.bmp", gdalBytes.empty() ? bytes : gdalBytes);
  TBMPMap2 map;
  ASSERT_TRUE(map.Open(dir / "in.bmp", 0, 0, 1, 1, omRead)) << map.Error().Text;
  EXPECT_EQ(map.GetBandCount(), bands);
  GdalRaster gdal;
  ASSERT_TRUE(ReadWithGdal(dir / "gdal.bmp", gdal, gdalOptions));
  ExpectSameCells(map, gdal);
}

TEST(BmpRead, SampleLikeGdal) { ExpectLikeGdal(ReadBytes(Sample("logo.bmp")), 3); }

TEST(BmpRead, LayoutsLikeGdal) {
  BmpLayout rgb;
  rgb.Width = 5;  // 15 bytes a row, stored in 16
  rgb.Height = 4;
  rgb.Trailing = 37;  // bytes after the pixels do not skew the rows
  ExpectLikeGdal(MakeBmp(rgb), 3);
  BmpLayout grey;
  grey.Bits = 8;
  grey.Width = 6;
  grey.Height = 3;
  grey.Palette = GreyRamp();
  grey.Trailing = 5;
  ExpectLikeGdal(MakeBmp(grey), 1);
  BmpLayout colour = grey;
  colour.Palette = GreyRamp();
  colour.Palette[32] = {200, 10, 30};
  ExpectLikeGdal(MakeBmp(colour), 3, "-expand rgb");
  // A version 5 header is followed by its palette, not by one at 54.
  BmpLayout version5 = colour;
  version5.InfoSize = 124;
  ExpectLikeGdal(MakeBmp(version5), 3, "-expand rgb", MakeBmp(colour));
}

TEST(BmpRead, PaletteIndexPastThePaletteReadsZero) {
  TempDir dir;
  BmpLayout layout;
  layout.Bits = 8;
  layout.Width = 4;
  layout.Height = 1;
  layout.Palette = {{10, 20, 30}, {40, 50, 60}};
  std::vector<uint8_t> bytes = MakeBmp(layout);
  const uint32_t offset = Get32(bytes, 10);
  bytes[offset] = 1;
  bytes[offset + 1] = 255;
  WriteBytes(dir / "p.bmp", bytes);
  TBMPMap2 map;
  ASSERT_TRUE(map.Open(dir / "p.bmp", 0, 0, 1, 1, omRead)) << map.Error().Text;
  EXPECT_EQ(map.GetBandCount(), 3);
  float v = -1;
  ASSERT_TRUE(map.ReadCell(0, 0, 2, v));
  EXPECT_EQ(v, 60);
  ASSERT_TRUE(map.ReadCell(1, 0, 0, v));
  EXPECT_EQ(v, 0);
  EXPECT_FALSE(map.WriteCell(0, 0, 0, 1));
}

std::string OpenError(const std::vector<uint8_t>& bytes) {
  TempDir dir;
  WriteBytes(dir / "in.bmp", bytes);
  TBMPMap2 map;
  EXPECT_FALSE(map.Open(dir / "in.bmp", 0, 0, 1, 1, omRead));
  return map.Error().Text;
}

TEST(BmpRead, RefusalsAndHostileHeaders) {
  auto error = [](auto change) {
    BmpLayout s;
    change(s);
    return OpenError(MakeBmp(s));
  };
  EXPECT_EQ(error([](BmpLayout& s) { s.Compression = 1; }),
            "Unknown bitmap type: compression that does not fit 24-bit pixels");
  EXPECT_EQ(error([](BmpLayout& s) { s.Compression = 4; }),
            "Unknown bitmap type: Unknown compression");
  EXPECT_EQ(error([](BmpLayout& s) { s.Bits = 12; }), "Unknown bitmap type: pixels of 12 bits");
  EXPECT_EQ(error([](BmpLayout& s) { s.InfoSize = 20; }),
            "Unknown bitmap type: information header of 20 bytes");
  EXPECT_EQ(error([](BmpLayout& s) {
              s.Bits = 8;
              s.Palette = GreyRamp();
              s.Compression = 1;
              s.Height = -2;
            }),
            "Unknown bitmap type: top-down rows (negative height) with RLE");
  EXPECT_EQ(error([](BmpLayout& s) { s.Height = 0; }), "Unknown bitmap type: height of 0 rows");
  EXPECT_EQ(error([](BmpLayout& s) { s.Width = -3; }), "Unknown bitmap type: width of -3 columns");

  BmpLayout s;
  std::vector<uint8_t> bytes = MakeBmp(s);
  bytes.resize(bytes.size() - 1);
  EXPECT_NE(OpenError(bytes).find("fewer than the 78 its rows need"), std::string::npos);
  bytes = MakeBmp(s);
  Put32(bytes, 18, 1000);  // a width whose rows the file cannot hold
  EXPECT_NE(OpenError(bytes).find("its rows need"), std::string::npos);
  bytes = MakeBmp(s);
  Put32(bytes, 18, 0x7FFFFFFF);
  Put32(bytes, 22, 0x7FFFFFFF);
  EXPECT_EQ(OpenError(bytes), "Unknown bitmap type: rows of 6442450944 bytes are too long");
  bytes = MakeBmp(s);
  Put32(bytes, 10, 40);  // pixels inside the headers
  EXPECT_EQ(OpenError(bytes).rfind("Unknown bitmap type: pixel data at offset 40", 0), 0u);
  bytes = MakeBmp(s);
  Put32(bytes, 10, 9999);
  EXPECT_EQ(OpenError(bytes).rfind("Unknown bitmap type: pixel data at offset 9999", 0), 0u);
  s.Bits = 8;
  bytes = MakeBmp(s);
  Put32(bytes, 46, 300);
  // More colours than 8 bits index are 256, which this file does not hold.
  EXPECT_EQ(OpenError(bytes).rfind("Unknown bitmap type: pixel data at offset 54", 0), 0u);
  bytes = MakeBmp(s);
  Put32(bytes, 46, 0);  // 256 colours that the file does not hold
  EXPECT_EQ(OpenError(bytes).rfind("Unknown bitmap type: pixel data at offset 54", 0), 0u);
  EXPECT_EQ(OpenError({'B', 'M', 0, 0}), "Unknown bitmap type: file too short for its headers");
  EXPECT_EQ(OpenError({'X', 'M', 0, 0, 0, 0, 0, 0}), "Not a BMP file");
  EXPECT_EQ(OpenError({}).rfind("Open read error ", 0), 0u);
}

// Our reading of an ImageMagick-made bitmap against GDAL's (palettes
// expanded) or, for the layouts GDAL does not read, ImageMagick's own.
void ExpectLikeReference(const std::string& path, int bands, bool gdal, bool palette,
                         const std::string& what) {
  TBMPMap2 map;
  ASSERT_TRUE(map.Open(path, 0, 0, 1, 1, omRead)) << what << map.Error().Text;
  ASSERT_EQ(map.GetBandCount(), bands) << what;
  if (gdal) {
    GdalRaster reference;
    ASSERT_TRUE(ReadWithGdal(path, reference, palette ? "-expand rgb" : "")) << what;
    ExpectSameCells(map, reference);
    return;
  }
  const CommandResult raw = test::Run("convert " + Quote(path) + " -depth 8 " +
                                      (bands == 4 ? "RGBA:-" : "RGB:-") + " 2>/dev/null");
  const int columns = map.GetColumnCount(), rows = map.GetRowCount();
  ASSERT_EQ(raw.Output.size(), static_cast<size_t>(columns) * rows * bands) << what;
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < columns; ++c)
      for (int b = 0; b < bands; ++b) {
        float v = -1;
        ASSERT_TRUE(map.ReadCell(c, r, b, v));
        const uint8_t expected =
            static_cast<uint8_t>(raw.Output[(static_cast<size_t>(r) * columns + c) * bands + b]);
        ASSERT_EQ(v, expected) << what << " cell " << c << "," << r << " band " << b;
      }
}

TEST(BmpRead, DesktopLayoutsLikeGdalAndImageMagick) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  TempDir dir;
  const std::string logo = Quote(Sample("logo.tif"));
  struct TCase {
    const char* Name;
    const char* Options;  // ImageMagick's, and the file type prefix
    int Bands;
    bool Gdal;
  };
  const TCase cases[] = {
      {"rle8.bmp", "-colors 200 -type Palette -compress RLE BMP3:", 3, false},
      {"palette4.bmp", "-colors 16 -type Palette BMP3:", 3, true},
      {"bilevel.bmp", "-type Bilevel BMP3:", 3, true},
      {"rgb565.bmp", "-define bmp:subtype=RGB565 BMP:", 3, false},
      {"rgb555.bmp", "-define bmp:subtype=RGB555 BMP:", 3, false},
      {"argb32.bmp", "-alpha on -channel A -fx i/w -define bmp:format=bmp4 BMP:", 4, false},
      {"os2.bmp", "BMP2:", 3, true},
      {"os2palette.bmp", "-colors 16 -type Palette BMP2:", 3, true},
  };
  for (const TCase& c : cases) {
    const std::string path = dir / c.Name;
    ASSERT_EQ(test::Run("convert " + logo + " " + c.Options + Quote(path)).ExitCode, 0) << c.Name;
    const std::string options = c.Options;
    ExpectLikeReference(path, c.Bands, c.Gdal,
                        options.find("Palette") != std::string::npos ||
                            options.find("Bilevel") != std::string::npos,
                        c.Name);
  }
  // ImageMagick's 1-bit alpha reads as 128; browsers and we read 255.
  ASSERT_EQ(test::Run("convert " + logo +
                      " -alpha on -define bmp:subtype=ARGB1555 BMP:" + Quote(dir / "argb1555.bmp"))
                .ExitCode,
            0);
  TBMPMap2 alpha;
  ASSERT_TRUE(alpha.Open(dir / "argb1555.bmp", 0, 0, 1, 1, omRead)) << alpha.Error().Text;
  float v = -1;
  ASSERT_TRUE(alpha.ReadCell(7, 5, 3, v));
  EXPECT_EQ(v, 255);
}

// Top-down rows (negative height), written by hand, read like the same
// picture stored bottom-up.
TEST(BmpRead, TopDownRowsLikeBottomUp) {
  for (const uint16_t bits : {24, 8}) {
    BmpLayout up;
    up.Width = 5;
    up.Height = 3;
    up.Bits = bits;
    if (bits == 8) up.Palette = GreyRamp();
    BmpLayout down = up;
    down.Height = -3;
    std::vector<uint8_t> bytes = MakeBmp(down);
    const std::vector<uint8_t> bottomUp = MakeBmp(up);
    const uint32_t offset = Get32(bytes, 10), stride = (5 * bits + 31) / 32 * 4;
    for (uint32_t r = 0; r < 3; ++r)
      std::copy_n(bottomUp.begin() + offset + (2 - r) * stride, stride,
                  bytes.begin() + offset + r * stride);
    ExpectLikeGdal(bytes, bits == 8 ? 1 : 3, "", bottomUp);
  }
}

// RLE4 by hand (ImageMagick writes none): runs of two alternating colours,
// an absolute run into the row's padding (cut at the row's end), a delta
// that skips pixels (index 0) and data that ends early.
TEST(BmpRead, Rle4RunsDeltasAndEarlyEnds) {
  TempDir dir;
  BmpLayout layout;
  layout.Width = 6;
  layout.Height = 3;
  layout.Bits = 4;
  layout.Compression = 2;
  layout.Palette = {{0, 0, 0}, {10, 20, 30}, {40, 50, 60}, {70, 80, 90}};
  std::vector<uint8_t> bytes = MakeBmp(layout);
  const uint32_t offset = Get32(bytes, 10);
  bytes.resize(offset);
  // Bottom row: 1 2 1 2 then absolute 3 3 3 (cut after two); middle row: 8
  // pixels of 3 (cut at 6); top row: delta 2 right, then 1 1 and the data
  // ends.
  const std::vector<uint8_t> rle = {4,    0x12, 0, 3, 0x33, 0x30, 0, 0, 8,
                                    0x33, 0,    0, 0, 2,    2,    0, 2, 0x11};
  bytes.insert(bytes.end(), rle.begin(), rle.end());
  WriteBytes(dir / "rle4.bmp", bytes);
  TBMPMap2 map;
  ASSERT_TRUE(map.Open(dir / "rle4.bmp", 0, 0, 1, 1, omRead)) << map.Error().Text;
  const int expected[3][6] = {{0, 0, 1, 1, 0, 0}, {3, 3, 3, 3, 3, 3}, {1, 2, 1, 2, 3, 3}};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 6; ++c) {
      float v = -1;
      ASSERT_TRUE(map.ReadCell(c, r, 1, v));
      EXPECT_EQ(v, layout.Palette[expected[r][c]][1]) << c << "," << r;
    }
}

// Run-length data that would write outside the image is corrupt: refused
// with the file's name and the row (0 the top) where it went wrong, in the
// job's words too, and nothing is written.
TEST(BmpRead, CorruptRunLengthDataIsRefused) {
  struct Case {
    uint16_t Bits;
    std::vector<uint8_t> Rle;
    std::string Words;
  };
  // 6 x 4 pixels, rows padded to 8; the bottom row (row 3) is filled first.
  const std::vector<Case> cases = {
      {8, {6, 1, 0, 0, 9, 2}, "runs past the end of row 2"},
      {8, {0, 4, 1, 2, 3, 4, 0, 5, 5, 6, 7, 8, 9, 0}, "runs past the end of row 3"},
      {8, {0, 2, 1, 4, 2, 2}, "moves off the image from column 0 of row 3"},
      {8, {2, 1, 0, 2, 5, 0}, "moves off the image from column 2 of row 3"},
      {4, {0, 0, 0, 0, 0, 0, 9, 0x12}, "runs past the end of row 0"},
      {4, {4, 0x12, 0, 2, 3, 0}, "moves off the image from column 4 of row 3"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    BmpLayout layout;
    layout.Width = 6;
    layout.Height = 4;
    layout.Bits = c.Bits;
    layout.Compression = c.Bits == 8 ? 1 : 2;
    layout.Palette.assign(c.Bits == 8 ? 256 : 16, {0, 0, 0});
    std::vector<uint8_t> bytes = MakeBmp(layout);
    bytes.resize(Get32(bytes, 10));
    bytes.insert(bytes.end(), c.Rle.begin(), c.Rle.end());
    const std::string name = dir / ("rle" + std::to_string(c.Bits) + ".bmp");
    WriteBytes(name, bytes);
    TBMPMap2 map;
    EXPECT_FALSE(map.Open(name, 0, 0, 1, 1, omRead));
    EXPECT_EQ(map.Error().Text, name + ": RLE data " + c.Words);
    const CommandResult job = RunCli({name, dir / "o.tif"});
    EXPECT_EQ(job.ExitCode, 1);
    EXPECT_NE(job.Output.find(name + ": RLE data " + c.Words), std::string::npos) << job.Output;
    EXPECT_FALSE(Exists(dir / "o.tif"));
  }
}

TEST(BmpRead, BitFieldMasksThatOverlapAreRefused) {
  BmpLayout layout;
  layout.Bits = 16;
  layout.Compression = 3;
  layout.InfoSize = 56;
  std::vector<uint8_t> bytes = MakeBmp(layout);
  Put32(bytes, 54, 0xF800);
  Put32(bytes, 58, 0x0FE0);
  Put32(bytes, 62, 0x001F);
  EXPECT_EQ(OpenError(bytes),
            "Unknown bitmap type: bit-field masks that overlap or pass the pixel's bits");
  Put32(bytes, 58, 0);  // no green: reads 0
  TempDir dir;
  WriteBytes(dir / "in.bmp", bytes);
  TBMPMap2 map;
  ASSERT_TRUE(map.Open(dir / "in.bmp", 0, 0, 1, 1, omRead)) << map.Error().Text;
  float v = -1;
  ASSERT_TRUE(map.ReadCell(0, 0, 1, v));
  EXPECT_EQ(v, 0);
}

TEST(BmpWrite, FilesAndRefusals) {
  TempDir dir;
  {
    TBMPMap2 grey;
    ASSERT_TRUE(grey.Open(dir / "g.bmp", 3, 2, ctUnsigned8, 1, omCreate));
    grey.SetGeoreference(PlacedAt(2.5, 4, 1000, 2000, "", "", "LOCAL"));
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(grey.WriteCell(i % 3, i / 3, 0, i * 10 + 0.5f));
    ASSERT_TRUE(grey.Close());
  }
  std::vector<uint8_t> b = ReadBytes(dir / "g.bmp");
  ASSERT_EQ(b.size(), 54u + 1024 + 8);
  EXPECT_EQ(Get32(b, 2), 54u + 1024 + 8);
  EXPECT_EQ(Get32(b, 10), 1078u);
  EXPECT_EQ(Get32(b, 14), 40u);
  EXPECT_EQ(b[28], 8);
  EXPECT_EQ(b[54 + 4 * 77], 77);
  EXPECT_EQ(b[54 + 4 * 77 + 2], 77);
  // Last row first, ties to even: 0.5 -> 0, 30.5 -> 30.
  EXPECT_EQ(std::vector<uint8_t>(b.begin() + 1078, b.end()),
            (std::vector<uint8_t>{30, 40, 50, 0, 0, 10, 20, 0}));
  // The centre of the top-left pixel, as every world-file reader expects.
  EXPECT_EQ(ReadText(dir / "g.bmpw"),
            "  2.50000000000000\r\n  0.00000000000000\r\n  0.00000000000000\r\n"
            " -4.00000000000000\r\n1001.25000000000000\r\n1998.00000000000000\r\n");
  TBMPMap2 back;
  ASSERT_TRUE(back.Open(dir / "g.bmp", 0, 0, 1, 1, omRead));
  EXPECT_TRUE(back.HasGreyPalette());
  EXPECT_EQ(back.GetGeoreference().Affine.X0, 1000);
  EXPECT_EQ(back.GetGeoreference().Affine.Y0, 2000);

  {
    TBMPMap2 rgb;
    ASSERT_TRUE(rgb.Open(dir / "c.bmp", 3, 2, ctUnsigned8, 3, omCreate));
    ASSERT_TRUE(rgb.WriteCell(0, 0, 0, 1));  // red is stored last
    ASSERT_TRUE(rgb.WriteCell(0, 0, 2, 3));
    ASSERT_TRUE(rgb.Close());
  }
  b = ReadBytes(dir / "c.bmp");
  ASSERT_EQ(b.size(), 54u + 24);
  EXPECT_EQ(b[28], 24);
  EXPECT_EQ(b[54 + 12], 3);
  EXPECT_EQ(b[54 + 14], 1);

  TBMPMap2 a, c, d;
  EXPECT_FALSE(a.Open(dir / "a.bmp", 3, 2, ctUnsigned16, 1, omCreate));
  EXPECT_EQ(a.Error().Text, "Not supported cell type(must be byte type): UNSIGNED16BITINTEGER");
  EXPECT_FALSE(c.Open(dir / "b.bmp", 3, 2, ctUnsigned8, 2, omCreate));
  EXPECT_EQ(c.Error().Text, "Wrong number of bands(must be 1 or 3)");
  EXPECT_FALSE(d.Open(dir / "d.bmp", 50000, 50000, ctUnsigned8, 3, omCreate));
  EXPECT_EQ(d.Error().Text.rfind("BMP files cannot hold more than 4 GiB", 0), 0u);
  EXPECT_FALSE(Exists(dir / "a.bmp") || Exists(dir / "b.bmp") || Exists(dir / "d.bmp"));
}

// ---------------------------------------------------------------------------
// End to end through mirava-cli, checked by GDAL.

void ConvertAndCompare(const std::string& in, const std::string& out, int kind) {
  const CommandResult r = RunCli({in, out, "/" + std::to_string(kind)});
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  GdalRaster a, b;
  ASSERT_TRUE(ReadWithGdal(in, a));
  ASSERT_TRUE(ReadWithGdal(out, b));
  ExpectPlaced(a, b, kind);
  // The world file holds 14 decimals.
  const std::vector<double> want = GdalGeoTransform(in), got = GdalGeoTransform(out);
  ASSERT_EQ(got.size(), 6u);
  for (int i = 0; i < 6; ++i) EXPECT_NEAR(got[i], want[i], 1e-12) << i;
}

class BmpEndToEnd : public ::testing::TestWithParam<int> {};

TEST_P(BmpEndToEnd, BmpToBmpAndTiffToBmp) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  const int kind = GetParam();
  TempDir dir;
  std::filesystem::copy_file(Sample("logo.bmp"), dir / "IN.BMP");
  WriteText(dir / "IN.BMPW", "2\r\n0\r\n0\r\n-3\r\n1001\r\n1998.5\r\n");
  ConvertAndCompare(dir / "IN.BMP", dir / "out.bmp", kind);
  EXPECT_EQ(GdalGeoTransform(dir / "out.bmp"), (std::vector<double>{1000, 2, 0, 2000, 0, -3}));
  ConvertAndCompare(Sample("logo.tif"), dir / "rgb.bmp", kind);
  // 8-bit grey.
  ASSERT_EQ(test::Run("gdal_translate -q -ot Byte -scale " + Quote(Sample("elev.tif")) + " " +
                      Quote(dir / "grey.tif"))
                .ExitCode,
            0);
  ConvertAndCompare(dir / "grey.tif", dir / "grey8.bmp", kind);
}

INSTANTIATE_TEST_SUITE_P(Kinds, BmpEndToEnd, ::testing::Values(0, 1, 2, 3, 4, 5),
                         [](const auto& info) { return mirava::test::KindName(info.param); });

TEST(BmpEndToEnd, ControlPointsTravelAndRefusalsIgnoreCase) {
  TempDir dir;
  std::filesystem::copy_file(Sample("logo.bmp"), dir / "in.bmp");
  {
    TGCPList list;
    TGCPoint p;
    p.SetName("A");
    p.SetEnabled(true);
    p.SetCellX(10);
    p.SetCellY(5);
    list.Add(&p);
    ASSERT_FALSE(list.SaveToFile(dir / "in.Gcp", FilesInPlace()).Failed());
  }
  CommandResult r = RunCli({dir / "in.bmp", dir / "out.bmp", "/4"});
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  TGCPList moved;
  ASSERT_TRUE(moved.LoadFromFile(dir / "out.gcp"));
  ASSERT_EQ(moved.Count(), 1);
  EXPECT_EQ(moved.Items(0)->GetCellY(), 77 - 5);

  r = RunCli({Sample("elev.tif"), dir / "elev.BMP"});
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_NE(r.Output.find("BMP files support only byte data"), std::string::npos) << r.Output;
  EXPECT_FALSE(Exists(dir / "elev.BMP"));

  // The world file is a bitmap's only georeference: a name it cannot take
  // is refused before the job starts.
  WriteText(dir / "in.bmpw", "2\n0\n0\n-2\n101\n199\n");
  std::filesystem::create_directory(dir / "w.bmpw");
  r = RunCli({dir / "in.bmp", dir / "w.bmp"});
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_NE(r.Output.find("Output " + (dir / "w.bmpw") + " is a folder"), std::string::npos)
      << r.Output;
  EXPECT_FALSE(Exists(dir / "w.bmp"));
}

}  // namespace
}  // namespace mirava
