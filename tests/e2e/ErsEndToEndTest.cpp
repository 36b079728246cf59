// mirava-cli run on real ER Mapper files; outputs read back by us and by GDAL.
#include <gtest/gtest.h>

#include <cmath>
#include <regex>

#include "../formats/image/ImageTestUtil.h"
#include "Placement.h"
#include "TestRasters.h"
#include "formats/header/ErsMap.h"
#include "text/TextUtils.h"

using namespace mirava;
using namespace mirava::test;

namespace {

const char* const kControlPoints =
    "\t\tWarpControl Begin\n\t\t\tWarpType = Polynomial\n\t\t\tControlPoints = {\n"
    "\t\t\t\t\"NW\"\tYes\tNo\t0.0\t0.0\t5.741666667\t50.191666667\t0\n"
    "\t\t\t\t\"IN\"\tYes\tNo\t1.25\t2.5\t5.75\t50.18\t0\n"
    "\t\t\t}\n\t\tWarpControl End\n";

// GDAL's corner and cell sizes: origin X, cell size X, origin Y, cell size Y.
struct GdalGeo {
  double OriginX = 0, CellX = 0, OriginY = 0, CellY = 0;
};

GdalGeo GdalInfo(const std::string& path) {
  const std::vector<double> gt = GdalGeoTransform(path);
  if (gt.size() != 6) {
    ADD_FAILURE() << "GDAL gives no geotransform for " << path;
    return {};
  }
  return {gt[0], gt[1], gt[3], -gt[5]};
}

void ExpectClose(double a, double b, const char* what) {
  EXPECT_LE(std::fabs(a - b), std::fabs(b) * 1e-10 + 1e-12) << what << ": " << a << " vs " << b;
}

}  // namespace

TEST(ErsEndToEnd, EveryKindEveryCellTypeExact) {
  TempDir dir;
  for (TestRaster raster : AllCellTypes()) {
    raster.Columns = 5;
    raster.Rows = 3;
    raster.Bands = 3;
    raster.Extra = kControlPoints;
    for (bool msb : {false, true}) {
      raster.MsbFirst = msb;
      WriteErs(dir / "in.ers", raster);
      for (int kind = 0; kind <= 5; ++kind) {
        SCOPED_TRACE(raster.CellType + (msb ? " MSB" : " LSB") + " kind " + std::to_string(kind));
        const std::string out = dir / ("out" + std::to_string(kind) + ".ers");
        CommandResult r = RunCli({dir / "in.ers", out, "/" + std::to_string(kind)});
        ASSERT_EQ(r.ExitCode, 0) << r.Output;
        EXPECT_NE(r.Output.find("Successful Finish"), std::string::npos);
        TErsMap2 map;
        ASSERT_TRUE(map.Open(out, 0, 0, 1, 1, omRead)) << map.Error().Text;
        const bool swap = kind == 2 || kind == 3;
        const uint32_t W = raster.Columns, H = raster.Rows;
        ASSERT_EQ(map.GetColumnCount(), static_cast<int>(swap ? H : W));
        ASSERT_EQ(map.GetRowCount(), static_cast<int>(swap ? W : H));
        ASSERT_EQ(map.GetBandCount(), 3);
        for (uint32_t i = 0; i < static_cast<uint32_t>(map.GetRowCount()); ++i)
          for (uint32_t j = 0; j < static_cast<uint32_t>(map.GetColumnCount()); ++j)
            for (uint32_t b = 0; b < 3; ++b) {
              auto [c, r2] = SourcePixel(kind, W, H, j, i);
              double v;
              ASSERT_TRUE(map.ReadCellExact(j, i, b, v));
              ASSERT_EQ(v, PatternValue(raster, c, r2, b))
                  << "row " << i << " column " << j << " band " << b;
            }
        // The control points moved with their pixels, in the header and the ".gcp".
        TGCPList gcp;
        ASSERT_TRUE(gcp.LoadFromFile(dir / ("out" + std::to_string(kind) + ".gcp")));
        ASSERT_EQ(gcp.Count(), 2);
        ASSERT_EQ(map.GetControlPoints()->Count(), 2);
        auto [c1, r1] = MovedPoint(kind, W, H, 1.25, 2.5);
        EXPECT_DOUBLE_EQ(gcp.Items(1)->GetCellX(), c1);
        EXPECT_DOUBLE_EQ(gcp.Items(1)->GetCellY(), r1);
        EXPECT_DOUBLE_EQ(map.GetControlPoints()->Items(1)->GetCellX(), c1);
        EXPECT_DOUBLE_EQ(map.GetControlPoints()->Items(1)->GetCellY(), r1);
        EXPECT_EQ(gcp.Items(1)->GetX(), 5.75);
      }
    }
  }
}

