#include "formats/header/ErsMap.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "TestUtil.h"
#include "raster/CellType.h"
#include "text/TextUtils.h"

using namespace mirava;
using mirava::test::TempDir;
using mirava::test::WriteText;

namespace {

std::string Header(const std::string& rasterInfo,
                   const std::string& first = "DatasetHeader Begin") {
  return first +
         "\n\tCoordinateSpace Begin\n\t\tDatum = \"WGS84\"\n\t\tProjection = \"GEODETIC\"\n"
         "\t\tCoordinateType = LATLONG\n\tCoordinateSpace End\n\tRasterInfo Begin\n" +
         rasterInfo + "\tRasterInfo End\nDatasetHeader End\n";
}

const std::string kGrid =
    "\t\tCellType = Unsigned8BitInteger\n\t\tNrOfLines = 2\n\t\tNrOfCellsPerLine = 3\n"
    "\t\tNrOfBands = 1\n";

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

}  // namespace

TEST(ErsHeader, ReadsTheHeaderGdalWrote) {
  TErsMap2 map;
  ASSERT_TRUE(map.Open(mirava::test::Sample("elev.ers"), 0, 0, 1, 1, omRead)) << map.Error().Text;
  EXPECT_EQ(map.GetColumnCount(), 95);
  EXPECT_EQ(map.GetRowCount(), 90);
  EXPECT_EQ(map.GetBandCount(), 1);
  EXPECT_EQ(map.GetCellType(), ctSigned16);
  EXPECT_EQ(map.GetGeoreference().Affine.CellSizeX, 0.00833333333333334);
  EXPECT_EQ(map.GetGeoreference().Affine.CellSizeY, 0.00833333333333333);
  EXPECT_EQ(map.GetGeoreference().Affine.X0, 5.74166666666667);
  EXPECT_EQ(map.GetGeoreference().Affine.Y0, 50.1916666666667);
  std::string datum;
  datum = map.GetGeoreference().Datum;
  EXPECT_EQ(datum, "\"WGS84\"");
  float v;
  ASSERT_TRUE(map.ReadCell(0, 0, 0, v));
  EXPECT_EQ(v, -32768);  // signed: the file's no-data value
}

TEST(ErsHeader, KeywordRules) {
  TempDir dir;
  WriteText(dir / "k.ers",
            Header(kGrid + "\t\tByteOrder = msbfirst\n\t\tCellInfo Begin\n\t\t\tXdimension = 0,25\n"
                           "\t\t\tYdimension = 2\n\t\tCellInfo End\n"
                           "\t\tWarpControl Begin\n\t\t\tCoordinateSpace Begin\n"
                           "\t\t\t\tProjection = \"NUTM32\"\n\t\t\t\tDatum = \"ED50\"\n"
                           "\t\t\t\tCoordinateType = EN\n\t\t\tCoordinateSpace End\n"
                           "\t\t\tControlPoints Begin\n\t\t\t\tp1 yes no 1 2 3 4 5\n"
                           "\t\t\t\tp2 No Yes 6 7 8 9 10\n\t\t\t}\n\t\tWarpControl End\n",
                   "datasetheader begin"));
  mirava::test::WriteBytes(dir / "k", std::vector<uint8_t>(6));
  TErsMap2 map;
  ASSERT_TRUE(map.Open(dir / "k.ers", 0, 0, 1, 1, omRead)) << map.Error().Text;
  auto& h = static_cast<TErsHeader&>(map.GetHeader());
  EXPECT_TRUE(h.MSBFirst);
  EXPECT_EQ(h.CellSizeX, 0.25);
  EXPECT_EQ(h.CellSizeY, 2);
  EXPECT_EQ(h.Projection, "\"GEODETIC\"");
  EXPECT_EQ(h.WarpProjection, "\"NUTM32\"");
  EXPECT_EQ(h.WarpDatum, "\"ED50\"");
  EXPECT_EQ(h.CoordinateType, ctLATLONG);
  EXPECT_EQ(h.WarpCoordinateType, ctEN);
  ASSERT_EQ(h.ControlPoints->Count(), 2);
  EXPECT_EQ(h.ControlPoints->Items(0)->GetName(), "P1");  // read upper-cased
  EXPECT_TRUE(h.ControlPoints->Items(1)->GetSecondFlag());
  EXPECT_EQ(h.ControlPoints->Items(1)->GetZ(), 10);
}

