#include "formats/image/JpgMap.h"

#include <gtest/gtest.h>

#include "PictureTestUtil.h"
#include "formats/codec/JpegCodec.h"

using namespace mirava;
using namespace mirava::test;

namespace {

// djpeg's PNM output: header lines, then the samples.
TRaster ReadDjpeg(const std::string& jpeg, const std::string& scratch) {
  const std::string pnm = scratch + "/djpeg.pnm";
  TRaster p;
  if (test::Run("djpeg -outfile " + Quote(pnm) + " " + Quote(jpeg)).ExitCode != 0) return p;
  const std::vector<uint8_t> bytes = ReadBytes(pnm);
  std::string head(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 64));
  char kind = 0;
  int maxValue = 0, consumed = 0;
  std::sscanf(head.c_str(), "P%c %d %d %d%n", &kind, &p.Columns, &p.Rows, &maxValue,
              &consumed);
  p.Bands = kind == '6' ? 3 : 1;
  const uint8_t* samples = bytes.data() + consumed + 1;
  for (int r = 0; r < p.Rows; ++r)
    for (int b = 0; b < p.Bands; ++b)
      for (int c = 0; c < p.Columns; ++c)
        p.Cells.push_back(samples[(static_cast<size_t>(r) * p.Columns + c) * p.Bands + b]);
  return p;
}

TRaster ReadJpg(TJpgMap2& jpg) {
  TRaster p;
  p.Columns = jpg.GetColumnCount();
  p.Rows = jpg.GetRowCount();
  p.Bands = jpg.GetBandCount();
  for (int r = 0; r < p.Rows; ++r)
    for (int b = 0; b < p.Bands; ++b)
      for (int c = 0; c < p.Columns; ++c) {
        float v = -1;
        EXPECT_TRUE(jpg.ReadCell(c, r, b, v));
        p.Cells.push_back(v);
      }
  return p;
}

}  // namespace

TEST(JpgMap, DecodesLikeDjpegWithFillBytes) {
  TempDir dir;
  // The sample: RGB, 101 pixels wide, so each row carries one fill byte.
  TJpgMap2 rgb;
  ASSERT_TRUE(rgb.Open(Sample("logo.jpg"), 0, 0, 1, 1, omRead)) << rgb.ErrorText;
  EXPECT_EQ(rgb.GetBandCount(), 3);
  EXPECT_EQ(rgb.GetLineLength(), 304u);
  EXPECT_EQ(PlacedDifference(ReadJpg(rgb), ReadDjpeg(Sample("logo.jpg"), dir.str())), 0);
  EXPECT_EQ(PlacedDifference(ReadJpg(rgb), ReadWithGdal(Sample("logo.jpg"), dir.str())), 0);

  // Grey, 37 pixels wide (3 fill bytes a row), made by libjpeg-turbo's cjpeg.
  const TRaster grey = Picture(37, 21, 1);
  std::vector<uint8_t> pgm;
  const std::string head = "P5\n37 21\n255\n";
  pgm.assign(head.begin(), head.end());
  pgm.insert(pgm.end(), grey.Cells.begin(), grey.Cells.end());
  WriteBytes(dir / "grey.pgm", pgm);
  ASSERT_EQ(test::Run("cjpeg -grayscale -quality 80 -outfile " + Quote(dir / "grey.jpg") +
                " " + Quote(dir / "grey.pgm")).ExitCode, 0);
  TJpgMap2 g;
  ASSERT_TRUE(g.Open(dir / "grey.jpg", 0, 0, 1, 1, omRead)) << g.ErrorText;
  EXPECT_EQ(g.GetBandCount(), 1);
  EXPECT_EQ(g.GetLineLength(), 40u);
  EXPECT_EQ(PlacedDifference(ReadJpg(g), ReadDjpeg(dir / "grey.jpg", dir.str())), 0);
  float band0 = -1, band2 = -2;
  EXPECT_TRUE(g.ReadCell(5, 7, 0, band0));
  EXPECT_TRUE(g.ReadCell(5, 7, 2, band2));
  EXPECT_EQ(band0, band2);
  float v = 3;
  EXPECT_FALSE(g.ReadCell(37, 0, 0, v));
  EXPECT_FALSE(g.ReadCell(0, 21, 0, v));
}

