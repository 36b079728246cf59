// GDAL's TIFF creation options beyond the lossless ones, and the colours a
// TIFF output states: each output read back by GDAL in its cells (exactly,
// or within a lossy codec's reach), compression, BigTIFF-ness and colour
// interpretation.
#include <gtest/gtest.h>

#include "../formats/image/ImageTestUtil.h"

using namespace mirava::test;

namespace {

// One line: the compression, "big" or "classic", the bands' colour
// interpretations, MINISWHITE when stated, and the largest difference
// of a cell from the reference's (the second file).
constexpr const char* kDescribe = R"(import sys, numpy
from osgeo import gdal
gdal.UseExceptions()
d = gdal.Open(sys.argv[1])
r = gdal.Open(sys.argv[2])
s = d.GetMetadata('IMAGE_STRUCTURE')
big = open(sys.argv[1], 'rb').read(4)[2] == 43
words = [s.get('COMPRESSION', 'NONE'), 'big' if big else 'classic']
words += [gdal.GetColorInterpretationName(d.GetRasterBand(i + 1).GetColorInterpretation())
          for i in range(d.RasterCount)]
if s.get('MINISWHITE') == 'YES': words.append('MINISWHITE')
diff = numpy.abs(d.ReadAsArray().astype(float) - r.ReadAsArray().astype(float)).max()
print(' '.join(words), 'diff %g' % diff)
)";

std::string Describe(const std::string& file, const std::string& reference) {
  return mirava::test::Run("/usr/bin/python3 -c " + Quote(kDescribe) + " " + Quote(file) + " " +
             Quote(reference) + " 2>&1")
      .Output;
}

void Make(const std::string& command) {
  const CommandResult r = mirava::test::Run(command);
  ASSERT_EQ(r.ExitCode, 0) << command << "\n" << r.Output;
}

}  // namespace

// Every option into the file GDAL reads, and the colours: RGB where the
// input says so, grey where it says grey however many bands, white-is-zero
// kept, and what PHOTOMETRIC asks for over all of them. JPEG's default
// quality is 75.
TEST(GdalCreationOptions, ReadBackAsAskedFor) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  TempDir dir;
  const std::string rgb = dir / "rgb.tif";
  Make("gdal_translate -q -outsize 203 150 -r bilinear " + Quote(Sample("logo.tif")) + " " +
       Quote(rgb));
  const std::string grey6 = dir / "grey6.tif";
  Make("gdal_translate -q -b 1 -b 2 -b 3 -b 1 -b 2 -b 3 -co PHOTOMETRIC=MINISBLACK -co "
       "COMPRESS=DEFLATE " +
       Quote(rgb) + " " + Quote(grey6));
  const std::string white = dir / "white.tif";
  Make("gdal_translate -q -b 2 -co PHOTOMETRIC=MINISWHITE " + Quote(rgb) + " " + Quote(white));
  struct TCase {
    std::string Input;
    std::vector<std::string> Options;
    const char* Described;  // before the difference
    double Most;            // difference
  };
  const TCase cases[] = {
      {rgb, {"COMPRESS=JPEG", "JPEG_QUALITY=90"}, "JPEG classic Red Green Blue", 12},
      {rgb, {"COMPRESS=JPEG", "TILED=YES", "PHOTOMETRIC=MINISBLACK"}, "JPEG classic Gray "
                                                                      "Undefined Undefined", 24},
      {rgb, {"COMPRESS=JPEG", "PHOTOMETRIC=YCBCR", "BLOCKYSIZE=32"},
       "YCbCr JPEG classic Red Green Blue", 24},
      {rgb, {"COMPRESS=WEBP", "WEBP_LOSSLESS=YES", "BLOCKYSIZE=64"}, "WEBP classic Red Green Blue",
       0},
      {rgb, {"COMPRESS=WEBP", "WEBP_LEVEL=95", "NUM_THREADS=ALL_CPUS"},
       "WEBP classic Red Green Blue", 12},
      {rgb, {"BIGTIFF=YES"}, "NONE big Red Green Blue", 0},
      {rgb, {"COMPRESS=DEFLATE", "BIGTIFF=NO"}, "DEFLATE classic Red Green Blue", 0},
      {grey6, {}, "NONE classic Gray Undefined Undefined Undefined Undefined Undefined", 0},
      {grey6, {"COMPRESS=LZMA"}, "LZMA classic Gray Undefined Undefined Undefined Undefined "
                                 "Undefined", 0},
      {grey6, {"PHOTOMETRIC=RGB", "COMPRESS=PACKBITS"},
       "PACKBITS classic Red Green Blue Undefined Undefined Undefined", 0},
      // GDAL shows white-is-zero grey as a palette running from white.
      {white, {"COMPRESS=JPEG", "BLOCKYSIZE=16"}, "JPEG classic Palette MINISWHITE", 24},
  };
  for (const TCase& c : cases) {
    std::string words;
    std::vector<std::string> args = {c.Input, dir / "out.tif"};
    for (const std::string& o : c.Options) {
      args.insert(args.end(), {"-co", o});
      words += " " + o;
    }
    SCOPED_TRACE(c.Input + words);
    const CommandResult job = RunCli(args);
    ASSERT_EQ(job.ExitCode, 0) << job.Output;
    const std::string described = Describe(dir / "out.tif", c.Input);
    const size_t cut = described.find(" diff ");
    ASSERT_NE(cut, std::string::npos) << described;
    EXPECT_EQ(described.substr(0, cut), c.Described);
    EXPECT_LE(std::stod(described.substr(cut + 6)), c.Most) << described;
    const std::string info = mirava::test::Run("gdalinfo " + Quote(dir / "out.tif")).Output;
    EXPECT_EQ(info.find("Warning"), std::string::npos) << info;
  }
}

// An option the cells cannot take fails the job in words, and nothing is
// written.
TEST(GdalCreationOptions, WhatCannotBeHonouredIsSaid) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  TempDir dir;
  const std::string shorts = dir / "shorts.tif";
  Make("gdal_translate -q -ot UInt16 -b 1 " + Quote(Sample("logo.tif")) + " " + Quote(shorts));
  const std::string grey = dir / "grey.tif";
  Make("gdal_translate -q -b 1 " + Quote(Sample("logo.tif")) + " " + Quote(grey));
  const struct {
    std::string Input;
    std::vector<std::string> Options;
    const char* Words;
  } cases[] = {
      {shorts, {"COMPRESS=JPEG"}, "COMPRESS=JPEG needs unsigned 8-bit cells, not unsigned 16-bit"},
      {Sample("logo.tif"), {"COMPRESS=WEBP", "PHOTOMETRIC=CMYK"}, "PHOTOMETRIC=CMYK needs 4 bands"},
      {shorts, {"COMPRESS=WEBP"}, "COMPRESS=WEBP needs unsigned 8-bit cells"},
      {Sample("logo.tif"), {"COMPRESS=JPEG", "BLOCKYSIZE=12"},
       "COMPRESS=JPEG: strips of whole blocks of 8 rows, not 12"},
      {grey, {"COMPRESS=JPEG", "PHOTOMETRIC=YCBCR"}, "PHOTOMETRIC=YCBCR takes 3 bands (RGB), not 1"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {c.Input, dir / "out.tif"};
    for (const std::string& o : c.Options) args.insert(args.end(), {"-co", o});
    const CommandResult job = RunCli(args);
    EXPECT_EQ(job.ExitCode, 1) << job.Output;
    EXPECT_NE(job.Output.find(c.Words), std::string::npos) << job.Output;
    EXPECT_FALSE(Exists(dir / "out.tif"));
  }
}
