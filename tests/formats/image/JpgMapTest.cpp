#include "formats/image/JpgMap.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <tuple>

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
  std::sscanf(head.c_str(), "P%c %d %d %d%n", &kind, &p.Columns, &p.Rows, &maxValue, &consumed);
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
  ASSERT_TRUE(rgb.Open(Sample("logo.jpg"), 0, 0, 1, 1, omRead)) << rgb.Error().Text;
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
  ASSERT_EQ(test::Run("cjpeg -grayscale -quality 80 -outfile " + Quote(dir / "grey.jpg") + " " +
                      Quote(dir / "grey.pgm"))
                .ExitCode,
            0);
  TJpgMap2 g;
  ASSERT_TRUE(g.Open(dir / "grey.jpg", 0, 0, 1, 1, omRead)) << g.Error().Text;
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

// CMYK (as GDAL writes four bands) and YCCK (as TurboJPEG writes CMYK
// pixels) files read as the red, green and blue GDAL shows.
TEST(JpgMap, ReadsCmykAndYcckAsRgbLikeGdal) {
  TempDir dir;
  ASSERT_EQ(test::Run("gdal_translate -q -of JPEG -b 1 -b 2 -b 3 -b 1 " +
                      Quote(Sample("logo.tif")) + " " + Quote(dir / "cmyk.jpg"))
                .ExitCode,
            0);
  const TRaster ink = Picture(48, 40, 4);
  std::vector<uint8_t> pixels;
  for (int r = 0; r < ink.Rows; ++r)
    for (int c = 0; c < ink.Columns; ++c)
      for (int b = 0; b < 4; ++b) pixels.push_back(static_cast<uint8_t>(ink.At(c, r, b)));
  tjhandle handle = tjInitCompress();
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  ASSERT_EQ(tjCompress2(handle, pixels.data(), ink.Columns, 0, ink.Rows, TJPF_CMYK, &jpeg, &size,
                        TJSAMP_420, 90, 0),
            0);
  WriteBytes(dir / "ycck.jpg", std::vector<uint8_t>(jpeg, jpeg + size));
  tjFree(jpeg);
  tjDestroy(handle);
  for (const char* name : {"cmyk.jpg", "ycck.jpg"}) {
    TJpgMap2 jpg;
    ASSERT_TRUE(jpg.Open(dir / name, 0, 0, 1, 1, omRead)) << jpg.Error().Text;
    EXPECT_EQ(jpg.GetBandCount(), 3) << name;
    EXPECT_EQ(PlacedDifference(ReadJpg(jpg), ReadWithGdal(dir / name, dir.str())), 0) << name;
  }
}

TEST(JpgMap, RefusesCorruptTruncatedAndHostileFiles) {
  TempDir dir;
  const std::vector<uint8_t> logo = ReadBytes(Sample("logo.jpg"));
  // Cut in the middle of the entropy-coded data: libjpeg would pad with grey.
  WriteBytes(dir / "cut.jpg", std::vector<uint8_t>(logo.begin(), logo.begin() + logo.size() / 2));
  TJpgMap2 cut;
  EXPECT_FALSE(cut.Open(dir / "cut.jpg", 0, 0, 1, 1, omRead));
  EXPECT_NE(cut.Error().Text.find("Open read error 1 ijlReadWholeImage error: 4"),
            std::string::npos)
      << cut.Error().Text;

  // Damaged entropy-coded data.
  std::vector<uint8_t> damaged = logo;
  for (size_t i = logo.size() / 2; i < logo.size() / 2 + 40; ++i) damaged[i] = 0xFF;
  WriteBytes(dir / "damaged.jpg", damaged);
  TJpgMap2 bad;
  EXPECT_FALSE(bad.Open(dir / "damaged.jpg", 0, 0, 1, 1, omRead));
  EXPECT_NE(bad.Error().Text.find("ijlReadWholeImage error: 3 Corrupt JPEG data"),
            std::string::npos)
      << bad.Error().Text;
  EXPECT_NE(bad.Error().Text.find("\n" + dir / "damaged.jpg" +
                                  ": the file is damaged: its JPEG data do not decode"),
            std::string::npos)
      << bad.Error().Text;

  WriteText(dir / "text.jpg", "This is not an image at all");
  TJpgMap2 text;
  EXPECT_FALSE(text.OpenRead(dir / "text.jpg"));
  EXPECT_NE(text.Error().Text.find("ijlReadParams error: 2 Not a JPEG file"), std::string::npos)
      << text.Error().Text;

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
  EXPECT_NE(claim.Error().Text.find("Open read error 1 "), std::string::npos);

  TJpgMap2 missing;
  EXPECT_FALSE(missing.OpenRead(dir / "none.jpg"));
  EXPECT_EQ(missing.Error().Text, "File not Exists");
}

