// Inputs GDAL makes, converted by mirava-cli and read back by GDAL: control
// points of a GeoTIFF, a linear unit that overrides an EPSG code's, one-bit
// white-is-zero scans and SRTM tiles, each where it lands as GDAL reads the
// input, or with the note that says why not.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <sstream>

#include "../formats/image/ImageTestUtil.h"

using namespace mirava::test;

namespace {

void Make(const std::string& command) {
  const CommandResult r = Run(command);
  ASSERT_EQ(r.ExitCode, 0) << command << "\n" << r.Output;
}

CommandResult Convert(const std::vector<std::string>& args) {
  CommandResult r = RunCli(args);
  EXPECT_EQ(r.ExitCode, 0) << r.Output;
  EXPECT_NE(r.Output.find("Successful Finish"), std::string::npos) << r.Output;
  return r;
}

// A picture of 9 x 7 bytes, each cell its own value, as an ENVI file.
std::string Picture(const TempDir& dir, int top = 250) {
  std::vector<uint8_t> cells(63);
  for (size_t i = 0; i < cells.size(); ++i) cells[i] = static_cast<uint8_t>((i * 37) % top);
  WriteBytes(dir / "pic.bin", cells);
  WriteText(dir / "pic.hdr",
            "ENVI\nsamples = 9\nlines = 7\nbands = 1\nheader offset = 0\n"
            "file type = ENVI Standard\ndata type = 1\ninterleave = bsq\nbyte order = 0\n");
  return dir / "pic.bin";
}

// GDAL's control points of a file, "pixel line x y z" a line, after the
// EPSG code of their coordinate system.
std::string GdalPoints(const std::string& file) {
  return Run("/usr/bin/python3 -c 'import sys\nfrom osgeo import gdal\n"
             "d = gdal.Open(sys.argv[1])\ns = d.GetGCPSpatialRef()\n"
             "print(\"EPSG:%s\" % s.GetAuthorityCode(None) if s else \"none\")\n"
             "for p in d.GetGCPs():\n"
             "  print(\"%.6f %.6f %.9f %.9f %.3f\" % (p.GCPPixel, p.GCPLine, p.GCPX, p.GCPY, "
             "p.GCPZ))' " +
             Quote(file))
      .Output;
}

// The coordinate system GDAL reads, as PROJ text; empty for none.
std::string GdalProj(const std::string& file) {
  const CommandResult r = Run("gdalsrsinfo -o proj4 " + Quote(file));
  return r.ExitCode == 0 ? r.Output : "";
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

struct TOutputCase {
  const char* Extension;
  int Kind;
};
std::string CaseName(const ::testing::TestParamInfo<TOutputCase>& info) {
  return std::string(info.param.Extension + 1) + "_kind" + std::to_string(info.param.Kind);
}

// What a failure names the case by.
void PrintTo(const TOutputCase& c, std::ostream* os) { *os << CaseName({c, 0}); }

class ControlPointsOfGeoTiff : public ::testing::TestWithParam<TOutputCase> {};

// The tie points go with their pixels into the ".gcp" of every output and
// into a TIFF output's own tie points, its coordinate system with them.
TEST_P(ControlPointsOfGeoTiff, MoveWithTheirPixels) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  const TOutputCase& c = GetParam();
  TempDir dir;
  const std::string in = dir / "gcp.tif";
  Make(
      "gdal_translate -q -gcp 0 0 10 50 -gcp 9 0 11 50 -gcp 0.5 7 10 49 -gcp 6.25 3.5 10.7 "
      "49.4 12.5 -a_srs EPSG:4326 " +
      Quote(Picture(dir)) + " " + Quote(in));
  std::vector<std::string> points = Lines(GdalPoints(in));
  ASSERT_EQ(points.size(), 5u);
  ASSERT_EQ(points[0], "EPSG:4326");
  points.erase(points.begin());
  const std::string out = dir / (std::string("out") + c.Extension);
  const CommandResult job = Convert({in, out, "/" + std::to_string(c.Kind)});
  // The points' system goes with them into a TIFF; elsewhere a note says it
  // did not.
  EXPECT_EQ(job.Output.find("coordinate system not written: EPSG:4326") == std::string::npos,
            std::string(c.Extension) == ".tif")
      << job.Output;
  GdalRaster before, after;
  ASSERT_TRUE(ReadWithGdal(in, before));
  ASSERT_TRUE(ReadWithGdal(out, after));
  ExpectPlaced(before, after, c.Kind);

  std::vector<std::string> moved = {"EPSG:4326"};
  for (const std::string& line : points) {
    double column, row, x, y, z;
    std::sscanf(line.c_str(), "%lf %lf %lf %lf %lf", &column, &row, &x, &y, &z);
    const auto [mc, mr] = MovedPoint(c.Kind, 9, 7, column, row);
    char text[160];
    std::snprintf(text, sizeof text, "%.6f %.6f %.9f %.9f %.3f", mc, mr, x, y, z);
    moved.push_back(text);
  }
  const std::string gcp = ReadText(dir / "out.gcp");
  for (size_t i = 1; i < moved.size(); ++i) {
    double column, row;
    std::sscanf(moved[i].c_str(), "%lf %lf", &column, &row);
    char cells[64];
    std::snprintf(cells, sizeof cells, "%10.3f\t%10.3f", column, row);
    EXPECT_NE(gcp.find(std::to_string(i) + "\tYes\t" + cells), std::string::npos) << gcp;
  }
  if (std::string(c.Extension) == ".tif") {
    EXPECT_EQ(Lines(GdalPoints(out)), moved);
  }
}

INSTANTIATE_TEST_SUITE_P(Outputs, ControlPointsOfGeoTiff,
                         ::testing::Values(TOutputCase{".tif", 0}, TOutputCase{".tif", 1},
                                           TOutputCase{".tif", 2}, TOutputCase{".tif", 3},
                                           TOutputCase{".tif", 5}, TOutputCase{".ers", 4},
                                           TOutputCase{".bmp", 3}),
                         CaseName);

// NAD83 / Georgia East (in metres) with US survey feet as its unit: GDAL
// reads the state plane in feet. A GeoTIFF keeps the keys; ER Mapper and
// OSD names cannot say it, and the job says so.
TEST(UnitOverride, FeetStayFeetOrTheJobSaysWhy) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  TempDir dir;
  const std::string metres = dir / "metres.tif", feet = dir / "feet.tif";
  Make("gdal_translate -q -a_srs EPSG:26966 -a_ullr 700000 1100000 700900 1099300 " +
       Quote(Picture(dir)) + " " + Quote(metres));
  // The unit key set directly, as files written by other programs have it.
  std::string bytes = ReadText(metres);
  const std::string metreKey("\x04\x0C\x00\x00\x01\x00\x29\x23", 8);  // 3076 = 9001
  const size_t at = bytes.find(metreKey);
  ASSERT_NE(at, std::string::npos);
  bytes[at + 6] = 0x2B;  // 9003, US survey foot
  WriteText(feet, bytes);
  const std::string proj = GdalProj(feet);
  ASSERT_NE(proj.find("+units=us-ft"), std::string::npos) << proj;

