#include "formats/image/jp2/Jp2Boxes.h"

#include <gtest/gtest.h>

#include <sstream>

#include "../../TestUtil.h"
#include "ImageTestUtil.h"

namespace mirava {
namespace {

using namespace mirava::test;

// A VRT of 20 x 10 bytes holding `geo` (SRS, GeoTransform or GCPList) and
// band elements `band`, turned by GDAL into `name` with `options`.
std::string GdalMade(const TempDir& dir, const std::string& name, const std::string& geo,
                     const std::string& options, const std::string& band = "", int bands = 1) {
  std::string vrt = "<VRTDataset rasterXSize=\"20\" rasterYSize=\"10\">" + geo;
  for (int b = 1; b <= bands; ++b)
    vrt += "<VRTRasterBand dataType=\"Byte\" band=\"" + std::to_string(b) + "\">" + band +
           "</VRTRasterBand>";
  WriteText(dir / "in.vrt", vrt + "</VRTDataset>");
  const CommandResult r = Run("gdal_translate -q -of JP2OpenJPEG " + options + " " +
                              Quote(dir / "in.vrt") + " " + Quote(dir / name));
  EXPECT_EQ(r.ExitCode, 0) << r.Output;
  return dir / name;
}

TJp2Boxes Read(const std::string& file) {
  TJp2Boxes boxes;
  const std::vector<uint8_t> bytes = ReadBytes(file);
  const TError error = ReadJp2Boxes(bytes, file, boxes);
  EXPECT_FALSE(error.Failed()) << error.Text;
  return boxes;
}

TEST(Jp2Boxes, LocatesTheCodestreamAndHeaderOfGdalFiles) {
  if (!HaveGdal()) GTEST_SKIP();
  const TempDir dir;
  const std::string jp2 = GdalMade(dir, "a.jp2", "", "-co GeoJP2=NO -co GMLJP2=NO", "", 3);
  const std::string j2k = GdalMade(dir, "a.j2k", "", "-co CODEC=J2K", "", 3);
  const TJp2Boxes wrapped = Read(jp2), raw = Read(j2k);
  EXPECT_TRUE(wrapped.Wrapped);
  EXPECT_EQ(wrapped.Width, 20u);
  EXPECT_EQ(wrapped.Height, 10u);
  EXPECT_EQ(wrapped.Components, 3u);
  EXPECT_EQ(wrapped.Bits, 8);
  EXPECT_FALSE(wrapped.Signed);
  EXPECT_FALSE(wrapped.Georeference.Placed);
  // The codestream GDAL writes the same into either file.
  const std::vector<uint8_t> inJp2 = ReadBytes(jp2), inJ2k = ReadBytes(j2k);
  ASSERT_EQ(wrapped.CodestreamOffset + wrapped.CodestreamLength, inJp2.size());
  EXPECT_EQ(std::vector<uint8_t>(inJp2.begin() + wrapped.CodestreamOffset, inJp2.end()), inJ2k);
  EXPECT_FALSE(raw.Wrapped);
  EXPECT_EQ(raw.CodestreamOffset, 0u);
  EXPECT_EQ(raw.CodestreamLength, inJ2k.size());
}

TEST(Jp2Boxes, ReadsThePaletteGdalWrites) {
  if (!HaveGdal()) GTEST_SKIP();
  const TempDir dir;
  const TJp2Boxes boxes = Read(
      GdalMade(dir, "a.jp2", "", "",
               "<ColorInterp>Palette</ColorInterp><ColorTable><Entry c1=\"255\" c2=\"0\" c3=\"7\"/>"
               "<Entry c1=\"1\" c2=\"128\" c3=\"254\"/></ColorTable>"));
  EXPECT_TRUE(boxes.Palette);
  EXPECT_EQ(boxes.PaletteColours, (TColorTable{{65535, 0, 7 * 257}, {257, 128 * 257, 254 * 257}}));
}

// Our header before a GDAL-made codestream, its length patched as the
// writer patches it.
std::string Wrap(const TempDir& dir, const TJp2Header& header, const std::string& j2k) {
  std::vector<uint8_t> bytes = Jp2HeaderBytes(header);
  const std::vector<uint8_t> codestream = ReadBytes(j2k);
  const std::array<uint8_t, 8> length = Jp2CodestreamBoxLength(codestream.size());
  std::copy(length.begin(), length.end(), bytes.begin() + Jp2CodestreamLengthOffset(bytes.size()));
  bytes.insert(bytes.end(), codestream.begin(), codestream.end());
  WriteBytes(dir / "ours.jp2", bytes);
  return dir / "ours.jp2";
}

TEST(Jp2Boxes, GdalReadsOurHeaderBeforeItsCodestream) {
  if (!HaveGdal()) GTEST_SKIP();
  const TempDir dir;
  for (const int bands : {1, 3}) {
    const std::string j2k = GdalMade(dir, "a.j2k", "", "-co CODEC=J2K", "", bands);
    TJp2Header header;
    header.Width = 20;
    header.Height = 10;
    header.Components = bands;
    header.Color = bands == 3;
    const std::string ours = Wrap(dir, header, j2k);
    GdalRaster in, out;
    ASSERT_TRUE(ReadWithGdal(j2k, in));
    ASSERT_TRUE(ReadWithGdal(ours, out));
    EXPECT_EQ(out.Bands, bands);
    EXPECT_EQ(out.Cells, in.Cells);
    EXPECT_NE(test::Run("gdalinfo " + Quote(ours))
                  .Output.find(bands == 3 ? "ColorInterp=Red" : "ColorInterp=Gray"),
              std::string::npos);
    const TJp2Boxes boxes = Read(ours);
    EXPECT_EQ(boxes.CodestreamLength, ReadBytes(j2k).size());
    EXPECT_EQ(boxes.Components, uint32_t(bands));
  }
}

// What GDAL reads of a file's georeference, each value exactly: the
// geotransform (none when GDAL has none), the EPSG code (0 for none, -1 for
// a system without one), the control points.
struct TGdalGeo {
  std::vector<double> Transform;
  int Epsg = 0;
  std::vector<std::array<double, 4>> Points;  // pixel, line, x, y
};

TGdalGeo GdalGeo(const std::string& file, const std::string& sources = "") {
  const CommandResult r = test::Run(
      "/usr/bin/python3 -c 'import sys\nfrom osgeo import gdal\n"
      "d = gdal.OpenEx(sys.argv[1], open_options=sys.argv[2:])\n"
      "t = d.GetGeoTransform(can_return_null=True)\n"
      "print(\" \".join(repr(v) for v in t) if t else \"\")\n"
      "s = d.GetGCPSpatialRef() if d.GetGCPCount() else d.GetSpatialRef()\n"
      "print(s.GetAuthorityCode(None) or -1 if s else 0)\n"
      "for p in d.GetGCPs(): print(repr(p.GCPPixel), repr(p.GCPLine), repr(p.GCPX), "
      "repr(p.GCPY))' " +
      Quote(file) + (sources.empty() ? "" : " GEOREF_SOURCES=" + sources));
  EXPECT_EQ(r.ExitCode, 0) << r.Output;
  std::istringstream lines(r.Output);
  std::string line;
  TGdalGeo geo;
  std::getline(lines, line);
  std::istringstream transform(line);
  for (double v; transform >> v;) geo.Transform.push_back(v);
  lines >> geo.Epsg;
  for (std::array<double, 4> p; lines >> p[0] >> p[1] >> p[2] >> p[3];) geo.Points.push_back(p);
  return geo;
}

void ExpectSameGeo(const TGdalGeo& ours, const TGdalGeo& gdal, const std::string& what) {
  if (gdal.Transform.empty())
    EXPECT_TRUE(ours.Transform.empty()) << what;
  else
    ExpectSameTransform(ours.Transform, gdal.Transform, what);
  EXPECT_EQ(ours.Epsg, gdal.Epsg) << what;
  EXPECT_EQ(ours.Points, gdal.Points) << what;
}

// What GDAL would read if it read the boxes as we do.
TGdalGeo AsGdalReads(const TJp2Boxes& boxes) {
  TGdalGeo geo;
  const TGeoreference& g = boxes.Georeference;
  const TAffine& a = g.Affine;
  if (g.Placed) geo.Transform = {a.X0, a.CellSizeX, a.RowTermX, a.Y0, a.ColumnTermY, -a.CellSizeY};
  geo.Epsg = g.Crs.Epsg != 0 ? g.Crs.Epsg : g.Crs.Empty() ? 0 : -1;
  for (const TGCPoint& p : boxes.ControlPoints)
    geo.Points.push_back({p.GetCellX(), p.GetCellY(), p.GetX(), p.GetY()});
  return geo;
}

struct TGeoCase {
  const char* Name;
  const char* Geo;      // the VRT's SRS and GeoTransform or GCPList
  const char* Options;  // gdal_translate's, making the .jp2
};

// What a failure names the case by.
void PrintTo(const TGeoCase& c, std::ostream* os) { *os << c.Name; }

const TGeoCase kGeoCases[] = {
    {"GeoJp2_Utm",
     "<SRS>EPSG:32633</SRS><GeoTransform>500000, 20, 0, 4000200, 0, -20</GeoTransform>",
     "-co GMLJP2=NO"},
    {"GmlOnly_Utm",
     "<SRS>EPSG:32633</SRS><GeoTransform>500000, 20, 0, 4000200, 0, -20</GeoTransform>",
     "-co GeoJP2=NO"},
    {"GeoJp2_Geographic",
     "<SRS>EPSG:4326</SRS><GeoTransform>10, 0.01, 0, 50, 0, -0.02</GeoTransform>", "-co GMLJP2=NO"},
    {"GmlOnly_Geographic",
     "<SRS>EPSG:4326</SRS><GeoTransform>10, 0.01, 0, 50, 0, -0.02</GeoTransform>", "-co GeoJP2=NO"},
    {"GmlOnly_NorthingFirst",
     "<SRS>EPSG:3035</SRS><GeoTransform>4321000, 25, 0, 3210000, 0, -25</GeoTransform>",
     "-co GeoJP2=NO"},
    {"Both_Rotated",
     "<SRS>EPSG:32633</SRS><GeoTransform>500000, 20, 5, 4000200, 3, -20</GeoTransform>", ""},
    // GDAL writes the rotation terms of its GMLJP2 box transposed; its
    // reading of them is what counts.
    {"GmlOnly_Rotated",
     "<SRS>EPSG:32633</SRS><GeoTransform>500000, 20, 5, 4000200, 3, -20</GeoTransform>",
     "-co GeoJP2=NO"},
    {"GeoJp2_QuarterTurn",
     "<SRS>EPSG:32633</SRS><GeoTransform>500000, 0, 20, 4000200, 20, 0</GeoTransform>", ""},
    {"GeoJp2_PixelIsPoint",
     "<SRS>EPSG:32633</SRS><GeoTransform>500000, 20, 0, 4000200, 0, -20</GeoTransform>"
     "<Metadata><MDI key=\"AREA_OR_POINT\">Point</MDI></Metadata>",
     "-co GMLJP2=NO"},
    {"GeoJp2_UserCrs",
     "<SRS>+proj=tmerc +lat_0=0 +lon_0=13.5 +k=0.9999 +x_0=300000 +y_0=0 +ellps=GRS80 +units=m "
     "+no_defs</SRS><GeoTransform>1000, 20, 0, 2000, 0, -20</GeoTransform>",
     "-co GMLJP2=NO"},
    {"GeoJp2_ControlPoints",
     "<GCPList Projection=\"EPSG:32633\"><GCP Id=\"1\" Pixel=\"0\" Line=\"0\" X=\"500000\" "
     "Y=\"4000200\"/><GCP Id=\"2\" Pixel=\"20\" Line=\"0\" X=\"500400\" Y=\"4000200\"/>"
     "<GCP Id=\"3\" Pixel=\"0.5\" Line=\"10.5\" X=\"500000\" Y=\"4000000\"/></GCPList>",
     ""},
};

class Jp2Georeference : public testing::TestWithParam<TGeoCase> {};

TEST_P(Jp2Georeference, ReadLikeGdal) {
  if (!HaveGdal()) GTEST_SKIP();
  const TempDir dir;
  const std::string file = GdalMade(dir, "a.jp2", GetParam().Geo, GetParam().Options);
  ExpectSameGeo(AsGdalReads(Read(file)), GdalGeo(file), "ours");
}

// Our header with what we read of a GDAL-made file, before GDAL's raw
// codestream of the same raster: GDAL reads it as it read its own file, from
// either box.
TEST_P(Jp2Georeference, WriteForGdal) {
  if (!HaveGdal()) GTEST_SKIP();
  const TempDir dir;
  const std::string file = GdalMade(dir, "a.jp2", GetParam().Geo, GetParam().Options);
  const std::string j2k = GdalMade(dir, "a.j2k", "", "-co CODEC=J2K");
  const TJp2Boxes boxes = Read(file);
  TJp2Header header;
  header.Width = 20;
  header.Height = 10;
  header.Georeference = boxes.Georeference;
  header.ControlPoints = boxes.ControlPoints;
  const std::string ours = Wrap(dir, header, j2k);
  const TGdalGeo gdal = GdalGeo(file);
  ExpectSameGeo(GdalGeo(ours), gdal, "both boxes");
  ExpectSameGeo(GdalGeo(ours, "GEOJP2"), gdal, "GeoJP2");
  if (gdal.Epsg > 0 && gdal.Points.empty())
    ExpectSameGeo(GdalGeo(ours, "GMLJP2"), gdal, "GMLJP2");
  else
    EXPECT_TRUE(GdalGeo(ours, "GMLJP2").Transform.empty());
}

INSTANTIATE_TEST_SUITE_P(Jp2, Jp2Georeference, testing::ValuesIn(kGeoCases),
                         [](const auto& info) { return std::string(info.param.Name); });

// GDAL keeps no-data in "<file>.aux.xml": we read what it writes there, and
// it reads what we write.
TEST(Jp2Boxes, NoDataBesideTheFile) {
  if (!HaveGdal()) GTEST_SKIP();
  const TempDir dir;
  const std::string file = GdalMade(dir, "a.jp2", "", "", "<NoDataValue>7</NoDataValue>", 2);
  EXPECT_EQ(NoDataOfAuxXml(ReadText(file + ".aux.xml")), 7.0);
  const std::string j2k = GdalMade(dir, "a.j2k", "", "-co CODEC=J2K", "", 2);
  TJp2Header header;
  header.Width = 20;
  header.Height = 10;
  header.Components = 2;
  const std::string ours = Wrap(dir, header, j2k);
  WriteText(ours + ".aux.xml", Jp2AuxXml(-0.1, 2));
  const std::string info = test::Run("gdalinfo " + Quote(ours)).Output;
  size_t count = 0;
  for (size_t at = 0; (at = info.find("NoData Value=-0.1\n", at)) != std::string::npos; ++at)
    ++count;
  EXPECT_EQ(count, 2u) << info;
  EXPECT_EQ(NoDataOfAuxXml(Jp2AuxXml(-0.1, 2)), -0.1);
}

// Every cut of a GDAL-made file, and lengths that lie, give a failure that
// names the file, never a crash.
TEST(Jp2Boxes, MalformedFilesFail) {
  if (!HaveGdal()) GTEST_SKIP();
  const TempDir dir;
  const std::vector<uint8_t> good = ReadBytes(GdalMade(dir, "a.jp2", "", ""));
  auto fails = [](const std::vector<uint8_t>& bytes) {
    TJp2Boxes boxes;
    const TError error = ReadJp2Boxes(bytes, "x.jp2", boxes);
    return error.Code == TErrorCode::Format && error.Text.find("x.jp2") == 0;
  };
  for (size_t size = 0; size < good.size(); ++size)
    EXPECT_TRUE(fails({good.begin(), good.begin() + size})) << "cut at " << size;
  std::vector<uint8_t> bytes = good;
  bytes[12 + 3] = 0xF0;  // ftyp runs past the end
  EXPECT_TRUE(fails(bytes));
  bytes = good;
  bytes[12 + 3] = 0;  // ftyp runs to the end, swallowing the codestream
  EXPECT_TRUE(fails(bytes));
  bytes = good;
  bytes[12 + 3] = 1;  // an XLBox past the end
  EXPECT_TRUE(fails(bytes));
  // Associations nested a million deep in a "gml.data" one are not looked
  // into: the file reads, unplaced.
  const std::vector<uint8_t> label = {0,   0,   0,   16,  'l', 'b', 'l', ' ',
                                      'g', 'm', 'l', '.', 'd', 'a', 't', 'a'};
  std::vector<uint8_t> nest(8 * 1000000);
  for (size_t at = 0; at < nest.size(); at += 8) {
    const uint32_t length = static_cast<uint32_t>(nest.size() - at + (at == 0 ? label.size() : 0));
    for (int i = 0; i < 4; ++i) nest[at + i] = uint8_t(length >> (24 - 8 * i));
    std::copy_n("asoc", 4, nest.begin() + at + 4);
  }
  nest.insert(nest.begin() + 8, label.begin(), label.end());
  bytes = good;
  bytes.insert(bytes.begin() + 12 + 20, nest.begin(), nest.end());
  TJp2Boxes boxes;
  EXPECT_FALSE(ReadJp2Boxes(bytes, "x.jp2", boxes).Failed());
  EXPECT_FALSE(boxes.Georeference.Placed);
}

}  // namespace
}  // namespace mirava