TEST(JpgMap, CreatesOnlyWhatJpegHoldsAndWritesAtClose) {
  TempDir dir;
  TJpgMap2 two, wide, deep;
  EXPECT_FALSE(two.Open(dir / "a.jpg", 10, 10, 1, 2, omCreate));
  EXPECT_FALSE(two.Error().Text.empty());
  EXPECT_FALSE(deep.Open(dir / "a.jpg", 10, 10, 4, 3, omCreate));
  EXPECT_EQ(deep.Error().Text,
            "JPEG files support only byte data, not unsigned 16-bit integer cells");
  EXPECT_FALSE(wide.Open(dir / "a.jpg", 65501, 10, 1, 3, omCreate));
  EXPECT_NE(wide.Error().Text.find("65500"), std::string::npos);

  TJpgMap2 jpg;
  ASSERT_TRUE(jpg.Open(dir / "new.jpg", 100, 50, 1, 3, omCreate));
  EXPECT_FALSE(Exists(dir / "new.jpg"));
  jpg.SetGeoreference(PlacedAt(2.5, 2.5, 1000, 2000));
  for (uint32_t r = 0; r < 50; ++r)
    for (uint32_t c = 0; c < 100; ++c)
      for (uint32_t b = 0; b < 3; ++b) jpg.WriteCell(c, r, b, float(c * 2 + b * 40));
  EXPECT_FALSE(Exists(dir / "new.jpg"));
  ASSERT_TRUE(jpg.Close()) << jpg.Error().Text;
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
  EXPECT_EQ(lost.Error().Text.rfind("ijlWriteWholeImage error: 1 ", 0), 0u) << lost.Error().Text;
}

TEST(JpgMap, WorldFileAffineModel) {
  TempDir dir;
  ASSERT_EQ(test::Run("cp " + Quote(Sample("logo.jpg")) + " " + Quote(dir / "map.jpg")).ExitCode,
            0);
  WriteText(dir / "map.jgw", "2\n0.5\n-0.25\n-3\n101\n199\n");
  WriteText(dir / "map.jpgw", "2\n0\n0\n-2\n101\n199\n");
  TJpgMap2 preferred;
  ASSERT_TRUE(preferred.Open(dir / "map.jpg", 0, 0, 1, 1, omRead));
  EXPECT_DOUBLE_EQ(preferred.GetGeoreference().Affine.CellSizeY, 2);  // ".jpgw" wins
  std::remove((dir / "map.jpgw").c_str());
  // Names upper-cased by another system keep their pair.
  ASSERT_EQ(test::Run("cp " + Quote(Sample("logo.jpg")) + " " + Quote(dir / "UP.JPG")).ExitCode, 0);
  ASSERT_EQ(std::rename((dir / "map.jgw").c_str(), (dir / "UP.JGW").c_str()), 0);
  TJpgMap2 upper;
  ASSERT_TRUE(upper.Open(dir / "UP.JPG", 0, 0, 1, 1, omRead));
  EXPECT_DOUBLE_EQ(upper.GetGeoreference().Affine.CellSizeY, 3);
  ASSERT_EQ(std::rename((dir / "UP.JGW").c_str(), (dir / "map.jgw").c_str()), 0);

  TJpgMap2 jpg;
  ASSERT_TRUE(jpg.Open(dir / "map.jpg", 0, 0, 1, 1, omReadWrite));
  EXPECT_EQ(jpg.GetGeoreference().Projection, "UNKNOWN");
  double x, y, c, r;
  jpg.GetGeoreference().Affine.PixelToWorld(0.5, 0.5, x, y);  // the centre of the first pixel
  EXPECT_DOUBLE_EQ(x, 101);
  EXPECT_DOUBLE_EQ(y, 199);
  jpg.GetGeoreference().Affine.PixelToWorld(10, 4, x, y);
  EXPECT_DOUBLE_EQ(x, 100.125 + 20 - 1);
  jpg.GetGeoreference().Affine.WorldToPixel(x, y, c, r);
  EXPECT_NEAR(c, 10, 1e-9);
  EXPECT_NEAR(r, 4, 1e-9);
  EXPECT_DOUBLE_EQ(jpg.GetGeoreference().Affine.RowTermX, -0.25);
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
  // A missing folder is found before the job starts.
  ExpectRefused({dir / "in.ers", dir / "gone/out.jpg"},
                "Output folder " + dir / "gone" + " does not exist", {dir / "gone/out.jpg"});
}

