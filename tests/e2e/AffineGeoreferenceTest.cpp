// Georeferences of every orientation through mirava-cli, read back by GDAL:
// GeoTIFFs made by GDAL north-up, south-up, with columns running west, both,
// rotated, and south-up through a world file, under every placement. The
// input's frame is kept by default; --keep-ground keeps every cell over its
// ground. A format that states north-up georeferences alone refuses others.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <filesystem>

#include "../formats/header/HeaderTestUtil.h"
#include "../formats/image/ImageTestUtil.h"
#include "georef/ControlPoints.h"

using namespace mirava;
using namespace mirava::test;

namespace {

using TGt = std::vector<double>;  // GDAL's geotransform

struct TAffineCase {
  const char* Name;
  std::array<double, 6> Gt;
  bool WorldFile;  // placed by a ".tfw" beside a TIFF without tags
};

// What a failure names the case by.
void PrintTo(const TAffineCase& c, std::ostream* os) { *os << c.Name; }

constexpr int kWidth = 7, kHeight = 5;

std::array<double, 2> World(const TGt& gt, double column, double row) {
  return {gt[0] + column * gt[1] + row * gt[2], gt[3] + column * gt[4] + row * gt[5]};
}

bool NorthUp(const TGt& gt) { return gt[1] > 0 && gt[2] == 0 && gt[4] == 0 && gt[5] < 0; }

// The geotransform that puts the centre of every output cell where the
// centre of its source cell lies.
TGt GroundTransform(const TGt& in, int kind) {
  auto centre = [&](int j, int i) {
    const auto [c, r] = SourcePixel(kind, kWidth, kHeight, j, i);
    return World(in, c + 0.5, r + 0.5);
  };
  const auto p = centre(0, 0), pj = centre(1, 0), pi = centre(0, 1);
  const double a = pj[0] - p[0], d = pj[1] - p[1], b = pi[0] - p[0], e = pi[1] - p[1];
  return {p[0] - (a + b) / 2, a, b, p[1] - (d + e) / 2, d, e};
}

void ExpectNear(double got, double want, const std::string& what) {
  EXPECT_NEAR(got, want, 1e-9 * std::max(1.0, std::fabs(want))) << what;
}

void ExpectGdal(const std::string& command) {
  const CommandResult r = test::Run(command);
  ASSERT_EQ(r.ExitCode, 0) << command << "\n" << r.Output;
}

// Bytes in an ENVI file, made by GDAL into a GeoTIFF with the case's
// geotransform (or a bare TIFF and a world file).
std::string MakeInput(const TempDir& dir, const TAffineCase& c) {
  std::vector<uint8_t> cells;
  for (int r = 0; r < kHeight; ++r)
    for (int col = 0; col < kWidth; ++col)
      cells.push_back(static_cast<uint8_t>(1 + col * 13 + r * 7));
  WriteBytes(dir / "cells.bin", cells);
  WriteText(dir / "cells.hdr",
            "ENVI\nsamples = 7\nlines = 5\nbands = 1\nheader offset = 0\n"
            "file type = ENVI Standard\ndata type = 1\ninterleave = bsq\n"
            "byte order = 0\n");
  ExpectGdal("gdal_translate -q -of VRT -a_srs EPSG:32632 -a_ullr 0 1 1 0 " +
             Quote(dir / "cells.bin") + " " + Quote(dir / "in.vrt"));
  std::string vrt = ReadText(dir / "in.vrt");
  const size_t at = vrt.find("<GeoTransform>") + 14;
  std::string terms;
  for (double v : c.Gt) terms += (terms.empty() ? "" : ", ") + FormatGeneral(v);
  vrt.replace(at, vrt.find("</GeoTransform>") - at, terms);
  WriteText(dir / "in.vrt", vrt);
  const std::string in = dir / "in.tif";
  ExpectGdal("gdal_translate -q " +
             std::string(c.WorldFile ? "-co PROFILE=BASELINE -co TFW=YES " : "") +
             Quote(dir / "in.vrt") + " " + Quote(in));
  std::filesystem::remove(in + ".aux.xml");
  return in;
}

// GDAL's cells; a north-up geotransform replaces the file's, which the
// ENVI copy they are read through may not take.
bool ReadCells(const std::string& file, GdalRaster& raster) {
  return ReadWithGdal(file, raster, "-a_ullr 0 1 1 0");
}

class AffineGeoreference : public testing::TestWithParam<TAffineCase> {};

}  // namespace