// Geographic cell sizes and corners survive a conversion, read by us and GDAL.
TEST(ErsEndToEnd, GeoreferenceSurvivesKindZero) {
  TempDir dir;
  CommandResult r = RunCli({Sample("elev.ers"), dir / "copy.ers", "/0"});
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  TErsMap2 in, out;
  ASSERT_TRUE(in.Open(Sample("elev.ers"), 0, 0, 1, 1, omRead));
  ASSERT_TRUE(out.Open(dir / "copy.ers", 0, 0, 1, 1, omRead));
  EXPECT_EQ(out.GetGeoreference().Affine.CellSizeX, in.GetGeoreference().Affine.CellSizeX);
  EXPECT_EQ(out.GetGeoreference().Affine.CellSizeY, in.GetGeoreference().Affine.CellSizeY);
  EXPECT_EQ(out.GetGeoreference().Affine.X0, in.GetGeoreference().Affine.X0);
  EXPECT_EQ(out.GetGeoreference().Affine.Y0, in.GetGeoreference().Affine.Y0);
  EXPECT_EQ(ReadBytes(dir / "copy"), ReadBytes(Sample("elev")));
  if (!HaveGdal()) GTEST_SKIP() << "gdalinfo not installed";
  GdalGeo a = GdalInfo(Sample("elev.ers")), b = GdalInfo(dir / "copy.ers");
  ExpectClose(b.OriginX, a.OriginX, "origin X");
  ExpectClose(b.OriginY, a.OriginY, "origin Y");
  ExpectClose(b.CellX, a.CellX, "cell size X");
  ExpectClose(b.CellY, a.CellY, "cell size Y");
  GdalRaster copy;
  ASSERT_TRUE(ReadWithGdal(dir / "copy.ers", copy));
  EXPECT_EQ(copy.Columns, 95);
  EXPECT_EQ(copy.Rows, 90);
}

// GDAL reads every cell of what we write exactly as we do.
TEST(ErsEndToEnd, GdalReadsWhatWeWrite) {
  if (!HaveGdal()) GTEST_SKIP() << "gdal not installed";
  TempDir dir;
  for (TestRaster raster : AllCellTypes()) {
    if (raster.CellType == "Signed8BitInteger") continue;  // GDAL has no signed byte ERS
    raster.Columns = 7;
    raster.Rows = 4;
    raster.Bands = 2;
    WriteErs(dir / "in.ers", raster);
    for (int kind : {0, 3}) {
      SCOPED_TRACE(raster.CellType + " kind " + std::to_string(kind));
      CommandResult r = RunCli({dir / "in.ers", dir / "out.ers", "-" + std::to_string(kind)});
      ASSERT_EQ(r.ExitCode, 0) << r.Output;
      CommandResult t = test::Run("gdal_translate -q -of ENVI -co INTERLEAVE=BIL " +
                                  Quote(dir / "out.ers") + " " + Quote(dir / "gdal.bil"));
      ASSERT_EQ(t.ExitCode, 0) << t.Output;
      EXPECT_EQ(ReadBytes(dir / "gdal.bil"), ReadBytes(dir / "out"));
      GdalGeo g = GdalInfo(dir / "out.ers");
      ExpectClose(g.OriginX, 5.741666666666667, "origin X");
      ExpectClose(g.OriginY, 50.19166666666667, "origin Y");
      ExpectClose(g.CellX, 0.000833333333333333, "cell size X");
    }
  }
}