namespace {

// A JPEG made by cjpeg from a picture: "1x1", "2x1" or "2x2" chroma
// sampling (4:4:4, 4:2:2, 4:2:0), or "grey".
std::string MakeJpeg(const TempDir& dir, const std::string& name, int columns, int rows,
                     const std::string& sampling) {
  const bool grey = sampling == "grey";
  const TRaster p = Picture(columns, rows, grey ? 1 : 3);
  const std::string head = std::string(grey ? "P5\n" : "P6\n") + std::to_string(columns) + " " +
                           std::to_string(rows) + "\n255\n";
  std::vector<uint8_t> pnm(head.begin(), head.end());
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < columns; ++c)
      for (int b = 0; b < p.Bands; ++b) pnm.push_back(static_cast<uint8_t>(p.At(c, r, b)));
  WriteBytes(dir / "picture.pnm", pnm);
  const std::string jpeg = dir / name;
  EXPECT_EQ(
      test::Run("cjpeg -quality 85 " + std::string(grey ? "-grayscale" : "-sample " + sampling) +
                " -outfile " + Quote(jpeg) + " " + Quote(dir / "picture.pnm"))
          .ExitCode,
      0);
  return jpeg;
}

std::string JpegtranArgs(int kind) {
  switch (kind) {
    case 1:
      return "-flip horizontal";
    case 2:
      return "-rotate 270";
    case 3:
      return "-rotate 90";
    case 4:
      return "-flip vertical";
    case 5:
      return "-rotate 180";
    default:
      return "";
  }
}

int InverseKind(int kind) { return kind == 2 ? 3 : kind == 3 ? 2 : kind; }

constexpr const char* kPixelPathNote = "Decoded and encoded again, not placed without loss";

// A job that must place the file without loss: no note, and the inverse
// placement gives the input's pixels back exactly.
void ExpectLossless(const std::string& in, int kind, const TempDir& dir, const std::string& what) {
  const std::string out = dir / "placed.jpg", back = dir / "back.jpg";
  for (const auto& [from, to, k] : {std::tuple{in, out, kind}, {out, back, InverseKind(kind)}}) {
    const CommandResult run = RunCli({from, to, "/" + std::to_string(k)});
    EXPECT_EQ(run.ExitCode, 0) << what << run.Output;
    EXPECT_EQ(run.Output.find(kPixelPathNote), std::string::npos) << what << run.Output;
    EXPECT_NE(run.Output.find("Placed without loss: the compressed blocks moved, not decoded"),
              std::string::npos)
        << what << run.Output;
  }
  const std::string scratch = dir.str();
  EXPECT_EQ(PlacedDifference(ReadDjpeg(in, scratch), ReadDjpeg(back, scratch)), 0) << what;
}