TEST(JpgMap, RefusesCmykCorruptTruncatedAndHostileFiles) {
  TempDir dir;
  ASSERT_EQ(test::Run("gdal_translate -q -of JPEG -b 1 -b 2 -b 3 -b 1 " +
                Quote(Sample("logo.tif")) + " " + Quote(dir / "cmyk.jpg")).ExitCode, 0);
  TJpgMap2 cmyk;
  EXPECT_FALSE(cmyk.Open(dir / "cmyk.jpg", 0, 0, 1, 1, omRead));
  EXPECT_EQ(cmyk.ErrorText, "Open read error 1 Bands not 1 or 3: 4");

  const std::vector<uint8_t> logo = ReadBytes(Sample("logo.jpg"));
  // Cut in the middle of the entropy-coded data: libjpeg would pad with grey.
  WriteBytes(dir / "cut.jpg", std::vector<uint8_t>(logo.begin(), logo.begin() + logo.size() / 2));
  TJpgMap2 cut;
  EXPECT_FALSE(cut.Open(dir / "cut.jpg", 0, 0, 1, 1, omRead));
  EXPECT_NE(cut.ErrorText.find("Open read error 1 ijlReadWholeImage error: 4"), std::string::npos)
      << cut.ErrorText;

  // Damaged entropy-coded data.
  std::vector<uint8_t> damaged = logo;
  for (size_t i = logo.size() / 2; i < logo.size() / 2 + 40; ++i) damaged[i] = 0xFF;
  WriteBytes(dir / "damaged.jpg", damaged);
  TJpgMap2 bad;
  EXPECT_FALSE(bad.Open(dir / "damaged.jpg", 0, 0, 1, 1, omRead));
  EXPECT_NE(bad.ErrorText.find("ijlReadWholeImage error: 3 Corrupt JPEG data"), std::string::npos)
      << bad.ErrorText;

  WriteText(dir / "text.jpg", "This is not an image at all");
  TJpgMap2 text;
  EXPECT_FALSE(text.OpenRead(dir / "text.jpg"));
  EXPECT_NE(text.ErrorText.find("ijlReadParams error: 2 Not a JPEG file"), std::string::npos)
      << text.ErrorText;

  // A tiny file whose frame header claims 65,500 x 65,500 pixels.
  std::vector<uint8_t> huge = logo;
  for (size_t i = 0; i + 8 < huge.size(); ++i)
    if (huge[i] == 0xFF && huge[i + 1] == 0xC0) {
      huge[i + 5] = huge[i + 7] = 0xFF;
      huge[i + 6] = huge[i + 8] = 0xDC;
      break;
    }
  WriteBytes(dir / "huge.jpg", huge);
  TJpgMap2 claim;
  EXPECT_FALSE(claim.Open(dir / "huge.jpg", 0, 0, 1, 1, omRead));
  EXPECT_NE(claim.ErrorText.find("Open read error 1 "), std::string::npos);

  TJpgMap2 missing;
  EXPECT_FALSE(missing.OpenRead(dir / "none.jpg"));
  EXPECT_EQ(missing.ErrorText, "File not Exists");
}

TEST(JpgMap, CreatesOnlyWhatJpegHoldsAndWritesAtClose) {
  TempDir dir;
  TJpgMap2 two, wide, deep;
  EXPECT_FALSE(two.Open(dir / "a.jpg", 10, 10, 1, 2, omCreate));
  EXPECT_FALSE(two.ErrorText.empty());
  EXPECT_FALSE(deep.Open(dir / "a.jpg", 10, 10, 4, 3, omCreate));
  EXPECT_EQ(deep.ErrorText, "JPEG files support only byte data");
  EXPECT_FALSE(wide.Open(dir / "a.jpg", 65501, 10, 1, 3, omCreate));
  EXPECT_NE(wide.ErrorText.find("65500"), std::string::npos);

  TJpgMap2 jpg;
  ASSERT_TRUE(jpg.Open(dir / "new.jpg", 100, 50, 1, 3, omCreate));
  EXPECT_FALSE(Exists(dir / "new.jpg"));
  jpg.SetGeoreference("RAW", "RAW", 2.5, 2.5, 0, 0, 1000, 2000, "RAW");
  for (uint32_t r = 0; r < 50; ++r)
    for (uint32_t c = 0; c < 100; ++c)
      for (uint32_t b = 0; b < 3; ++b) jpg.WriteCell(c, r, b, float(c * 2 + b * 40));
  EXPECT_FALSE(Exists(dir / "new.jpg"));
  ASSERT_TRUE(jpg.Close()) << jpg.ErrorText;
  EXPECT_FALSE(Exists(dir / "new.jpg.part"));
  jpeg::TJpegInfo info;
  std::string message;
  ASSERT_EQ(jpeg::ReadParams(dir / "new.jpg", info, message), 0);
  EXPECT_EQ(info.Width, 100u);
  EXPECT_EQ(info.Height, 50u);
  EXPECT_EQ(info.Channels, 3u);
  // The world file names the centre of the top-left pixel.
  EXPECT_EQ(ReadText(dir / "new.jgw"),
            "  2.50000000000000\r\n  0.00000000000000\r\n  0.00000000000000\r\n"
            " -2.50000000000000\r\n1001.25000000000000\r\n1998.75000000000000\r\n");
  const TGdalInfo gdal = GdalInfo(dir / "new.jpg");
  EXPECT_EQ(gdal.Columns, 100u);
  EXPECT_EQ(gdal.Bands, 3u);
  EXPECT_DOUBLE_EQ(gdal.OriginX, 1000);
  EXPECT_DOUBLE_EQ(gdal.OriginY, 2000);
  EXPECT_DOUBLE_EQ(gdal.PixelY, -2.5);

  // An encoding that fails is reported, and leaves nothing behind.
  TJpgMap2 lost;
  ASSERT_TRUE(lost.Open(dir / "no-such-folder/x.jpg", 8, 8, 1, 1, omCreate));
  EXPECT_FALSE(lost.Close());
  EXPECT_EQ(lost.ErrorText.rfind("ijlWriteWholeImage error: 1 ", 0), 0u) << lost.ErrorText;
}