// We read every cell of what GDAL writes, float cells included.
TEST(ErsEndToEnd, WeReadWhatGdalWrites) {
  if (!HaveGdal()) GTEST_SKIP() << "gdal not installed";
  TempDir dir;
  for (const char* type : {"Byte", "Int16", "UInt16", "Int32", "Float32"}) {
    SCOPED_TRACE(type);
    const std::string gdalErs = dir / (std::string("g") + type + ".ers");
    CommandResult t = test::Run(std::string("gdal_translate -q -of ERS -ot ") + type + " " +
                                Quote(Sample("elev.tif")) + " " + Quote(gdalErs));
    ASSERT_EQ(t.ExitCode, 0) << t.Output;
    const std::string ours = dir / (std::string("m") + type + ".ers");
    CommandResult r = RunCli({gdalErs, ours});
    ASSERT_EQ(r.ExitCode, 0) << r.Output;
    EXPECT_EQ(ReadBytes(ours.substr(0, ours.size() - 4)),
              ReadBytes(gdalErs.substr(0, gdalErs.size() - 4)));
    GdalGeo a = GdalInfo(gdalErs), b = GdalInfo(ours);
    ExpectClose(b.OriginX, a.OriginX, "origin X");
    ExpectClose(b.OriginY, a.OriginY, "origin Y");
    ExpectClose(b.CellX, a.CellX, "cell size X");
    ExpectClose(b.CellY, a.CellY, "cell size Y");
  }
  // A 3-band image: band-interleaved by line both ways.
  ASSERT_EQ(test::Run("gdal_translate -q -of ERS " + Quote(Sample("logo.tif")) + " " +
                      Quote(dir / "logo.ers"))
                .ExitCode,
            0);
  ASSERT_EQ(RunCli({dir / "logo.ers", dir / "logo2.ers", "/5"}).ExitCode, 0);
  ASSERT_EQ(RunCli({dir / "logo2.ers", dir / "logo3.ers", "/5"}).ExitCode, 0);
  EXPECT_EQ(ReadBytes(dir / "logo3"), ReadBytes(dir / "logo"));
}

TEST(CommandLine, UsageHelpVersionAndExitStatus) {
  TempDir dir;
  CommandResult none = RunCli({});
  EXPECT_EQ(none.ExitCode, 2);
  EXPECT_NE(none.Output.find("Usage"), std::string::npos);
  CommandResult one = RunCli({Sample("elev.ers"), "/F"});
  EXPECT_EQ(one.ExitCode, 2);
  CommandResult help = RunCli({"--help"});
  EXPECT_EQ(help.ExitCode, 0);
  EXPECT_NE(help.Output.find("rotate 90 degrees clockwise"), std::string::npos);
  EXPECT_EQ(RunCli({"--version"}).ExitCode, 0);
  CommandResult missing = RunCli({dir / "none.ers", dir / "out.ers"});
  EXPECT_EQ(missing.ExitCode, 1);
  EXPECT_NE(missing.Output.find("No file: " + dir / "none.ers"), std::string::npos);
  // Absolute names are file names; "/F /3" and "/3 /F" give kind 3.
  TestRaster raster;
  raster.Bands = 1;
  WriteErs(dir / "in.ers", raster);
  ASSERT_EQ(RunCli({dir / "in.ers", dir / "a.ers", "/F", "/3"}).ExitCode, 0);
  ASSERT_EQ(RunCli({dir / "in.ers", dir / "b.ers", "/3", "/F"}).ExitCode, 0);
  TErsMap2 a, b;
  ASSERT_TRUE(a.Open(dir / "a.ers", 0, 0, 1, 1, omRead));
  ASSERT_TRUE(b.Open(dir / "b.ers", 0, 0, 1, 1, omRead));
  EXPECT_EQ(a.GetColumnCount(), 3);
  EXPECT_EQ(b.GetColumnCount(), 3);
}