// A cell size or registration value no raster can have, or that is no
// number whole, is refused with the header's own name for the field, never
// read as 1 or 0; so is a byte order that is neither.
TEST(ErsHeader, GeoreferenceThatMakesNoSenseIsRefused) {
  TempDir dir;
  mirava::test::WriteBytes(dir / "g", std::vector<uint8_t>(6));
  const struct {
    std::string Lines, Message;
  } cases[] = {
      {"\t\t\tXdimension = nan\n", "(Xdimension is not a finite number)"},
      {"\t\t\tXdimension = inf\n", "(Xdimension is not a finite number)"},
      {"\t\t\tYdimension = -1e999\n", "(Ydimension is not a finite number)"},
      {"\t\t\tXdimension = 0\n", "(Xdimension is 0)"},
      {"\t\t\tYdimension = 0,0\n", "(Ydimension is 0)"},
      {"\t\t\tEastings = nan\n", "(Eastings is not a finite number)"},
      {"\t\t\tNorthings = -NaN\n", "(Northings is not a finite number)"},
      {"\t\tRegistrationCellX = inf\n", "(RegistrationCellX is not a finite number)"},
      {"\t\t\tXdimension = 10abc\n", "(Xdimension = '10ABC' is not a number)"},
      {"\t\t\tXdimension =\n", "(Xdimension = '' is not a number)"},
      {"\t\t\tYdimension = 0x10\n", "(Ydimension = '0X10' is not a number)"},
      {"\t\tByteOrder = Middle\n", "(ByteOrder = 'MIDDLE' is neither MSBFirst nor LSBFirst)"},
  };
  for (const auto& c : cases) {
    WriteText(dir / "g.ers",
              Header(kGrid + "\t\tCellInfo Begin\n" + c.Lines + "\t\tCellInfo End\n"));
    TErsMap2 map;
    EXPECT_FALSE(map.Open(dir / "g.ers", 0, 0, 1, 1, omRead)) << c.Lines;
    EXPECT_EQ(map.Error().Code, TErrorCode::Header);
    EXPECT_EQ(map.Error().Text,
              "Header " + ShortenPath(dir / "g.ers", 20) + " reading error " + c.Message);
  }
}

TEST(ErsHeader, RefusalsAndTheirTexts) {
  TempDir dir;
  // A malformed integer is a fault of the header, named with its file.
  WriteText(dir / "bad.ers", Header("\t\tNrOfLines = 12x\n"));
  TErsMap2 bad;
  EXPECT_FALSE(bad.Open(dir / "bad.ers", 0, 0, 1, 1, omRead));
  EXPECT_EQ(bad.Error().Code, TErrorCode::Header);
  EXPECT_EQ(bad.Error().Text, "Header " + ShortenPath(dir / "bad.ers", 20) +
                                  " reading error ('12X' is not a valid integer value)");
  // Not a header at all.
  WriteText(dir / "notes.ers", "hello\n");
  TErsMap2 notes;
  EXPECT_FALSE(notes.Open(dir / "notes.ers", 0, 0, 1, 1, omRead));
  EXPECT_EQ(notes.Error().Text.rfind(
                "Header " + ShortenPath(dir / "notes.ers", 20) + " reading error ", 0),
            0u);
  // Header without its data file.
  WriteText(dir / "nodata.ers", Header(kGrid));
  TErsMap2 nodata;
  EXPECT_FALSE(nodata.OpenRead(dir / "nodata.ers"));
  EXPECT_EQ(nodata.Error().Text, "Open Map Read Error=2 No such file or directory");
  TErsMap2 missing;
  EXPECT_FALSE(missing.OpenRead(dir / "missing.ers"));
  EXPECT_EQ(missing.Error().Text, "File not Exists");
  // A data file shorter than the header says.
  WriteText(dir / "short.ers", Header(kGrid));
  mirava::test::WriteBytes(dir / "short", std::vector<uint8_t>(5));
  TErsMap2 shortData;
  EXPECT_FALSE(shortData.Open(dir / "short.ers", 0, 0, 1, 1, omRead));
  EXPECT_NE(shortData.Error().Text.find("fewer than the 6"), std::string::npos)
      << shortData.Error().Text;
  // Cell types we cannot carry exactly are named, not read as zeros.
  for (const char* type : {"Complex", "Signed64BitInteger"}) {
    WriteText(dir / "t.ers",
              Header(std::string("\t\tCellType = ") + type +
                     "\n\t\tNrOfLines = 1\n\t\tNrOfCellsPerLine = 1\n\t\tNrOfBands = 1\n"));
    mirava::test::WriteBytes(dir / "t", std::vector<uint8_t>(16));
    TErsMap2 map;
    EXPECT_FALSE(map.Open(dir / "t.ers", 0, 0, 1, 1, omRead));
    EXPECT_NE(map.Error().Text.find(UpperCase(type)), std::string::npos) << map.Error().Text;
  }
}

