#include "formats/header/OsdMap.h"

#include <gtest/gtest.h>

#include "HeaderTestUtil.h"
#include "dataset/DataSet.h"

using namespace mirava;
using namespace mirava::test;

namespace {

const char* const kOsdHeader =
    "OrthoSetDataHeader [\r\n"
    "  DataSetType  = OrthoSetData\r\n"
    "  ByteOrder = MSBFirst\r\n"
    "  CoordinateSystem [\r\n"
    "    Datum      = \"WGS84\"\r\n"
    "    Projection = \"NUTM32\"\r\n"
    "    Spheroid = \"WGS84SPH\"\r\n"
    "    CoordinateType  = EN\r\n"
    "  CoordinateSystem ]\r\n"
    "  ImageInfo [\r\n"
    "    CellType   = Unsigned16BitInteger\r\n"
    "    Xdimension = 0,25\r\n"
    "    Ydimension = 0.5\r\n"
    "    NrOfLines  = 2\r\n"
    "    NrOfCellsPerLine = 3\r\n"
    "    RegistrationPoint [\r\n"
    "      Eastings  = 1000.5\r\n"
    "      Northings = 2000.25\r\n"
    "    RegistrationPoint ]\r\n"
    "    NrOfBands = 1\r\n"
    "    WarpControl [\r\n"
    "      CoordinateSpace [\r\n"
    "        Datum      = \"WARPDATUM\"\r\n"
    "        Spheroid = \"WARPSPH\"\r\n"
    "      CoordinateSpace ]\r\n"
    "      ControlPoints\t= {\r\n"
    "\t\t\tp1 Yes 1.5 0.5 1000.875 2000.125 12.5\r\n"
    "\t\t\t\"\" No 2.000 1.000 1001.000 2000.000 0.000\r\n"
    "      }\r\n"
    "    WarpControl ]\r\n"
    "  ImageInfo ]\r\n"
    "OrthoSetDataHeader ]\r\n";

// Writes a header and its data; with MSB-first 16-bit cells 1..6.
void WriteOsd(const TempDir& dir, const std::string& header = kOsdHeader) {
  WriteText(dir / "m.osd", header);
  WriteBytes(dir / "m", {0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6});
}

}  // namespace

TEST(OsdMap, ReadsEveryFieldOfTheHeader) {
  TempDir dir;
  WriteOsd(dir);
  TOsdMap2 map;
  ASSERT_TRUE(map.OpenRead(dir / "m.osd")) << map.ErrorText;
  const THeader& h = map.GetHeader();
  EXPECT_EQ(h.Columns, 3u);
  EXPECT_EQ(h.Rows, 2u);
  EXPECT_EQ(h.CellType, ctUnsigned16);
  EXPECT_TRUE(h.MSBFirst);
  EXPECT_EQ(h.CellSizeX, 0.25);  // "," read as a decimal separator
  EXPECT_EQ(h.CellSizeY, 0.5);
  EXPECT_EQ(h.RegistrationX, 1000.5);
  EXPECT_EQ(h.RegistrationY, 2000.25);
  // The first of each name block is the raster's, the next the warp's.
  EXPECT_EQ(h.Spheroid, "\"WGS84SPH\"");
  EXPECT_EQ(h.WarpSpheroid, "\"WARPSPH\"");
  EXPECT_EQ(h.Datum, "\"WGS84\"");
  EXPECT_EQ(h.WarpDatum, "\"WARPDATUM\"");
  float v = 0;
  ASSERT_TRUE(map.ReadCell(2, 1, 0, v));
  EXPECT_EQ(v, 6);
  // Points in the OSD line form: one flag, five numbers; read upper-cased.
  TGCPList* points = map.GetControlPoints();
  ASSERT_EQ(points->Count(), 2);
  EXPECT_EQ(points->Items(0)->GetName(), "P1");
  EXPECT_TRUE(points->Items(0)->GetEnabled());
  EXPECT_EQ(points->Items(0)->GetCellX(), 1.5);
  EXPECT_EQ(points->Items(0)->GetZ(), 12.5);
  EXPECT_FALSE(points->Items(1)->GetEnabled());
}

TEST(OsdMap, RefusesOtherHeadersAndMalformedCounts) {
  TempDir dir;
  WriteOsd(dir, "DatasetHeader Begin\r\n");
  TOsdMap2 notOsd;
  EXPECT_FALSE(notOsd.OpenRead(dir / "m.osd"));
  EXPECT_NE(notOsd.ErrorText.find("reading error"), std::string::npos);

  std::string header = kOsdHeader;
  header.replace(header.find("NrOfLines  = 2"), 14, "NrOfLines  = 2x");
  WriteOsd(dir, header);
  TOsdMap2 malformed;
  try {
    malformed.OpenRead(dir / "m.osd");
    ADD_FAILURE() << "no conversion error";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'2X' is not a valid integer value");
  }
}