// The file ExpectLossless placed is jpegtran's for the same kind, byte for
// byte.
void ExpectAsJpegtran(const std::string& in, int kind, const TempDir& dir,
                      const std::string& what) {
  ASSERT_EQ(test::Run("jpegtran -copy all -perfect " + JpegtranArgs(kind) + " -outfile " +
                      Quote(dir / "jpegtran.jpg") + " " + Quote(in))
                .ExitCode,
            0);
  EXPECT_EQ(ReadBytes(dir / "placed.jpg"), ReadBytes(dir / "jpegtran.jpg")) << what;
}

}  // namespace

// Every placement of 4:4:4, 4:2:2, 4:2:0 and grey files whose size is whole
// blocks: made on the coefficients, as jpegtran makes it, and undone exactly.
TEST(JpgMap, PlacesWholeBlocksWithoutLossAsJpegtranDoes) {
  TempDir dir;
  const std::string scratch = dir.str();
  for (const std::string sampling : {"1x1", "2x1", "2x2", "grey"}) {
    const std::string in = MakeJpeg(dir, "in.jpg", 64, 48, sampling);
    const TRaster pixels = ReadDjpeg(in, scratch);
    for (int kind = 0; kind <= 5; ++kind) {
      const std::string what = sampling + " kind " + std::to_string(kind) + ": ";
      ExpectLossless(in, kind, dir, what);
      ExpectAsJpegtran(in, kind, dir, what);
      const TRaster ours = ReadDjpeg(dir / "placed.jpg", scratch);
      // Only the decoder's rounding (inverse DCT of transposed blocks,
      // chroma upsampling from the other side) tells the placed pixels from
      // the input's: measured at 2 at most, 3 with subsampled chroma.
      const int worst = PlacedDifference(pixels, ours, kind);
      EXPECT_GE(worst, 0) << what;
      EXPECT_LE(worst, sampling == "1x1" || sampling == "grey" ? 2 : 3) << what;
    }
  }
}

// Kinds 0 and 1 of a file of one sequential scan decode its rows as the
// encoder wants them, into a ring of a few rows: restart markers, rows of
// one block, a single row, and a flat picture that codes a row in a few
// bytes are placed as jpegtran places them.
TEST(JpgMap, RowsDecodedAsTheyAreWrittenPlaceAsJpegtranDoes) {
  TempDir dir;
  struct TCase {
    std::string Name;
    int Columns, Rows;
    std::string Options;
  };
  for (const TCase& c :
       {TCase{"restart a row", 64, 48, "-sample 2x2 -restart 1"},
        TCase{"restart an MCU", 64, 48, "-sample 2x1 -restart 1B"},
        TCase{"narrow", 8, 600, "-grayscale"}, TCase{"one row", 64, 16, "-sample 2x2"},
        TCase{"flat", 1024, 512, "-sample 2x2"},
        TCase{"flat narrow", 16, 2000, "-grayscale -restart 7B"}}) {
    const bool flat = c.Name.starts_with("flat");
    const std::string head =
        "P6\n" + std::to_string(c.Columns) + " " + std::to_string(c.Rows) + "\n255\n";
    std::vector<uint8_t> pnm(head.begin(), head.end());
    const TRaster p = Picture(c.Columns, c.Rows, 3);
    for (int r = 0; r < c.Rows; ++r)
      for (int col = 0; col < c.Columns; ++col)
        for (int b = 0; b < 3; ++b)
          pnm.push_back(flat ? 90 : static_cast<uint8_t>(p.At(col, r, b)));
    WriteBytes(dir / "picture.pnm", pnm);
    const std::string in = dir / "in.jpg";
    ASSERT_EQ(test::Run("cjpeg -quality 85 " + c.Options + " -outfile " + Quote(in) + " " +
                        Quote(dir / "picture.pnm"))
                  .ExitCode,
              0);
    for (int kind : {0, 1}) {
      const std::string what = c.Name + " kind " + std::to_string(kind) + ": ";
      ExpectLossless(in, kind, dir, what);
      ExpectAsJpegtran(in, kind, dir, what);
    }
  }
}

