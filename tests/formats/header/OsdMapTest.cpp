#include "formats/header/OsdMap.h"

#include <gtest/gtest.h>

#include "HeaderTestUtil.h"
#include "raster/CellType.h"

using namespace mirava;
using namespace mirava::test;

namespace {

const char* const kOsdHeader =
    "OrthoSetDataHeader [\r\n"
    "  ByteOrder = MSBFirst\r\n"
    "  CoordinateSystem [\r\n"
    "    Datum      = \"WGS84\"\r\n"
    "    Spheroid = \"SPH\"\r\n"
    "  CoordinateSystem ]\r\n"
    "  ImageInfo [\r\n"
    "    CellType   = Unsigned16BitInteger\r\n"
    "    Xdimension = 0,25\r\n"
    "    NrOfLines  = 2\r\n"
    "    NrOfCellsPerLine = 3\r\n"
    "    NrOfBands = 1\r\n"
    "    WarpControl [\r\n"
    "      CoordinateSpace [\r\n"
    "        Datum      = \"WARPDATUM\"\r\n"
    "        Spheroid = \"WARPSPH\"\r\n"
    "      CoordinateSpace ]\r\n"
    "      ControlPoints\t= {\r\n"
    "\t\t\tp1 Yes 1.5 0.5 1000.875 2000.125 12.5\r\n"
    "      }\r\n"
    "    WarpControl ]\r\n"
    "  ImageInfo ]\r\n"
    "OrthoSetDataHeader ]\r\n";

}  // namespace

TEST(OsdMap, ReadsTheHeaderItsWarpBlockAndItsPoints) {
  TempDir dir;
  WriteText(dir / "m.osd", kOsdHeader);
  WriteBytes(dir / "m", {0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6});
  TOsdMap2 map;
  ASSERT_TRUE(map.OpenRead(dir / "m.osd")) << map.Error().Text;
  const THeader& h = map.GetHeader();
  EXPECT_EQ(h.CellSizeX, 0.25);  // "," read as a decimal separator
  EXPECT_EQ(h.Spheroid, "\"SPH\"");
  EXPECT_EQ(h.WarpSpheroid, "\"WARPSPH\"");
  EXPECT_EQ(h.WarpDatum, "\"WARPDATUM\"");
  float v = 0;
  ASSERT_TRUE(map.ReadCell(2, 1, 0, v));
  EXPECT_EQ(v, 6);  // most significant byte first
  ASSERT_EQ(map.GetControlPoints()->Count(), 1);
  const TGCPoint& p = *map.GetControlPoints()->Items(0);
  EXPECT_EQ(p.GetName(), "P1");
  EXPECT_EQ(p.GetCellX(), 1.5);
  EXPECT_EQ(p.GetZ(), 12.5);

  // Files recognised as GIF (and DCR, BIT, MMMM/IIII, BYT) open through the
  // OSD header beside them.
  WriteText(dir / "m.gif", "GIF89a..");
  TDataSet2 gif;
  ASSERT_TRUE(gif.Open(dir / "m.gif", 0, 0, 1, 1, omRead)) << gif.Error().Text;
  ASSERT_EQ(gif.ReadCell(0, 1, 0, v), TCellRead::Value);
  EXPECT_EQ(v, 4);

  WriteText(dir / "m.osd", "DatasetHeader Begin\r\n");
  TOsdMap2 notOsd;
  EXPECT_FALSE(notOsd.OpenRead(dir / "m.osd"));
  EXPECT_NE(notOsd.Error().Text.find("reading error"), std::string::npos);
}

TEST(OsdMap, WritesEveryDigitAndTheOsdPointLines) {
  TempDir dir;
  {
    TOsdMap2 map;
    ASSERT_TRUE(map.Open(dir / "w.osd", 3, 2, ctSigned16, 1, omCreate));
    map.SetGeoreference(PlacedAt(0.5, 0.1234567890123456, 523456.78901234567, -6123456.7890123456,
                                 "SPH", "\"WGS84\"", "NUTM32"));
    TGCPoint point;
    point.SetName("A1");
    point.SetEnabled(true);
    point.SetCellX(1.25);
    point.SetX(523457.0001);
    map.GetControlPoints()->Add(&point);
    map.GetControlPoints()->Add(nullptr);
    ASSERT_TRUE(map.Close()) << map.Error().Text;
  }
  const std::string text = ReadText(dir / "w.osd");
  for (const char* line :
       {"OrthoSetDataHeader [\r\n  Version      = 1.0\r\n",
        "    Xdimension = 0.500000000000000\r\n", "    Spheroid = \"SPH\"\r\n",
        "        Datum      = \"\"\r\n", "\t\t\tA1 Yes 1.250 0.000 523457.0001 0.000 0.000\r\n",
        "\t\t\t\"\" No 0.000"})
    EXPECT_NE(text.find(line), std::string::npos) << line;
  TOsdMap2 back;
  ASSERT_TRUE(back.OpenRead(dir / "w.osd")) << back.Error().Text;
  EXPECT_EQ(back.GetGeoreference().Affine.CellSizeY, 0.1234567890123456);
  EXPECT_EQ(back.GetGeoreference().Affine.X0, 523456.78901234567);
  EXPECT_EQ(back.GetGeoreference().Affine.Y0, -6123456.7890123456);
}

// RAW names: no spheroid or units, but the registration they were given.
TEST(OsdMap, RawCoordinatesKeepTheirRegistration) {
  TempDir dir;
  TOsdMap2 map;
  ASSERT_TRUE(map.Open(dir / "r.osd", 2, 2, ctUnsigned8, 1, omCreate));
  map.SetGeoreference(PlacedAt(2, 2, 10, 20, "S", "RAW", "RAW"));
  TGCPoint point;
  map.GetControlPoints()->Add(&point);
  map.GetHeader().WarpDatum = map.GetHeader().WarpProjection = "RAW";
  ASSERT_TRUE(map.Close());
  const std::string text = ReadText(dir / "r.osd");
  for (const char* absent : {"Spheroid", "Units"})
    EXPECT_EQ(text.find(absent), std::string::npos) << absent;
  for (const char* present : {"Xdimension", "Eastings  = 10.000", "RegistrationCellX"})
    EXPECT_NE(text.find(present), std::string::npos) << present;
  EXPECT_NE(text.find("        CoordinateType  = RAW\r\n"), std::string::npos);
  TOsdMap2 back;
  ASSERT_TRUE(back.Open(dir / "r.osd", 0, 0, 1, 1, omRead));
  EXPECT_TRUE(back.GetGeoreference().Placed);
  EXPECT_EQ(back.GetGeoreference().Affine.Y0, 20);
}
