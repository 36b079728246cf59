// Coordinate systems made by GDAL travel through mirava-cli: GeoTIFF to
// GeoTIFF, GeoTIFF to ER Mapper and back, and GDAL's own ER Mapper header to
// GeoTIFF, each under a flip and a 90-degree turn, compared by GDAL's osr.
#include <gtest/gtest.h>

#include <sstream>

#include "TestRasters.h"

using namespace mirava::test;

namespace {

// GDAL's Python bindings, from Debian's interpreter (another python3 on
// the PATH may lack them).
const char* const kPython = "/usr/bin/python3";

bool HaveOsr() { return Run(std::string(kPython) + " -c 'from osgeo import osr'").ExitCode == 0; }

// For each file after the reference: "same" when osr finds its coordinate
// system the reference's, "none" when it has none, else "other".
// GDAL's geotransform of a file, as text.
std::string GdalTransform(const std::string& file) {
  return Run(std::string(kPython) +
             " -c 'import sys\nfrom osgeo import gdal\n"
             "print(gdal.Open(sys.argv[1]).GetGeoTransform())' " +
             Quote(file))
      .Output;
}

std::vector<std::string> CompareSystems(const std::string& reference,
                                        const std::vector<std::string>& files) {
  std::string command = std::string(kPython) +
                        " -c '"
                        "import sys\n"
                        "from osgeo import gdal\n"
                        "gdal.PushErrorHandler(\"CPLQuietErrorHandler\")\n"
                        "def srs(f):\n"
                        "  d = gdal.Open(f)\n"
                        "  return d.GetSpatialRef() if d else None\n"
                        "ref = srs(sys.argv[1])\n"
                        "for f in sys.argv[2:]:\n"
                        "  s = srs(f)\n"
                        "  print(\"none\" if s is None else \"same\" if ref and s.IsSame(ref, "
                        "[\"IGNORE_DATA_AXIS_TO_SRS_AXIS_MAPPING=YES\"]) else \"other\")\n"
                        "'";
  command += " " + Quote(reference);
  for (const std::string& f : files) command += " " + Quote(f);
  std::istringstream lines(Run(command).Output);
  std::vector<std::string> results;
  for (std::string line; std::getline(lines, line);) results.push_back(line);
  return results;
}

struct SystemCase {
  const char* Srs;
  const char* Corners;  // -a_ullr
};

std::string SystemName(const ::testing::TestParamInfo<SystemCase>& info) {
  const std::string srs = info.param.Srs;
  return srs.rfind("EPSG:", 0) == 0 ? CaseName(srs) : "UserDefined_tmerc";
}

// What a failure names the case by.
void PrintTo(const SystemCase& c, std::ostream* os) { *os << SystemName({c, 0}); }

class CoordinateSystems : public ::testing::TestWithParam<SystemCase> {};

TEST_P(CoordinateSystems, TravelThroughGeoTiffAndErMapper) {
  if (!HaveGdal() || !HaveOsr()) GTEST_SKIP() << "GDAL or its Python bindings not installed";
  const SystemCase& c = GetParam();
  TempDir dir;
  const std::string input = dir / "in.tif";
  ASSERT_EQ(mirava::test::Run(
                std::string("gdal_create -q -of GTiff -outsize 5 3 -bands 1 -burn 7 -a_srs ") +
                Quote(c.Srs) + " -a_ullr " + c.Corners + " " + Quote(input))
                .ExitCode,
            0);
  const std::string gdalErs = dir / "gdal.ers";
  ASSERT_EQ(mirava::test::Run("gdal_translate -q -of ERS " + Quote(input) + " " + Quote(gdalErs))
                .ExitCode,
            0);
  std::filesystem::remove(gdalErs + ".aux.xml");
  // We name every system with an EPSG code; GDAL writes "RAW" for some.
  const bool userDefined = c.Srs[0] == '+';
  const bool gdalNamesIt = ReadText(gdalErs).find("\"RAW\"") == std::string::npos;

  std::vector<std::string> outputs, expected;
  for (const char* kind : {"/1", "/3"}) {
    const std::string k = kind + 1;
    CommandResult r = RunCli({input, dir / ("t" + k + ".tif"), kind});
    ASSERT_EQ(r.ExitCode, 0) << r.Output;
    EXPECT_EQ(r.Output.find("coordinate system not written"), std::string::npos) << r.Output;
    outputs.push_back(dir / ("t" + k + ".tif"));
    expected.push_back("same");

    r = RunCli({input, dir / ("e" + k + ".ers"), kind});
    ASSERT_EQ(r.ExitCode, 0) << r.Output;
    const bool written = r.Output.find("coordinate system not written: ") == std::string::npos;
    EXPECT_EQ(written, !userDefined) << r.Output;
    r = RunCli({dir / ("e" + k + ".ers"), dir / ("et" + k + ".tif"), kind});
    ASSERT_EQ(r.ExitCode, 0) << r.Output;
    outputs.push_back(dir / ("et" + k + ".tif"));
    expected.push_back(written ? "same" : "none");

    r = RunCli({gdalErs, dir / ("gt" + k + ".tif"), kind});
    ASSERT_EQ(r.ExitCode, 0) << r.Output;
    outputs.push_back(dir / ("gt" + k + ".tif"));
    expected.push_back(gdalNamesIt ? "same" : "none");
  }
  EXPECT_EQ(CompareSystems(input, outputs), expected) << c.Srs;
  // Foot-based systems say so in the header.
  const bool feet = std::string(c.Srs) == "EPSG:26771";
  EXPECT_EQ(ReadText(dir / "e1.ers").find("\"FEET\"") != std::string::npos, feet);
}

INSTANTIATE_TEST_SUITE_P(
    Matrix, CoordinateSystems,
    ::testing::Values(SystemCase{"EPSG:4326", "10 50 10.05 49.97"},
                      SystemCase{"EPSG:4269", "-90 40 -89.95 39.97"},
                      SystemCase{"EPSG:4674", "-50 -10 -49.95 -10.03"},
                      SystemCase{"EPSG:32633", "500000 6000000 500050 5999970"},
                      SystemCase{"EPSG:32725", "500000 9000000 500050 8999970"},
                      SystemCase{"EPSG:31985", "500000 9000000 500050 8999970"},
                      SystemCase{"EPSG:29193", "500000 7000000 500050 6999970"},
                      SystemCase{"EPSG:26771", "500000 1000000 500050 999970"},
                      SystemCase{"EPSG:2154", "700000 6600000 700050 6599970"},
                      SystemCase{"EPSG:3857", "1000000 6000000 1000050 5999970"},
                      SystemCase{"EPSG:28992", "150000 450000 150050 449970"},
                      SystemCase{"EPSG:27700", "400000 300000 400050 299970"},
                      SystemCase{"EPSG:3035", "4000000 3000000 4000050 2999970"},
                      SystemCase{"EPSG:28406", "6500000 6000000 6500050 5999970"},
                      SystemCase{"EPSG:5070", "1000000 2000000 1000050 1999970"},
                      // User-defined: GeoTIFF keeps its keys, ER Mapper has no
                      // words for it.
                      SystemCase{"+proj=tmerc +lat_0=0 +lon_0=12.5 +k=0.9995 +x_0=300000 +y_0=0 "
                                 "+ellps=bessel +units=m +no_defs",
                                 "300000 5000000 300050 4999970"}),
    SystemName);

}  // namespace