  for (const std::string ext : {".tif", ".ers", ".osd"}) {
    const std::string out = dir / ("out" + ext);
    const CommandResult job = Convert({feet, out});
    if (ext != ".osd") ExpectSameTransform(GdalGeoTransform(out), GdalGeoTransform(feet), ext);
    const bool told = job.Output.find(
                          "coordinate system not written: EPSG:26966 (NAD83 / Georgia East) in US "
                          "survey feet") != std::string::npos;
    if (ext == ".tif") {
      EXPECT_EQ(GdalProj(out), proj);
      EXPECT_FALSE(told) << job.Output;
    } else {
      EXPECT_TRUE(told) << job.Output;
    }
    if (ext == ".ers") {
      EXPECT_EQ(GdalProj(out), "");
    }
  }
}

struct TScanCase {
  const char* Name;
  const char* Options;
  const char* Output;
};
std::string ScanName(const ::testing::TestParamInfo<TScanCase>& info) {
  return std::string(info.param.Name) + "_" + (info.param.Output + 1);
}

// What a failure names the case by.
void PrintTo(const TScanCase& c, std::ostream* os) { *os << ScanName({c, 0}); }

// Entries 0 and 1 of the colour table gdalinfo shows.
std::string FirstColours(const std::string& info) {
  const size_t table = info.find("Color Table");
  const size_t first = info.find("    0: ", table);
  const size_t end = info.find("    2: ", first);
  if (table == std::string::npos || first == std::string::npos) return "";
  const size_t last = info.find('\n', info.find("    1: ", first));
  return info.substr(first, std::min(end, last) - first);
}

class OneBitScans : public ::testing::TestWithParam<TScanCase> {};

