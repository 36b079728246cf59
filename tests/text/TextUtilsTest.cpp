#include "raster/CellType.h"
#include "text/TextUtils.h"

#include <gtest/gtest.h>

#include <cmath>

#include <clocale>

#include "TestUtil.h"
#include "text/FileNames.h"
#include "text/ReadLine.h"

using namespace mirava;
using mirava::test::TempDir;

namespace {

std::vector<std::string> Lines(const std::string& path) {
  TReadLine reader(path);
  std::vector<std::string> lines;
  for (std::string line = reader.ReadLine(); !IsEndMarker(line); line = reader.ReadLine())
    lines.push_back(line);
  return lines;
}

}  // namespace

TEST(ReadLine, LineEndsAndTheEndMarker) {
  TempDir dir;
  mirava::test::WriteText(dir / "a", "A\r\nB");
  EXPECT_EQ(Lines(dir / "a"), (std::vector<std::string>{"A", "B"}));
  mirava::test::WriteText(dir / "b", "A\rB\n");
  EXPECT_EQ(Lines(dir / "b"), (std::vector<std::string>{"AB"}));
  mirava::test::WriteText(dir / "c", std::string("A\nB\x1a") + "C\n");
  EXPECT_EQ(Lines(dir / "c"), (std::vector<std::string>{"A", "B"}));
}

TEST(ReadLine, MissingOrEmptyFilesFail) {
  TempDir dir;
  mirava::test::WriteText(dir / "empty", "");
  TReadLine empty(dir / "empty");
  EXPECT_EQ(empty.Error().Text, "Open read error");
  EXPECT_TRUE(IsEndMarker(empty.ReadLine()));
  TReadLine unnamed("");
  EXPECT_EQ(unnamed.Error().Text, "ReadLine error No file name");
  EXPECT_TRUE(IsEndMarker(unnamed.ReadLine()));
}

TEST(TextUtils, TokensSkipRunsOfDelimiters) {
  SetTokenSource("  A\tB  C");
  EXPECT_EQ(NextToken(), "A");
  EXPECT_EQ(NextToken(), "B");
  EXPECT_EQ(NextToken(), "C");
  EXPECT_EQ(NextToken(), "");
  EXPECT_EQ(NextToken(), "");
}

TEST(TextUtils, ParseRealAcceptsPointOrCommaWhateverTheLocale) {
  // The C library's locale must not reach number parsing or formatting.
  const char* old = std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
  EXPECT_EQ(ParseReal(" 12.5 ", 0), 12.5);
  EXPECT_EQ(ParseReal("12,5", 0), 12.5);
  EXPECT_EQ(ParseReal("1.000,5", 7), 7);
  EXPECT_EQ(ParseReal("", 1), 1);
  EXPECT_EQ(ParseReal("abc", 1), 1);
  EXPECT_EQ(ParseReal("inf", 2), 2);
  // A header's reals: a number no raster can use is NaN, so that it is refused.
  for (const char* unusable :
       {"nan", "NAN", " -nan ", "inf", "-Infinity", "+INF", "1e999", "1,5e999"})
    EXPECT_TRUE(std::isnan(ParseHeaderReal(unusable, 1))) << unusable;
  EXPECT_EQ(ParseHeaderReal("abc", 1), 1);
  EXPECT_EQ(ParseHeaderReal("", 1), 1);
  EXPECT_EQ(ParseHeaderReal("0,25", 1), 0.25);
  EXPECT_EQ(ParseHeaderReal("nano", 1), 1);
  EXPECT_EQ(ParseReal("-1e3", 0), -1000);
  EXPECT_EQ(ParseReal("0.00833333333333334", 0), 0.00833333333333334);
  EXPECT_EQ(FormatFixed(1234.5678, 3), "1234.568");
  EXPECT_EQ(FormatExact(0.25, 3), "0.250");
  EXPECT_EQ(FormatExact(5.74166666666667, 3), "5.74166666666667");
  EXPECT_EQ(FormatExact(-0.0, 3), "0.000");
  EXPECT_EQ(FormatGeneral(0.1 + 0.2), "0.3");
  if (old) std::setlocale(LC_NUMERIC, "C");
}

TEST(TextUtils, Integers) {
  EXPECT_EQ(ParseIntDef("42", 0), 42);
  EXPECT_EQ(ParseIntDef("12x", -1), -1);
  EXPECT_EQ(ParseHeaderInt("-7"), -7);
  EXPECT_EQ(ParseHeaderInt("12x"), std::nullopt);
  EXPECT_EQ(ParseHeaderInt("99999999999"), std::nullopt);
}

TEST(TextUtils, Keywords) {
  EXPECT_EQ(ParseCoordinateType("LATLONG"), 2);
  EXPECT_STREQ(CoordinateTypeNames[2], "LATLONG");
  EXPECT_EQ(ParseCoordinateType("latlong"), 3);
  EXPECT_EQ(ParseCellType("RGB24BIT"), ctUnknown);
  EXPECT_EQ(ParseCellType("SIGNED16BITINTEGER"), ctSigned16);
  EXPECT_EQ(ParseCellType("IEEE4BYTEREAL"), ctFloat32);
  EXPECT_EQ(ParseCellType("UNSIGNED32BITINTEGER"), ctUnsigned32);
  EXPECT_EQ(ParseCellType("IEEE8BYTEREAL"), ctFloat64);
  // OSD headers name 64-bit floats so.
  EXPECT_EQ(ParseCellType("SIGNED64BITDOUBLE"), ctFloat64);
}

TEST(TextUtils, QuotingTrimmingAndPaths) {
  EXPECT_EQ(QuoteIfBare("WGS84"), "\"WGS84\"");
  EXPECT_EQ(QuoteIfBare("a\"b"), "a\"b");
  EXPECT_EQ(TrimLeftBlanks("   "), " ");
  EXPECT_EQ(TrimRightBlanks(" \t "), "");
  EXPECT_EQ(ValueAfterEquals("Datum\t=  \"WGS84\" "), "\"WGS84\" ");
  // 22 characters, name part of 9: 7 of the folder, ".../", the name.
  EXPECT_EQ(ShortenPath("/data/maps/x/abcde.ers", 20), "/data/m.../abcde.ers");
  EXPECT_EQ(ShortenPath("/short.ers", 20), "/short.ers");
  EXPECT_EQ(ShortenPath("/data/averyveryverylongname.ers", 20).size(), 20u);
}

TEST(FileNames, ExtensionsComeFromTheNamePartOnly) {
  EXPECT_EQ(ExtractFileExt("/d/v1.tif/out"), "");
  EXPECT_EQ(ExtractFileExt("/d/map.ers"), ".ers");
  EXPECT_EQ(ChangeFileExt("/d/v1.x/map", ".gcp"), "/d/v1.x/map.gcp");
  EXPECT_EQ(RemoveFileExt("/d/map.ers"), "/d/map");
  EXPECT_EQ(ExtractFileName("/d/map.ers"), "map.ers");
}