TEST(JpgMap, WorldFileAffineModelAndCrop) {
  TempDir dir;
  ASSERT_EQ(test::Run("cp " + Quote(Sample("logo.jpg")) + " " + Quote(dir / "map.jpg")).ExitCode, 0);
  WriteText(dir / "map.jgw", "2\n0.5\n-0.25\n-3\n101\n199\n");
  WriteText(dir / "map.jpgw", "2\n0\n0\n-2\n101\n199\n");
  TJpgMap2 preferred;
  ASSERT_TRUE(preferred.Open(dir / "map.jpg", 0, 0, 1, 1, omRead));
  EXPECT_DOUBLE_EQ(preferred.GetCellSizeY(), 2);  // ".jpgw" wins
  std::remove((dir / "map.jpgw").c_str());

  TJpgMap2 jpg;
  ASSERT_TRUE(jpg.Open(dir / "map.jpg", 0, 0, 1, 1, omReadWrite));
  std::string projection;
  jpg.GetProjection(projection);
  EXPECT_EQ(projection, "UNKNOWN");
  double x, y, c, r;
  jpg.PixelToWorld(0.5, 0.5, x, y);  // the centre of the first pixel
  EXPECT_DOUBLE_EQ(x, 101);
  EXPECT_DOUBLE_EQ(y, 199);
  jpg.PixelToWorld(10, 4, x, y);
  EXPECT_DOUBLE_EQ(x, 100.125 + 20 - 1);
  jpg.WorldToPixel(x, y, c, r);
  EXPECT_NEAR(c, 10, 1e-9);
  EXPECT_NEAR(r, 4, 1e-9);

  float before = -1, after = -2;
  ASSERT_TRUE(jpg.ReadCell(14, 19, 1, before));
  jpg.PixelToWorld(5, 10, x, y);
  EXPECT_TRUE(jpg.Crop(10, 19, 5, 14));
  EXPECT_EQ(jpg.GetColumnCount(), 10);
  EXPECT_EQ(jpg.GetRowCount(), 10);
  ASSERT_TRUE(jpg.ReadCell(9, 9, 1, after));
  EXPECT_EQ(before, after);
  EXPECT_DOUBLE_EQ(jpg.GetRegistrationX(), x);
  EXPECT_DOUBLE_EQ(jpg.GetRegistrationY(), y);
  EXPECT_DOUBLE_EQ(jpg.GetRowTermX(), -0.25);
  EXPECT_FALSE(jpg.Crop(0, 0, 0, 5));
  EXPECT_FALSE(jpg.Crop(0, 10, 0, 5));
  ASSERT_TRUE(jpg.Close()) << jpg.ErrorText;
  TJpgMap2 back;
  ASSERT_TRUE(back.Open(dir / "map.jpg", 0, 0, 1, 1, omRead));
  EXPECT_EQ(back.GetColumnCount(), 10);
  double bx, by;
  back.PixelToWorld(0, 0, bx, by);
  EXPECT_NEAR(bx, x, 1e-9);
  EXPECT_NEAR(by, y, 1e-9);
}

// ER Mapper to JPEG with every placement and back: JPEG's loss only.
TEST(JpgMap, EveryPlacementThroughTheCommand) {
  TempDir dir;
  const TGeo geo;
  for (int bands : {3, 1}) {
    WritePicture(dir / "in.ers", 45, 31, bands, geo);
    const TRaster in = ReadRaster(dir / "in.ers");
    for (int kind = 0; kind <= 5; ++kind) {
      ExpectCli({dir / "in.ers", dir / "out.jpg", "/" + std::to_string(kind)});
      ExpectCli({dir / "out.jpg", dir / "back.ers"});
      const int worst = PlacedDifference(in, ReadRaster(dir / "back.ers"), kind);
      EXPECT_GE(worst, 0) << "kind " << kind;
      EXPECT_LE(worst, 6) << "kind " << kind << ", " << bands << " bands";
      const TGdalInfo gdal = GdalInfo(dir / "out.jpg");
      EXPECT_EQ(gdal.Bands, bands);
      EXPECT_EQ(gdal.Columns, kind == 2 || kind == 3 ? 31 : 45);
      EXPECT_NEAR(gdal.OriginX, geo.OriginX, 1e-6);
      EXPECT_NEAR(gdal.OriginY, geo.OriginY, 1e-6);
      EXPECT_NEAR(gdal.PixelX, geo.CellSizeX, 1e-12);
      EXPECT_NEAR(gdal.PixelY, -geo.CellSizeY, 1e-12);
    }
  }
  ExpectRefused({Sample("elev.ers"), dir / "elev.jpg"}, "JPEG files support only byte data",
                {dir / "elev.jpg"});
  ExpectRefused({dir / "in.ers", dir / "gone/out.jpg"}, "ijlWriteWholeImage error: 1 ",
                {dir / "gone/out.jpg"});
}
