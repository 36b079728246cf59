#include "formats/header/NogMap.h"

#include <gtest/gtest.h>

#include "HeaderTestUtil.h"

using namespace mirava;
using namespace mirava::test;

namespace {

// A 1700-byte NOG header with the five texts, the rest filled with 0xAB.
std::vector<uint8_t> NogHeader(const std::string& cellSize, const std::string& top,
                               const std::string& left, const std::string& rows,
                               const std::string& columns) {
  std::vector<uint8_t> b(1700, 0xAB);
  auto put = [&](size_t offset, const std::string& text) {
    std::memcpy(&b[offset], text.c_str(), text.size() + 1);
  };
  put(187, cellSize);
  put(289, top);
  put(340, left);
  put(612, rows);
  put(629, columns);
  return b;
}

}  // namespace

TEST(NogMap, ReadsTheHeaderTextsAndSigned16Cells) {
  TempDir dir;
  WriteBytes(dir / "a.001", NogHeader("25.000", "6000100.5", "500000.25", "2", "3"));
  WriteBytes(dir / "a.002", {1, 0, 2, 0, 3, 0, 0xFF, 0xFF, 5, 0, 6, 0});
  TNogMap2 map;
  ASSERT_TRUE(map.OpenRead(dir / "a.001")) << map.ErrorText;
  EXPECT_EQ(map.GetColumnCount(), 3);
  EXPECT_EQ(map.GetRowCount(), 2);
  EXPECT_EQ(map.GetCellType(), ctSigned16);
  EXPECT_EQ(map.GetCellSizeX(), 25);
  EXPECT_EQ(map.GetCellSizeY(), 25);
  EXPECT_EQ(map.GetOriginX(), 500000.25);
  EXPECT_EQ(map.GetOriginY(), 6000100.5);
  float v = 0;
  ASSERT_TRUE(map.ReadCell(0, 1, 0, v));
  EXPECT_EQ(v, -1);
}

TEST(NogMap, ShortHeadersAndUnendedTextsAreHeaderErrors) {
  TempDir dir;
  WriteBytes(dir / "a.002", std::vector<uint8_t>(12));
  std::vector<uint8_t> shortHeader = NogHeader("1", "0", "0", "2", "3");
  shortHeader.pop_back();
  std::vector<uint8_t> unended = NogHeader("1", "0", "0", "2", "3");
  std::memset(&unended[612], '7', 17);  // rows run into the columns' field
  std::vector<uint8_t> longCellSize = NogHeader(std::string(101, '1'), "0", "0", "2", "3");
  longCellSize[288] = 'X';  // no NUL before the next field
  for (const auto& header : {shortHeader, unended, longCellSize}) {
    WriteBytes(dir / "a.001", header);
    TNogMap2 map;
    EXPECT_FALSE(map.OpenRead(dir / "a.001"));
    EXPECT_EQ(map.ErrorText.rfind("Header ", 0), 0u) << map.ErrorText;
    EXPECT_NE(map.ErrorText.find("reading error"), std::string::npos);
  }
  WriteBytes(dir / "a.001", NogHeader("1", "0", "0", "2y", "3"));
  TNogMap2 malformed;
  EXPECT_THROW(malformed.OpenRead(dir / "a.001"), EConvertError);
}

TEST(NogMap, RewritingAHeaderKeepsTheBytesOutsideItsFields) {
  TempDir dir;
  std::vector<uint8_t> original =
      NogHeader("25.000000000", "6000100.5", "500000.25", "2", "3");
  WriteBytes(dir / "a.001", original);
  TNogHeader header;
  ASSERT_TRUE(header.ReadHeader(dir / "a.001"));
  ASSERT_TRUE(header.WriteHeader(dir / "b.001"));
  std::vector<uint8_t> written = ReadBytes(dir / "b.001");
  ASSERT_EQ(written.size(), 1700u);
  // "25.000" and its NUL replace the start of the longer old text, whose
  // tail stays behind the NUL.
  std::vector<uint8_t> expected = original;
  std::memcpy(&expected[187], "25.000", 7);
  std::memcpy(&expected[289], "6000100.500", 12);
  std::memcpy(&expected[340], "500000.250", 11);
  EXPECT_EQ(written, expected);
}