TEST(ErsHeader, FloatCellsUseTheNameOtherReadersKnow) {
  TempDir dir;
  WriteText(dir / "f.ers", Header("\t\tCellType = IEEE4ByteReal\n\t\tNrOfLines = 1\n"
                                  "\t\tNrOfCellsPerLine = 1\n\t\tNrOfBands = 1\n"));
  float one = 1.5f;
  std::vector<uint8_t> bytes(4);
  std::memcpy(bytes.data(), &one, 4);
  mirava::test::WriteBytes(dir / "f", bytes);
  TErsMap2 map;
  ASSERT_TRUE(map.Open(dir / "f.ers", 0, 0, 1, 1, omRead));
  float v;
  ASSERT_TRUE(map.ReadCell(0, 0, 0, v));
  EXPECT_EQ(v, 1.5f);
  {
    TErsMap2 out;
    ASSERT_TRUE(out.Open(dir / "g.ers", 1, 1, ctFloat32, 1, omCreate));
    ASSERT_TRUE(out.Close());
  }
  EXPECT_NE(mirava::test::ReadText(dir / "g.ers").find("CellType = IEEE4ByteReal\r\n"),
            std::string::npos);
}

TEST(ErsHeader, WrittenHeaderLineByLine) {
  TempDir dir;
  {
    TErsMap2 map;
    ASSERT_TRUE(map.Open(dir / "w.ers", 3, 2, ctUnsigned16, 4, omCreate));
    EXPECT_TRUE(mirava::test::Exists(dir / "w"));
    EXPECT_FALSE(mirava::test::Exists(dir / "w.ers"));  // written when closed
    map.SetGeoreference(test::PlacedAt(0.000833333333333333, 1234.5678, 5.741666666666667, -12.5,
                                       "\"WGS84\"", "WGS84", "GEODETIC"));
    EXPECT_EQ(map.GetRowCount(), 2);
    EXPECT_EQ(map.GetCellType(), ctUnsigned16);
    TGCPoint p = TGCPoint::CreateFromErsLine("NW Yes No 0.5 1.25 5.741666667 50.191666667 7");
    map.GetControlPoints()->Add(&p);
    ASSERT_TRUE(map.Close());
  }
  std::vector<std::string> lines = SplitLines(mirava::test::ReadText(dir / "w.ers"));
  const std::vector<std::string> expected = {
      "DatasetHeader Begin",
      "  Version   = \"1.0\"",
      "LASTUPDATED",
      "  DataSetType = ERStorage",
      "  DataType = Raster",
      "  ByteOrder = LSBFirst",
      "  CoordinateSpace Begin",
      "    Datum      = \"WGS84\"",
      "    Projection = \"GEODETIC\"",
      "    CoordinateType  = EN",
      "    Units   = \"METERS\"",
      "    Rotation = 0:0:0.0",
      "  CoordinateSpace End",
      "  RasterInfo Begin",
      "    CellType = UNSIGNED16BITINTEGER",
      "    CellInfo Begin",
      "      Xdimension = 0.000833333333333333",
      "      Ydimension = 1234.5678",
      "    CellInfo End",
      "    NrOfLines = 2",
      "    NrOfCellsPerLine = 3",
      "    RegistrationCoord Begin",
      "      Eastings = 5.741666666666667",
      "      Northings = -12.500",
      "    RegistrationCoord End",
      "    RegistrationCellX = 0.000",
      "    RegistrationCellY = 0.000",
      "    NrOfBands = 4",
      "    BandId Begin",
      "      Value=\"Red Layer\"",
      "    BandId End",
      "    BandId Begin",
      "      Value=\"Green Layer\"",
      "    BandId End",
      "    BandId Begin",
      "      Value=\"Blue Layer\"",
      "    BandId End",
      "    BandId Begin",
      "      Value=\"Red Layer\"",
      "    BandId End",
      "    WarpControl Begin",
      "      WarpType\t= Polynomial",
      "      WarpSampling\t= Nearest",
      "      CoordinateSpace Begin",
      "        Datum      = \"\"",
      "        Projection = \"\"",
      "        CoordinateType  = EN",
      "        Units      = \"METERS\"",
      "        Rotation\t= 0:0:0.0",
      "      CoordinateSpace End",
      "      ControlPoints\t= {",
      "\t\t\tNW\tYes\tNo\t     0.500\t     1.250\t5.741666667\t50.191666667\t     7.000",
      "      }",
      "    WarpControl End",
      "  RasterInfo End",
      "DatasetHeader End"};
  ASSERT_EQ(lines.size(), expected.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    if (expected[i] == "LASTUPDATED")
      EXPECT_EQ(lines[i].rfind("  LastUpdated = ", 0), 0u);
    else
      EXPECT_EQ(lines[i], expected[i]) << "line " << i;
  }
  EXPECT_EQ(lines[2].find("\"GMT\""), 36u);  // "Tue Mar 04 09:05:07 \"GMT\" 2003"
  // And it reads back.
  TErsMap2 back;
  ASSERT_TRUE(back.Open(dir / "w.ers", 0, 0, 1, 1, omRead)) << back.Error().Text;
  EXPECT_EQ(back.GetGeoreference().Affine.CellSizeX, 0.000833333333333333);
  EXPECT_EQ(back.GetGeoreference().Affine.X0, 5.741666666666667);
  EXPECT_EQ(back.GetControlPoints()->Count(), 1);
}