// Partial blocks at the right or bottom edge: the placements that would
// move them to the left or top take the pixel path and say so; the others
// stay lossless. No pixel is trimmed.
TEST(JpgMap, PartialBlocksTakeThePixelPathWhereTheyWouldMove) {
  TempDir dir;
  const std::string scratch = dir.str();
  struct TCase {
    int Columns, Rows;
    std::vector<int> Lossless;
  };
  for (const TCase& c : {TCase{61, 48, {0, 3, 4}}, TCase{64, 45, {0, 1, 2}}}) {
    const std::string in = MakeJpeg(dir, "in.jpg", c.Columns, c.Rows, "2x2");
    const TRaster pixels = ReadDjpeg(in, scratch);
    for (int kind = 0; kind <= 5; ++kind) {
      const std::string what = std::to_string(c.Columns) + " x " + std::to_string(c.Rows) +
                               " kind " + std::to_string(kind) + ": ";
      if (std::find(c.Lossless.begin(), c.Lossless.end(), kind) != c.Lossless.end()) {
        ExpectLossless(in, kind, dir, what);
        continue;
      }
      const CommandResult run = RunCli({in, dir / "placed.jpg", "/" + std::to_string(kind)});
      EXPECT_EQ(run.ExitCode, 0) << what << run.Output;
      EXPECT_NE(run.Output.find(std::string(kPixelPathNote) +
                                ": Partial blocks in the way: " + std::to_string(c.Columns) +
                                " x " + std::to_string(c.Rows) + " pixels in 16 x 16 blocks"),
                std::string::npos)
          << what << run.Output;
      const int worst = PlacedDifference(pixels, ReadDjpeg(dir / "placed.jpg", scratch), kind);
      EXPECT_GE(worst, 0) << what;
      EXPECT_LE(worst, 6) << what;
    }
  }
}

// EXIF, ICC profile, comment and JFIF density travel with the placed file;
// the world file moves as for every format.
TEST(JpgMap, PlacedFileKeepsMarkersAndGetsItsWorldFile) {
  TempDir dir;
  const std::string plain = MakeJpeg(dir, "plain.jpg", 32, 32, "2x2");
  ASSERT_EQ(test::Run("wrjpgcom -comment 'scanned sheet 12' " + Quote(plain) + " > " +
                      Quote(dir / "commented.jpg"))
                .ExitCode,
            0);
  std::vector<uint8_t> bytes = ReadBytes(dir / "commented.jpg");
  auto segment = [](uint8_t marker, const std::string& body) {
    std::vector<uint8_t> s{0xFF, marker, 0, static_cast<uint8_t>(body.size() + 2)};
    s.insert(s.end(), body.begin(), body.end());
    return s;
  };
  const std::vector<uint8_t> exif = segment(0xE1, std::string("Exif\0\0MM\0*\0\0\0\x08\0\0", 16));
  const std::vector<uint8_t> icc = segment(0xE2, std::string("ICC_PROFILE\0\x01\x01profile", 21));
  // After SOI and the JFIF segment, whose density is set to 300 dpi.
  const size_t jfifEnd = 4 + (bytes[4] << 8 | bytes[5]);
  bytes[13] = 1;
  bytes[14] = bytes[16] = 0x01;
  bytes[15] = bytes[17] = 0x2C;
  bytes.insert(bytes.begin() + jfifEnd, icc.begin(), icc.end());
  bytes.insert(bytes.begin() + jfifEnd, exif.begin(), exif.end());
  WriteBytes(dir / "in.jpg", bytes);
  WriteText(dir / "in.jgw", "2.5\n0\n0\n-2.5\n1001.25\n2998.75\n");

  ExpectCli({dir / "in.jpg", dir / "out.jpg", "/3"});
  const std::vector<uint8_t> out = ReadBytes(dir / "out.jpg");
  for (const auto& wanted :
       {exif, icc, std::vector<uint8_t>(bytes.begin() + 2, bytes.begin() + 18)})
    EXPECT_NE(std::search(out.begin(), out.end(), wanted.begin(), wanted.end()), out.end());
  EXPECT_NE(test::Run("rdjpgcom " + Quote(dir / "out.jpg")).Output.find("scanned sheet 12"),
            std::string::npos);
  const TGdalInfo gdal = GdalInfo(dir / "out.jpg");
  EXPECT_NEAR(gdal.OriginX, 1000, 1e-9);
  EXPECT_NEAR(gdal.OriginY, 3000, 1e-9);
  EXPECT_NEAR(gdal.PixelX, 2.5, 1e-12);
  EXPECT_NEAR(gdal.PixelY, -2.5, 1e-12);
}