TEST(NogMap, CreatedRasterHasBothFilesAndAnExactGeoreference) {
  TempDir dir;
  {
    TNogMap2 map;
    ASSERT_TRUE(map.Open(dir / "n.001", 4, 3, ctUnsigned8, 1, omCreate));
    map.SetGeoreference("", "", 0.1234567890123456, 0.1234567890123456, 0, 0,
                        523456.78901234567, -6123456.7890123456, "");
    ASSERT_TRUE(map.WriteCell(3, 2, 0, 255));
    ASSERT_TRUE(map.Close()) << map.ErrorText;
  }
  EXPECT_EQ(ReadBytes(dir / "n.001").size(), 1700u);
  EXPECT_EQ(ReadBytes(dir / "n.002").size(), 4u * 3 * 2);
  TNogMap2 back;
  ASSERT_TRUE(back.OpenRead(dir / "n.001")) << back.ErrorText;
  EXPECT_EQ(back.GetCellSizeX(), 0.1234567890123456);
  EXPECT_EQ(back.GetOriginX(), 523456.78901234567);
  EXPECT_EQ(back.GetOriginY(), -6123456.7890123456);
  float v = 0;
  ASSERT_TRUE(back.ReadCell(3, 2, 0, v));
  EXPECT_EQ(v, 255);  // an unsigned byte fits a signed 16-bit cell exactly
}

// NOG holds one band of signed 16-bit cells and one cell size: anything
// else is refused, and leaves no file behind.
TEST(NogMap, RefusesWhatItCannotHold) {
  TempDir dir;
  struct Case {
    const char* Name;
    int Bands;
    uint8_t Type;
    double CellSizeY;
    const char* Message;
  } cases[] = {
      {"u16", 1, ctUnsigned16, 2.123456789012345,
       "NOG files hold signed 16-bit cells; UNSIGNED16BITINTEGER cells cannot be written exactly"},
      {"float", 1, ctFloat32, 2.123456789012345,
       "NOG files hold signed 16-bit cells; SIGNED32BITSINGLE cells"},
      {"bands", 2, ctSigned16, 2.123456789012345, "NOG files hold one band; the input has 2"},
      {"cells", 1, ctSigned16, 2.5, "NOG files hold square cells; the input's are 2.12345678901234 by 2.5"},
  };
  for (const Case& c : cases) {
    TGeo geo;
    geo.CellSizeY = c.CellSizeY;
    WriteErs(dir / "in.ers", 5, 4, c.Bands, c.Type, [](int, int, int) { return 1; }, geo);
    CommandResult result = RunCli({dir / "in.ers", dir / "out.001"});
    EXPECT_EQ(result.ExitCode, 1) << c.Name;
    EXPECT_NE(result.Output.find(c.Message), std::string::npos)
        << c.Name << ": " << result.Output;
    EXPECT_FALSE(Exists(dir / "out.001")) << c.Name;
    EXPECT_FALSE(Exists(dir / "out.002")) << c.Name;
  }
}

// ER Mapper -> NOG with each placement -> ER Mapper, cells and georeference
// exactly.
TEST(NogMapEndToEnd, EveryPlacementRoundTrips) {
  TempDir dir;
  const int W = 31, H = 19;
  WriteErs(dir / "in.ers", W, H, 1, ctSigned16,
           [](int c, int r, int) { return c * 997 - r * 1503 + 1; });
  const TRaster in = ReadRaster(dir / "in.ers");
  for (int kind = 0; kind <= 5; ++kind) {
    const std::string k = std::to_string(kind);
    ExpectCli({dir / "in.ers", dir / ("o" + k + ".001"), "/" + k});
    ExpectCli({dir / ("o" + k + ".001"), dir / ("b" + k + ".ers")});
    const TRaster out = ReadRaster(dir / ("b" + k + ".ers"));
    ExpectPlaced(in, out, kind, "kind " + k);
    EXPECT_EQ(out.CellType, ctSigned16);
    EXPECT_EQ(out.CellSizeX, in.CellSizeX);
    EXPECT_EQ(out.CellSizeY, in.CellSizeY);
    EXPECT_EQ(out.OriginX, in.OriginX);
    EXPECT_EQ(out.OriginY, in.OriginY);
  }
}