// The stored bits, with GDAL's two colours where the output holds a colour
// table, and a note where it does not.
TEST_P(OneBitScans, KeepTheirValuesAndColours) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  const TScanCase& c = GetParam();
  TempDir dir;
  const std::string in = dir / "scan.tif";
  Make(std::string("gdal_translate -q -scale 0 249 0 1 -co NBITS=1 ") + c.Options + " " +
       Quote(Picture(dir)) + " " + Quote(in));
  const std::string out = dir / (std::string("out") + c.Output);
  const CommandResult job = Convert({in, out, "/2"});
  GdalRaster bits, placed;
  ASSERT_TRUE(ReadWithGdal(in, bits));
  ASSERT_TRUE(ReadWithGdal(out, placed));
  ExpectPlaced(bits, placed, 2);
  const std::string colours = FirstColours(mirava::test::Run("gdalinfo " + Quote(in)).Output);
  ASSERT_FALSE(colours.empty());
  const std::string written = mirava::test::Run("gdalinfo " + Quote(out)).Output;
  if (std::string(c.Output) == ".ers") {
    EXPECT_NE(job.Output.find("Colour table not kept"), std::string::npos) << job.Output;
  } else {
    EXPECT_EQ(FirstColours(written), colours) << written;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, OneBitScans,
    ::testing::Values(
        TScanCase{"WhiteIsZero", "-co PHOTOMETRIC=MINISWHITE", ".tif"},
        TScanCase{"WhiteIsZero", "-co PHOTOMETRIC=MINISWHITE", ".bmp"},
        TScanCase{"WhiteIsZero", "-co PHOTOMETRIC=MINISWHITE", ".ers"},
        TScanCase{"CcittG4", "-co COMPRESS=CCITTFAX4 -co PHOTOMETRIC=MINISWHITE", ".tif"},
        TScanCase{"CcittG4", "-co COMPRESS=CCITTFAX4 -co PHOTOMETRIC=MINISWHITE", ".bmp"},
        TScanCase{"BlackIsZero", "", ".tif"}),
    ScanName);

// An SRTM tile GDAL writes, read as GDAL reads it in every output that
// states coordinates: WGS 84 degrees.
class SrtmTile : public ::testing::TestWithParam<TOutputCase> {};

std::string MakeTile(const TempDir& dir, const std::string& name) {
  std::vector<uint8_t> cells(2u * 1201 * 1201);
  for (size_t i = 0; i < cells.size() / 2; ++i) {
    const int16_t v = static_cast<int16_t>((i * 7) % 5000 - 300);
    cells[2 * i] = static_cast<uint8_t>(v);
    cells[2 * i + 1] = static_cast<uint8_t>(v >> 8);
  }
  WriteBytes(dir / "tile.bin", cells);
  WriteText(dir / "tile.hdr",
            "ENVI\nsamples = 1201\nlines = 1201\nbands = 1\nheader offset = 0\n"
            "file type = ENVI Standard\ndata type = 2\ninterleave = bsq\nbyte order = 0\n");
  const double half = 0.5 / 1200;
  char corners[160];
  std::snprintf(corners, sizeof corners, "%.12f %.12f %.12f %.12f", -110 - half, 11 + half,
                -109 + half, 10 - half);
  std::filesystem::create_directories(dir / "tiles");
  const std::string tile = dir / ("tiles/" + name);
  Make(std::string("gdal_translate -q -of SRTMHGT -a_srs EPSG:4326 -a_ullr ") + corners + " " +
       Quote(dir / "tile.bin") + " " + Quote(tile));
  return tile;
}

TEST_P(SrtmTile, LiesWhereGdalPutsIt) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  const TOutputCase& c = GetParam();
  TempDir dir;
  const std::string tile = MakeTile(dir, "N10W110.hgt");
  std::filesystem::create_directories(dir / "out");
  const std::string out =
      dir /
      (std::string("out/") + (c.Extension == std::string(".hgt") ? "N10W110" : "o") + c.Extension);
  Convert({tile, out, "/" + std::to_string(c.Kind)});
  GdalRaster in, back;
  ASSERT_TRUE(ReadWithGdal(tile, in));
  ASSERT_TRUE(ReadWithGdal(out, back));
  ExpectPlaced(in, back, c.Kind);
  ExpectSameTransform(GdalGeoTransform(out), GdalGeoTransform(tile), c.Extension);
  // GDAL reads ER Mapper's GEODETIC only with its ecw_cs.wkt, which Debian
  // leaves out; our names are ER Mapper's for EPSG:4326.
  if (c.Extension != std::string(".ers")) {
    EXPECT_EQ(GdalCrs(out), "EPSG:4326");
  }
}

INSTANTIATE_TEST_SUITE_P(Outputs, SrtmTile,
                         ::testing::Values(TOutputCase{".tif", 0}, TOutputCase{".ers", 0},
                                           TOutputCase{".hgt", 0}),
                         CaseName);