// Damaged and cut files met on the coefficient path are refused with a
// message, and no output is left.
TEST(JpgMap, PlacingRefusesDamagedFiles) {
  TempDir dir;
  const std::vector<uint8_t> good = ReadBytes(MakeJpeg(dir, "good.jpg", 64, 64, "1x1"));
  std::vector<uint8_t> damaged = good;
  for (size_t i = good.size() / 2; i < good.size() / 2 + 40; ++i) damaged[i] = 0xFF;
  WriteBytes(dir / "damaged.jpg", damaged);
  WriteBytes(dir / "cut.jpg", std::vector<uint8_t>(good.begin(), good.begin() + good.size() / 2));
  for (const auto& [name, why] : {std::pair{"damaged.jpg", "Corrupt JPEG data: "},
                                  {"cut.jpg", "The JPEG file is truncated: "}}) {
    // A quarter turn reads the file whole first; a flip as it writes.
    for (const char* kind : {"/3", "/1"}) {
      const CommandResult run = RunCli({dir / name, dir / "out.jpg", kind});
      EXPECT_EQ(run.ExitCode, 1) << name << kind << run.Output;
      EXPECT_NE(run.Output.find("Writing " + (dir / "out.jpg") + " failed: " + why),
                std::string::npos)
          << name << kind << run.Output;
      EXPECT_NE(run.Output.find(dir / name + ": the file is damaged"), std::string::npos)
          << name << kind << run.Output;
      EXPECT_FALSE(Exists(dir / "out.jpg")) << name << kind;
      EXPECT_FALSE(Exists(dir / "out.jpg.part")) << name << kind;
    }
  }
}

// An EXIF file (its EXIF segment first) stays one when placed: no JFIF
// segment is added, and a quarter turn swaps the pixel sizes it states.
TEST(JpgMap, ExifFileStaysExifWithItsSizeTurned) {
  TempDir dir;
  const std::vector<uint8_t> jfif = ReadBytes(MakeJpeg(dir, "jfif.jpg", 64, 48, "2x2"));
  // Little-endian TIFF: IFD0 with the EXIF pointer, the EXIF directory with
  // the width (SHORT) and height (LONG).
  const std::string tiff =
      std::string("II*\0\x08\0\0\0", 8) +
      std::string("\x01\0\x69\x87\x04\0\x01\0\0\0\x1a\0\0\0", 14) + std::string("\0\0\0\0", 4) +
      std::string("\x02\0\x02\xa0\x03\0\x01\0\0\0\x40\0\0\0", 14) +
      std::string("\x03\xa0\x04\0\x01\0\0\0\x30\0\0\0", 12) + std::string("\0\0\0\0", 4);
  const std::string body = std::string("Exif\0\0", 6) + tiff;
  std::vector<uint8_t> bytes{0xFF, 0xD8, 0xFF, 0xE1, 0, static_cast<uint8_t>(body.size() + 2)};
  bytes.insert(bytes.end(), body.begin(), body.end());
  const size_t jfifEnd = 4 + (jfif[4] << 8 | jfif[5]);
  bytes.insert(bytes.end(), jfif.begin() + jfifEnd, jfif.end());
  WriteBytes(dir / "exif.jpg", bytes);

  ExpectCli({dir / "exif.jpg", dir / "out.jpg", "/3"});
  ASSERT_EQ(test::Run("jpegtran -copy all -perfect -rotate 90 -outfile " +
                      Quote(dir / "jpegtran.jpg") + " " + Quote(dir / "exif.jpg"))
                .ExitCode,
            0);
  const std::vector<uint8_t> out = ReadBytes(dir / "out.jpg");
  EXPECT_EQ(out, ReadBytes(dir / "jpegtran.jpg"));
  ASSERT_GT(out.size(), 60u);
  EXPECT_EQ(out[3], 0xE1);  // EXIF right after SOI, no JFIF
  const size_t exifDirectory = 6 + 6 + 0x1a;
  EXPECT_EQ(out[exifDirectory + 2 + 8], 48);       // width, was 64
  EXPECT_EQ(out[exifDirectory + 2 + 12 + 8], 64);  // height, was 48
  const TGdalInfo gdal = GdalInfo(dir / "out.jpg");
  EXPECT_EQ(gdal.Columns, 48);
  EXPECT_EQ(gdal.Rows, 64);
}