// RAW names keep their coordinate type, and a registration given with them
// is written all the same; only a raster given none is written without.
TEST(ErsHeader, RawNamesKeepTheirRegistration) {
  TempDir dir;
  {
    TErsMap2 map;
    ASSERT_TRUE(map.Open(dir / "r.ers", 1, 1, ctUnsigned8, 1, omCreate));
    TGeoreference geographic = test::PlacedAt(2, 3, 10, 20);
    geographic.Geographic = true;
    map.SetGeoreference(geographic);
    TErsMap2 plain;
    ASSERT_TRUE(plain.Open(dir / "p.ers", 1, 1, ctUnsigned8, 1, omCreate));
  }
  const std::string text = mirava::test::ReadText(dir / "r.ers");
  EXPECT_NE(text.find("    CoordinateType  = RAW\r\n"), std::string::npos);
  EXPECT_EQ(text.find("Units"), std::string::npos);
  EXPECT_NE(text.find("      Eastings = 10.000\r\n      Northings = 20.000\r\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("      Ydimension = 3.000\r\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("WarpControl"), std::string::npos);
  EXPECT_EQ(text.find("NullCellValue"), std::string::npos);
  EXPECT_EQ(mirava::test::ReadText(dir / "p.ers").find("Registration"), std::string::npos);
}

TEST(ErsHeader, HeaderThatCannotBeWrittenIsReported) {
  TempDir dir;
  std::filesystem::create_directory(dir / "x.ers");  // the header's name is taken
  TErsMap2 map;
  ASSERT_TRUE(map.Open(dir / "x.ers", 1, 1, ctUnsigned8, 1, omCreate));
  EXPECT_FALSE(map.Close());
  EXPECT_NE(map.Error().Text.find("writing error"), std::string::npos);
}