TEST(OsdMap, WritesTheHeaderWithExactNumbersAndPoints) {
  TempDir dir;
  {
    TOsdMap2 map;
    ASSERT_TRUE(map.Open(dir / "w.osd", 3, 2, ctSigned16, 1, omCreate));
    map.SetGeoreference("SPH", "\"WGS84\"", 0.5, 0.1234567890123456, 0, 0,
                        523456.78901234567, -6123456.7890123456, "NUTM32");
    TGCPoint point;
    point.SetName("A1");
    point.SetEnabled(true);
    point.SetCellX(1.25);
    point.SetX(523457.0001);
    map.GetControlPoints()->Add(&point);
    map.GetControlPoints()->Add(nullptr);
    ASSERT_TRUE(map.Close()) << map.ErrorText;
  }
  const std::string text = ReadText(dir / "w.osd");
  EXPECT_EQ(text.rfind("OrthoSetDataHeader [\r\n  Version      = 1.0\r\n", 0), 0u);
  EXPECT_NE(text.find("    Xdimension = 0.500000000000000\r\n"), std::string::npos);
  EXPECT_NE(text.find("    Spheroid = \"SPH\"\r\n"), std::string::npos);
  EXPECT_NE(text.find("        Datum      = \"\"\r\n"), std::string::npos);
  EXPECT_NE(text.find("\t\t\tA1 Yes 1.250 0.000 523457.0001 0.000 0.000\r\n"),
            std::string::npos);
  EXPECT_NE(text.find("\t\t\t\"\" No 0.000"), std::string::npos);

  TOsdMap2 back;
  ASSERT_TRUE(back.OpenRead(dir / "w.osd")) << back.ErrorText;
  EXPECT_EQ(back.GetCellSizeX(), 0.5);
  EXPECT_EQ(back.GetCellSizeY(), 0.1234567890123456);
  EXPECT_EQ(back.GetOriginX(), 523456.78901234567);
  EXPECT_EQ(back.GetOriginY(), -6123456.7890123456);
  EXPECT_EQ(back.GetCellType(), ctSigned16);
  ASSERT_EQ(back.GetControlPoints()->Count(), 2);
  EXPECT_EQ(back.GetControlPoints()->Items(0)->GetX(), 523457.0001);
}

TEST(OsdMap, RawCoordinatesWriteNoGeoreference) {
  TempDir dir;
  TOsdMap2 map;
  ASSERT_TRUE(map.Open(dir / "r.osd", 2, 2, ctUnsigned8, 1, omCreate));
  map.SetGeoreference("S", "RAW", 2, 2, 0, 0, 10, 20, "RAW");
  TGCPoint point;
  map.GetControlPoints()->Add(&point);
  auto& header = static_cast<TOsdHeader&>(map.GetHeader());
  header.WarpDatum = "RAW";
  header.WarpProjection = "RAW";
  ASSERT_TRUE(map.Close());
  const std::string text = ReadText(dir / "r.osd");
  for (const char* absent : {"Spheroid", "Units", "Xdimension", "Eastings",
                             "RegistrationCellX"})
    EXPECT_EQ(text.find(absent), std::string::npos) << absent;
  EXPECT_NE(text.find("        CoordinateType  = RAW\r\n"), std::string::npos);
}

// GIF, DCR, BIT, MMMM/IIII and BYT files have no class of their own: they
// open through the OSD dataset, with the OSD header beside them.
TEST(OsdMap, FormatsWithoutAClassOpenThroughIt) {
  TempDir dir;
  WriteOsd(dir);
  WriteText(dir / "m.gif", "GIF89a..");
  TDataSet2 set;
  ASSERT_TRUE(set.Open(dir / "m.gif", 0, 0, 1, 1, omRead)) << set.GetErrorText();
  EXPECT_EQ(set.GetFormat(), fcGif);
  float v = 0;
  ASSERT_TRUE(set.ReadCell(0, 1, 0, v));
  EXPECT_EQ(v, 4);
}

// ER Mapper -> OSD with each placement -> ER Mapper: cells, georeference to
// the last digit, and control points moved with their pixels.
TEST(OsdMapEndToEnd, EveryPlacementRoundTrips) {
  TempDir dir;
  const int W = 37, H = 23;
  const std::vector<TTestPoint> points = {{"P1", 0.5, 0.5, 523457.8, 6123455.7, 10},
                                          {"P2", 30.25, 20.75, 523520.1, 6123412.3, 0}};
  WriteErs(dir / "in.ers", W, H, 2, ctUnsigned16,
           [](int c, int r, int b) { return c * 1000 + r * 7 + b * 30000; },
           TGeo(), points);
  const TRaster in = ReadRaster(dir / "in.ers");
  for (int kind = 0; kind <= 5; ++kind) {
    const std::string k = std::to_string(kind);
    ExpectCli({dir / "in.ers", dir / ("o" + k + ".osd"), "/" + k});
    ExpectCli({dir / ("o" + k + ".osd"), dir / ("b" + k + ".ers")});
    const TRaster out = ReadRaster(dir / ("b" + k + ".ers"));
    ExpectPlaced(in, out, kind, "kind " + k);
    EXPECT_EQ(out.CellType, ctUnsigned16);
    EXPECT_EQ(out.CellSizeX, in.CellSizeX);
    EXPECT_EQ(out.CellSizeY, in.CellSizeY);
    EXPECT_EQ(out.OriginX, in.OriginX);
    EXPECT_EQ(out.OriginY, in.OriginY);
    EXPECT_EQ(out.Datum, in.Datum);
    EXPECT_EQ(out.Projection, in.Projection);
    ASSERT_EQ(out.Points.size(), points.size()) << k;
    for (size_t i = 0; i < points.size(); ++i) {
      auto [c, r] = MovedPoint(kind, W, H, points[i].CellX, points[i].CellY);
      EXPECT_EQ(out.Points[i].Name, points[i].Name);
      EXPECT_EQ(out.Points[i].CellX, c) << k;
      EXPECT_EQ(out.Points[i].CellY, r) << k;
      EXPECT_EQ(out.Points[i].X, points[i].X);
      EXPECT_EQ(out.Points[i].Y, points[i].Y);
    }
  }
}