// ER Mapper's own geographic header registers in longitude and latitude;
// the output keeps them so, and GDAL places both alike.
TEST(CoordinateSystems, LatLongErMapperStaysLatLong) {
  if (!HaveGdal() || !HaveOsr()) GTEST_SKIP() << "GDAL or its Python bindings not installed";
  TempDir dir;
  TestRaster raster;
  raster.CoordinateSpace =
      "\t\tDatum = \"WGS84\"\n\t\tProjection = \"GEODETIC\"\n\t\tCoordinateType = LATLONG\n"
      "\t\tUnits = \"natural\"\n";
  raster.CellInfo =
      "\t\tCellInfo Begin\n\t\t\tXdimension = 0.0025\n\t\t\tYdimension = 0.0025\n"
      "\t\tCellInfo End\n\t\tRegistrationCoord Begin\n\t\t\tLongitude = -5:44:30.9\n"
      "\t\t\tLatitude = 50:11:30\n\t\tRegistrationCoord End\n";
  WriteErs(dir / "in.ers", raster);
  const std::string placed = GdalTransform(dir / "in.ers");
  ASSERT_NE(placed.find("-5.7419166"), std::string::npos) << placed;

  CommandResult r = RunCli({dir / "in.ers", dir / "out.ers", "/1"});
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  const std::string header = ReadText(dir / "out.ers");
  EXPECT_NE(header.find("CoordinateType  = LATLONG"), std::string::npos) << header;
  EXPECT_NE(header.find("Longitude = -5:44:30.9"), std::string::npos) << header;
  EXPECT_EQ(header.find("Eastings"), std::string::npos) << header;
  EXPECT_EQ(GdalTransform(dir / "out.ers"), placed);

  r = RunCli({dir / "out.ers", dir / "out.tif", "/1"});
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  EXPECT_EQ(GdalTransform(dir / "out.tif"), placed);
  EXPECT_NE(mirava::test::Run("gdalsrsinfo -e " + Quote(dir / "out.tif")).Output.find("EPSG:4326"),
            std::string::npos);
}