// Frame mode: every output states the input's geotransform, kind 0 being the
// identity on the map. Ground mode: the centre of each corner cell lies where
// its source cell's centre lies. TIFF and world files hold any geotransform;
// ER Mapper a north-up one alone, and is refused before it writes a file
// otherwise. Every output's cells are the placed input's.
TEST_P(AffineGeoreference, FrameAndGroundUnderEveryKind) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  const TAffineCase& param = GetParam();
  const TempDir dir;
  const std::string in = MakeInput(dir, param);
  const TGt inGt(param.Gt.begin(), param.Gt.end());
  ExpectSameTransform(GdalGeoTransform(in), inGt, "the input as GDAL reads it");
  GdalRaster cells;
  ASSERT_TRUE(ReadCells(in, cells));
  for (int kind = 0; kind < 6; ++kind)
    for (const bool ground : {false, true}) {
      const TGt want = ground ? GroundTransform(inGt, kind) : inGt;
      for (const char* ext : {".tif", ".bmp", ".ers"}) {
        const std::string what = std::string(ground ? "ground" : "frame") + " kind " +
                                 std::to_string(kind) + " into " + ext;
        const std::string out =
            dir / (std::string(ground ? "g" : "f") + std::to_string(kind) + ext);
        std::vector<std::string> args = {in, out, "/" + std::to_string(kind)};
        if (ground) args.push_back("--keep-ground");
        if (std::string(ext) == ".ers" && !NorthUp(want)) {
          ExpectRefused(args, "ER Mapper files", {out, out.substr(0, out.size() - 4)});
          continue;
        }
        ExpectCli(args);
        const TGt got = GdalGeoTransform(out);
        ExpectSameTransform(got, want, what);
        if (!ground || got.size() != 6) continue;
        for (const int j : {0, kind == 2 || kind == 3 ? kHeight - 1 : kWidth - 1})
          for (const int i : {0, kind == 2 || kind == 3 ? kWidth - 1 : kHeight - 1}) {
            const auto [c, r] = SourcePixel(kind, kWidth, kHeight, j, i);
            const auto here = World(got, j + 0.5, i + 0.5), there = World(inGt, c + 0.5, r + 0.5);
            ExpectNear(here[0], there[0], what + " corner x");
            ExpectNear(here[1], there[1], what + " corner y");
          }
        GdalRaster back;
        ASSERT_TRUE(ReadCells(out, back)) << what;
        ExpectPlaced(cells, back, kind);
      }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Orientations, AffineGeoreference,
    testing::Values(TAffineCase{"NorthUp", {500000, 100, 0, 6000000, 0, -100}, false},
                    TAffineCase{"SouthUp", {500000, 100, 0, 6000000, 0, 100}, false},
                    TAffineCase{"ColumnsWest", {500700, -100, 0, 6000000, 0, -100}, false},
                    TAffineCase{"SouthUpColumnsWest", {500700, -100, 0, 6000000, 0, 100}, false},
                    TAffineCase{"Rotated", {523456.25, 2.5, 0.75, 6123456.5, 0.5, -2.25}, false},
                    TAffineCase{"SouthUpWorldFile", {500000, 100, 0, 6000000, 0, 100}, true}),
    [](const testing::TestParamInfo<TAffineCase>& info) { return std::string(info.param.Name); });

// Control points move with their pixels in both modes: with --keep-ground
// each lands on the ground the georeference gives its new pixel, and one
// note says which mode ran. Batch mode puts that note, as every note, on
// the file's result line and in its report.
TEST(AffineGeoreference, ControlPointsAgreeOnTheGroundAndNotesReachTheBatchReport) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  const TempDir dir;
  const std::string lux = Sample("luxembourg.ers");
  const TGt luxGt = GdalGeoTransform(lux);
  TDataSet2 input;
  ASSERT_TRUE(input.Open(lux, 0, 0, 1, 1, omRead));
  const TGCPList* points = input.GetControlPoints();
  ASSERT_GT(points->Count(), 0);
  const CommandResult ground = RunCli({lux, dir / "g.tif", "/3", "--keep-ground"});
  ASSERT_EQ(ground.ExitCode, 0) << ground.Output;
  EXPECT_NE(ground.Output.find("Cells kept over their ground"), std::string::npos) << ground.Output;
  const TGt outGt = GdalGeoTransform(dir / "g.tif");
  ASSERT_EQ(outGt.size(), 6u);
  TGCPList moved;
  ASSERT_TRUE(moved.LoadFromFile(dir / "g.gcp"));
  ASSERT_EQ(moved.Count(), points->Count());
  for (int k = 0; k < moved.Count(); ++k) {
    const auto before = World(luxGt, points->Items(k)->GetCellX(), points->Items(k)->GetCellY());
    const auto after = World(outGt, moved.Items(k)->GetCellX(), moved.Items(k)->GetCellY());
    ExpectNear(after[0], before[0], "point " + std::to_string(k) + " x");
    ExpectNear(after[1], before[1], "point " + std::to_string(k) + " y");
  }

  const std::string frameNote = "The input's frame kept: the control points moved";
  const CommandResult json =
      RunCli({"-o", dir / "b", "-e", ".tif", "/3", "--report", dir / "r.json", lux});
  ASSERT_EQ(json.ExitCode, 0) << json.Output;
  const size_t line = json.Output.find("-> " + dir / "b/luxembourg.tif: Successful Finish");
  ASSERT_NE(line, std::string::npos) << json.Output;
  EXPECT_NE(json.Output.substr(line, json.Output.find('\n', line) - line).find(frameNote),
            std::string::npos)
      << json.Output;
  EXPECT_NE(ReadText(dir / "r.json").find("\"notes\":[\"" + frameNote), std::string::npos)
      << ReadText(dir / "r.json");
  const CommandResult csv = RunCli(
      {"-o", dir / "c", "-e", ".tif", "/4", "--keep-ground", "--report", dir / "r.csv", lux});
  ASSERT_EQ(csv.ExitCode, 0) << csv.Output;
  const std::string report = ReadText(dir / "r.csv");
  EXPECT_EQ(report.rfind("input,output,kind,status,result,seconds,notes\n", 0), 0u) << report;
  EXPECT_NE(report.find("Successful Finish,"), std::string::npos) << report;
  EXPECT_NE(report.find(",Cells kept over their ground"), std::string::npos) << report;
}
