// gdal_translate's switches on mirava-cli: each job's output read back by
// GDAL beside what gdal_translate makes of the same input with the same
// switches, cell by cell and in size, geotransform, coordinate system and
// no-data value.
#include <gtest/gtest.h>

#include "../formats/image/ImageTestUtil.h"

using namespace mirava::test;

namespace {

// "same", or one line for each thing two files differ in. Cells may differ
// by the third argument; fields named after it are not compared.
constexpr const char* kCompare = R"(import sys, numpy
from osgeo import gdal
gdal.UseExceptions()
def look(p):
  d = gdal.Open(p)
  s = d.GetSpatialRef()
  b = [d.GetRasterBand(i + 1) for i in range(d.RasterCount)]
  return d, {'size': (d.RasterXSize, d.RasterYSize, d.RasterCount), 'type': b[0].DataType,
             'gt': [round(v, 9) for v in d.GetGeoTransform()],
             'epsg': s.GetAuthorityCode(None) if s else None,
             'nodata': [x.GetNoDataValue() for x in b]}
a, fa = look(sys.argv[1])
b, fb = look(sys.argv[2])
bad = ['%s: %s != %s' % (k, fa[k], fb[k]) for k in fa if k not in sys.argv[4:] and fa[k] != fb[k]]
if fa['size'] == fb['size']:
  diff = numpy.abs(a.ReadAsArray().astype(float) - b.ReadAsArray().astype(float)).max()
  if diff > float(sys.argv[3]): bad.append('cells differ by %g' % diff)
print('\n'.join(bad) or 'same')
)";

std::string Compare(const std::string& ours, const std::string& gdals, double tolerance = 0,
                    const std::string& skip = "") {
  return Run("/usr/bin/python3 -c " + Quote(kCompare) + " " + Quote(ours) + " " + Quote(gdals) +
             " " + std::to_string(tolerance) + " " + skip)
      .Output;
}

void Make(const std::string& command) {
  const CommandResult r = Run(command);
  ASSERT_EQ(r.ExitCode, 0) << command << "\n" << r.Output;
}

// A 6-band scene of 40 x 30 bytes, grey bands (MinIsBlack), in UTM 32N with
// a no-data value, as gdal_translate writes it; smooth, so that JPEG keeps
// it within a few levels.
std::string Scene(const TempDir& dir) {
  const std::string source = dir / "scene.vrt";
  Make("/usr/bin/python3 -c " +
       Quote("import sys, numpy\nfrom osgeo import gdal\n"
             "d = gdal.GetDriverByName('ENVI').Create(sys.argv[1], 40, 30, 6, gdal.GDT_Byte)\n"
             "y, x = numpy.mgrid[0:30, 0:40]\n"
             "for b in range(6): d.GetRasterBand(b + 1).WriteArray((x * (b + 1) + y * 2) // 2 + 10 * b)\n") +
       " " + Quote(dir / "scene.bin"));
  const std::string scene = dir / "scene.tif";
  Make("gdal_translate -q -a_srs EPSG:32632 -a_ullr 500000 5600000 500400 5599700 -a_nodata 0 " +
       Quote(dir / "scene.bin") + " " + Quote(scene));
  return scene;
}

}  // namespace

// Bands chosen and ordered, into TIFF (exactly) and JPEG (within its loss),
// the format by -of whatever the name, and the coordinate system and
// no-data value assigned, as gdal_translate does with the same switches.
TEST(GdalSwitches, SameOutputsAsGdalTranslate) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  TempDir dir;
  const std::string scene = Scene(dir);
  struct TCase {
    std::vector<std::string> Switches;
    const char* Output;
    double Tolerance;
    const char* Skip;
  };
  std::string wkt = mirava::test::Run("gdalsrsinfo --single-line -o wkt1 EPSG:3035").Output;
  wkt = wkt.substr(wkt.find("PROJCS"));
  wkt = wkt.substr(0, wkt.rfind(']') + 1);
  const TCase cases[] = {
      {{"-b", "3", "-b", "2", "-b", "1"}, "rgb.tif", 0, ""},
      {{"-b", "3", "-b", "2", "-b", "1", "-a_nodata", "none"}, "rgb.JPEG", 4, "nodata epsg"},
      {{"-b", "6", "-b", "6", "-of", "GTiff", "-a_nodata", "255"}, "pair.dat", 0, ""},
      {{"-of", "ers", "-a_srs", "+proj=utm +zone=33 +datum=WGS84 +units=m +no_defs"}, "all.ers", 0,
       ""},
      {{"-b", "2", "-a_srs", wkt}, "wkt.tiff", 0, ""},
      {{"-q", "-b", "4", "-a_srs", "EPSG:4326"}, "quiet.TIF", 0, ""},
  };
  for (const TCase& c : cases) {
    const std::string ours = dir / (std::string("ours-") + c.Output);
    const std::string gdals = dir / (std::string("gdal-") + c.Output);
    std::vector<std::string> args = {scene, ours};
    args.insert(args.end(), c.Switches.begin(), c.Switches.end());
    const CommandResult job = RunCli(args);
    ASSERT_EQ(job.ExitCode, 0) << c.Output << "\n" << job.Output;
    std::string switches;
    for (const std::string& s : c.Switches) switches += " " + Quote(s);
    // Our JPEG against the exact cells, within its loss.
    if (std::string(c.Output) == "rgb.JPEG") switches += " -of GTiff";
    if (std::string(c.Output) == "pair.dat") switches += " -of GTiff";
    Make("gdal_translate -q" + switches + " " + Quote(scene) + " " + Quote(gdals));
    EXPECT_EQ(Compare(ours, gdals, c.Tolerance, c.Skip), "same\n") << c.Output;
    if (c.Switches[0] == "-q") {
      EXPECT_EQ(job.Output, "");
    }
  }
  // A quarter turn with bands chosen: each cell where the turn puts it, in
  // a mapped output and in one encoded row by row.
  Make("gdal_translate -q -b 5 -b 1 " + Quote(scene) + " " + Quote(dir / "chosen.tif"));
  GdalRaster chosen;
  ASSERT_TRUE(ReadWithGdal(dir / "chosen.tif", chosen));
  for (const char* compress : {"COMPRESS=NONE", "COMPRESS=DEFLATE"}) {
    const auto turnedName = dir / (std::string(compress) + ".tif");
    ASSERT_EQ(RunCli({scene, turnedName, "/3", "-b", "5", "-b", "1", "-co", compress}).ExitCode, 0)
        << compress;
    GdalRaster turned;
    ASSERT_TRUE(ReadWithGdal(turnedName, turned));
    ExpectPlaced(chosen, turned, 3);
  }
}