// A tile is placed by its name alone: a name that is not a tile's places
// nothing, and an output named for another tile is refused, both places
// named.
TEST(SrtmTileNames, ThatDoNotPlaceTheTileAreRefused) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  TempDir dir;
  const std::string tile = MakeTile(dir, "N10W110.hgt");
  std::filesystem::copy_file(tile, dir / "x_N10W110.hgt");
  CommandResult r = RunCli({dir / "x_N10W110.hgt", dir / "o.tif"});
  EXPECT_EQ(r.ExitCode, 1) << r.Output;
  EXPECT_NE(r.Output.find("x_N10W110.hgt has no place: an HGT tile is named by its south-west "
                          "corner, N or S 0-90 and E or W 0-180 (N45E006.hgt)"),
            std::string::npos)
      << r.Output;
  for (const char* name : {"N95E006.hgt", "N45E200.hgt", "foo.hgt"}) {
    r = RunCli({tile, dir / name});
    EXPECT_EQ(r.ExitCode, 1) << r.Output;
    EXPECT_NE(r.Output.find(std::string(name) + " cannot be placed by its name"), std::string::npos)
        << r.Output;
    EXPECT_FALSE(Exists(dir / name)) << name;
  }
  r = RunCli({tile, dir / "N45E006.hgt"});
  EXPECT_EQ(r.ExitCode, 1) << r.Output;
  EXPECT_NE(r.Output.find("N45E006.hgt names the tile whose south-west height lies at 6, 45 with "
                          "heights 0.000833333333333333 degrees apart; the input's lies at -110, "
                          "10"),
            std::string::npos)
      << r.Output;
  EXPECT_NE(r.Output.find("the tile is N10W110.hgt"), std::string::npos) << r.Output;
  EXPECT_FALSE(Exists(dir / "N45E006.hgt"));
}

// Files no dataset reads, and reads that fail, say which file and why.
TEST(ReadMessages, NameTheFileAndWhatIsWrong) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  TempDir dir;
  WriteBytes(dir / "map.png", {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13});
  CommandResult r = RunCli({dir / "map.png", dir / "o.tif"});
  EXPECT_NE(r.Output.find("Unknown file format: " + dir / "map.png" +
                          "\nIt is a PNG file, which Mirava does not read; mirava-cli "
                          "--formats lists the formats it reads"),
            std::string::npos)
      << r.Output;

  Make("gdal_translate -q -of JPEG -ot UInt16 " + Quote(Picture(dir)) + " " +
       Quote(dir / "deep.jpg"));
  r = RunCli({dir / "deep.jpg", dir / "o.tif"});
  EXPECT_NE(r.Output.find("Unsupported JPEG data precision 12\n" + dir / "deep.jpg" +
                          ": 12-bit JPEG samples are not supported"),
            std::string::npos)
      << r.Output;

  Make("gdal_translate -q -co COMPRESS=DEFLATE " + Quote(Picture(dir)) + " " +
       Quote(dir / "squeezed.tif"));
  std::string bytes = ReadText(dir / "squeezed.tif");
  bytes[2] = 41;
  WriteText(dir / "squeezed.tif", bytes);
  r = RunCli({dir / "squeezed.tif", dir / "o.ers"});
  EXPECT_NE(r.Output.find("in " + dir / "squeezed.tif"), std::string::npos) << r.Output;
}

// DTM headers hold the corner in 32-bit floats: where that moves it, the
// job says by how much.
TEST(DtmCorner, RoundedToFloatsIsTold) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  TempDir dir;
  Make(
      "gdal_translate -q -ot Float32 -a_srs EPSG:32632 -a_ullr 523456.37 6123456.81 523465.37 "
      "6123449.81 " +
      Quote(Picture(dir)) + " " + Quote(dir / "dem.tif"));
  const CommandResult r = Convert({dir / "dem.tif", dir / "corner.dtm"});
  EXPECT_NE(r.Output.find("DTM files hold the corner and cell size as 32-bit floats: the corner "
                          "523456.37, 6123456.81 becomes 523456.375, 6123457"),
            std::string::npos)
      << r.Output;
  Make("gdal_translate -q -ot Float32 -a_ullr 500 700 509 693 " + Quote(Picture(dir)) + " " +
       Quote(dir / "round.tif"));
  const CommandResult quiet = Convert({dir / "round.tif", dir / "exact.dtm"});
  EXPECT_EQ(quiet.Output.find("32-bit floats"), std::string::npos) << quiet.Output;
}

}  // namespace