// GDAL's RSW and our own RSW and ECW keep their system into ER Mapper and
// GeoTIFF; our RSW states its code where GDAL reads it (not Pulkovo 1942).
TEST(CoordinateSystems, RswAndEcwKeepTheirSystem) {
  if (!HaveGdal() || !HaveOsr()) GTEST_SKIP() << "GDAL or its Python bindings not installed";
  TempDir dir;
  const std::string input = dir / "in.tif";
  ASSERT_EQ(mirava::test::Run("gdal_create -q -of GTiff -outsize 6 4 -bands 3 -burn 9 -a_srs "
                              "EPSG:32633 -a_ullr 500000 6000000 500060 5999960 " +
                              Quote(input))
                .ExitCode,
            0);
  ASSERT_EQ(
      mirava::test::Run("gdal_translate -q -of RMF " + Quote(input) + " " + Quote(dir / "gdal.rsw"))
          .ExitCode,
      0);
  const std::vector<std::pair<std::string, std::string>> jobs = {
      {dir / "gdal.rsw", dir / "a.ers"}, {dir / "a.ers", dir / "a.tif"},
      {input, dir / "ours.rsw"},         {dir / "ours.rsw", dir / "b.ers"},
      {input, dir / "ours.ecw"},         {dir / "ours.ecw", dir / "c.ers"},
      {dir / "c.ers", dir / "c.tif"}};
  for (const auto& [from, to] : jobs) {
    const CommandResult r = RunCli({from, to, "/3"});
    ASSERT_EQ(r.ExitCode, 0) << from << " " << r.Output;
    EXPECT_EQ(r.Output.find("not written"), std::string::npos) << from << " " << r.Output;
  }
  for (const char* header : {"a.ers", "b.ers", "c.ers"})
    EXPECT_NE(ReadText(dir / header).find("Projection = \"NUTM33\""), std::string::npos) << header;
  EXPECT_EQ(CompareSystems(input, {dir / "a.tif", dir / "ours.rsw", dir / "c.tif"}),
            (std::vector<std::string>{"same", "same", "same"}));

  // A system without a code: said, and the RSW states none rather than a
  // wrong one.
  const std::string local = dir / "local.tif";
  ASSERT_EQ(mirava::test::Run("gdal_create -q -of GTiff -outsize 6 4 -bands 3 -a_srs "
                              "'+proj=tmerc +lon_0=12.5 +k=0.9995 +x_0=300000 +ellps=bessel' "
                              "-a_ullr 300000 5000000 300060 4999960 " +
                              Quote(local))
                .ExitCode,
            0);
  const CommandResult r = RunCli({local, dir / "tm.rsw"});
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  EXPECT_NE(r.Output.find("coordinate system not written: user-defined GeoTIFF keys"),
            std::string::npos)
      << r.Output;
  EXPECT_EQ(CompareSystems(local, {dir / "tm.rsw"}), std::vector<std::string>{"none"});
}