// What cannot be done is said, with the exit status of its kind; a quiet
// job's failure is still shown; "--" takes a name that starts with "-".
TEST(GdalSwitches, RefusalsAndNamesAfterDoubleDash) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  TempDir dir;
  const std::string scene = Scene(dir);
  struct TRefusal {
    std::vector<std::string> Switches;
    int Status;
    const char* Words;
  };
  const TRefusal refusals[] = {
      {{"-of", "HFA"}, 2, "GDAL's HFA driver writes no format of Mirava's"},
      {{"-of", "NOPE"}, 2, "-of NOPE names no format; the formats are ers (ERS), osd, tiff (GTiff)"},
      {{"-of", "ers"}, 2, "-of: ER Mapper files are named by their extension (.ers), which"},
      {{"-b", "0"}, 2, "-b takes a band number from 1"},
      {{"-a_srs", "EPSG:999999"}, 2, "-a_srs: \"EPSG:999999\" is no coordinate system PROJ reads"},
      {{"-a_srs", "+proj=tmerc +lat_0=3 +lon_0=7.7 +k=0.9 +x_0=1 +y_0=2 +ellps=bessel"},
       2,
       "is no geographic or projected coordinate system of the EPSG database"},
      {{"-a_nodata", "x"}, 2, "-a_nodata takes a number or none"},
      {{"-q", "-b", "7"}, 1, "Band 7 asked for (-b), but "},
  };
  for (const TRefusal& r : refusals) {
    std::vector<std::string> args = {scene, dir / "out.tif"};
    args.insert(args.end(), r.Switches.begin(), r.Switches.end());
    const CommandResult job = RunCli(args);
    EXPECT_EQ(job.ExitCode, r.Status) << job.Output;
    EXPECT_NE(job.Output.find(r.Words), std::string::npos) << job.Output;
  }
  EXPECT_FALSE(Exists(dir / "out.tif"));

  ASSERT_EQ(mirava::test::Run("cp " + Quote(scene) + " " + Quote(dir / "-in.tif")).ExitCode, 0);
  const CommandResult job =
      mirava::test::Run("cd " + Quote(dir.str()) + " && " + std::string(MIRAVA_CLI) + " -q -b 1 -- -in.tif -out.tif");
  EXPECT_EQ(job.ExitCode, 0) << job.Output;
  Make("gdal_translate -q -b 1 " + Quote(scene) + " " + Quote(dir / "first.tif"));
  EXPECT_EQ(Compare(dir / "-out.tif", dir / "first.tif"), "same\n");
}

// A batch takes the switches for every job: quiet, bands chosen and the
// no-data value assigned, into the format -of names.
TEST(GdalSwitches, BatchTakesThem) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  TempDir dir;
  const std::string scene = Scene(dir);
  const CommandResult batch = RunCli({"-q", "-o", dir / "out", "-e", ".img", "-of", "GTiff", "-b",
                                      "2", "-a_nodata", "9", scene});
  EXPECT_EQ(batch.ExitCode, 0) << batch.Output;
  EXPECT_EQ(batch.Output, "");
  Make("gdal_translate -q -b 2 -a_nodata 9 " + Quote(scene) + " " + Quote(dir / "ref.tif"));
  EXPECT_EQ(Compare(dir / "out/scene.img", dir / "ref.tif"), "same\n");
}