namespace {

// The first component's sampling factors (0x11 full, 0x21 4:2:2, 0x22
// 4:2:0) and the first quantization table's DC step of a baseline JPEG.
std::pair<int, int> SamplingAndDcStep(const std::vector<uint8_t>& jpeg) {
  int sampling = -1, step = -1;
  for (size_t i = 2; i + 4 < jpeg.size() && jpeg[i] == 0xFF;) {
    const uint8_t marker = jpeg[i + 1];
    const size_t length = jpeg[i + 2] << 8 | jpeg[i + 3];
    if (marker == 0xDB && step < 0 && i + 5 < jpeg.size()) step = jpeg[i + 5];
    if (marker == 0xC0 && i + 11 < jpeg.size()) sampling = jpeg[i + 11];
    if (marker == 0xDA) break;
    i += 2 + length;
  }
  return {sampling, step};
}

}  // namespace

// JPEG outputs encoded from pixels take the quality and chroma sampling
// asked for (quality 100 without subsampling by default); a JPEG placed
// without loss is not encoded again and keeps its own.
TEST(JpgMap, QualityAndSubsamplingOfEncodedOutputs) {
  TempDir dir;
  WritePicture(dir / "in.ers", 64, 48, 3, TGeo{});
  const std::string scratch = dir.str();
  struct TCase {
    std::vector<std::string> Switches;
    int Sampling, DcStep;
  };
  for (const TCase& c :
       {TCase{{}, 0x11, 1}, TCase{{"--jpeg-quality=50", "--jpeg-subsampling=420"}, 0x22, 16},
        TCase{{"--jpeg-subsampling=422", "--jpeg-quality=75"}, 0x21, 8},
        TCase{{"--jpeg-subsampling=444", "--jpeg-quality=50"}, 0x11, 16}}) {
    std::vector<std::string> args{dir / "in.ers", dir / "out.jpg", "/3"};
    args.insert(args.end(), c.Switches.begin(), c.Switches.end());
    ExpectCli(args);
    const auto [sampling, step] = SamplingAndDcStep(ReadBytes(dir / "out.jpg"));
    EXPECT_EQ(sampling, c.Sampling) << c.Switches.size();
    EXPECT_EQ(step, c.DcStep) << c.Switches.size();
    const TRaster decoded = ReadDjpeg(dir / "out.jpg", scratch);
    EXPECT_EQ(decoded.Columns, 48);
    EXPECT_EQ(decoded.Rows, 64);
    const int worst = PlacedDifference(ReadRaster(dir / "in.ers"), decoded, 3);
    EXPECT_GE(worst, 0);
  }

  const std::string in = MakeJpeg(dir, "photo.jpg", 64, 48, "2x2");
  const CommandResult run =
      RunCli({in, dir / "placed.jpg", "/1", "--jpeg-quality=20", "--jpeg-subsampling=444"});
  EXPECT_EQ(run.ExitCode, 0) << run.Output;
  EXPECT_NE(run.Output.find("Placed without loss"), std::string::npos) << run.Output;
  ASSERT_EQ(test::Run("jpegtran -copy all -flip horizontal -outfile " +
                      Quote(dir / "jpegtran.jpg") + " " + Quote(in))
                .ExitCode,
            0);
  EXPECT_EQ(ReadBytes(dir / "placed.jpg"), ReadBytes(dir / "jpegtran.jpg"));
}