// A switch typo or a stray name is a usage error before anything is opened:
// no output appears, and the message says what was not understood.
TEST(CommandLine, TyposRunNothing) {
  TempDir dir;
  TestRaster raster;
  WriteErs(dir / "in.ers", raster);
  const std::string out = dir / "out.ers";
  for (const std::vector<std::string>& extra : {std::vector<std::string>{"-90"},
                                                {"/7"},
                                                {"-x"},
                                                {"/f"},
                                                {dir / "third.ers"},
                                                {"--memory=lots"}}) {
    CommandResult r = RunCli({dir / "in.ers", out, extra[0]});
    EXPECT_EQ(r.ExitCode, 2) << extra[0] << "\n" << r.Output;
    EXPECT_EQ(r.Output.find("mirava-cli: "), 0u) << r.Output;
    EXPECT_NE(r.Output.find("Usage:"), std::string::npos) << r.Output;
    EXPECT_EQ(r.Output.find("Successful Finish"), std::string::npos) << r.Output;
    EXPECT_FALSE(Exists(out)) << extra[0];
    EXPECT_FALSE(Exists(dir / "out")) << extra[0];
  }
  EXPECT_NE(RunCli({dir / "in.ers", out, "/7"}).Output.find("/7 is no kind"), std::string::npos);
  // Batch mode refuses the same switches the same way.
  CommandResult batch = RunCli({"-o", dir / "b", "-e", "ers", "/f", dir / "in.ers"});
  EXPECT_EQ(batch.ExitCode, 2);
  EXPECT_NE(batch.Output.find("unknown option /f"), std::string::npos) << batch.Output;
  EXPECT_FALSE(Exists(dir / "b"));
}

// Ctrl-C ends the job with "User Abort", a closed, complete-sized output
// and a line saying how many of its rows were written.
TEST(CommandLine, InterruptRequestsTheAbort) {
  TempDir dir;
  // A header over a sparse data file: large, yet nothing to write.
  WriteErs(dir / "tiny.ers", TestRaster{});
  std::string header = ReadText(dir / "tiny.ers");
  header = std::regex_replace(header, std::regex("NrOfLines = 3"), "NrOfLines = 30000");
  header =
      std::regex_replace(header, std::regex("NrOfCellsPerLine = 5"), "NrOfCellsPerLine = 30000");
  header = std::regex_replace(header, std::regex("NrOfBands = 2"), "NrOfBands = 1");
  WriteText(dir / "big.ers", header);
  ASSERT_EQ(test::Run("truncate -s 900000000 " + Quote(dir / "big")).ExitCode, 0);
  // Interrupt once the output is begun (its first file, under a temporary
  // name): the job is then past its start-up.
  CommandResult r = test::Run(
      "{ " + std::string(MIRAVA_CLI) + " " + Quote(dir / "big.ers") + " " + Quote(dir / "out.ers") +
      " /3 & pid=$!; until ls -A " + Quote(dir.str()) +
      " | grep -q '^[.]mirava-.*[.]tmp$'; do sleep 0.02; done; sleep 0.1; kill -INT $pid; "
      "wait $pid; }");
  EXPECT_EQ(r.ExitCode, 130) << r.Output;
  EXPECT_NE(r.Output.find("User Abort\nOutput " + dir / "out.ers" + " holds "), std::string::npos)
      << r.Output;
  EXPECT_TRUE(Exists(dir / "out.ers"));  // the header was still written
}
