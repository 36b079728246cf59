#include "formats/header/NogMap.h"

#include <gtest/gtest.h>

#include "HeaderTestUtil.h"

using namespace mirava;
using namespace mirava::test;

namespace {

// A 1700-byte NOG header with the five texts, the rest filled with 0xAB.
std::vector<uint8_t> NogHeader(const std::string& cellSize, const std::string& rows) {
  std::vector<uint8_t> b(1700, 0xAB);
  auto put = [&](size_t offset, const std::string& text) {
    std::memcpy(&b[offset], text.c_str(), text.size() + 1);
  };
  put(187, cellSize);
  put(289, "6000100.5");
  put(340, "500000.25");
  put(612, rows);
  put(629, "3");
  return b;
}

}  // namespace

TEST(NogMap, ReadsTheHeaderTextsAndSigned16Cells) {
  TempDir dir;
  WriteBytes(dir / "a.001", NogHeader("25.000", "2"));
  WriteBytes(dir / "a.002", {1, 0, 2, 0, 3, 0, 0xFF, 0xFF, 5, 0, 6, 0});
  TNogMap2 map;
  ASSERT_TRUE(map.OpenRead(dir / "a.001")) << map.Error().Text;
  EXPECT_EQ(map.GetGeoreference().Affine.CellSizeY, 25);
  EXPECT_EQ(map.GetGeoreference().Affine.X0, 500000.25);
  EXPECT_EQ(map.GetGeoreference().Affine.Y0, 6000100.5);
  float v = 0;
  ASSERT_TRUE(map.ReadCell(0, 1, 0, v));
  EXPECT_EQ(v, -1);
}

// Each text is read within its own field: an unended one, or a header
// shorter than 1700 bytes, is a header error and not a read past the block.
TEST(NogMap, ShortHeadersAndUnendedTextsAreHeaderErrors) {
  TempDir dir;
  WriteBytes(dir / "a.002", std::vector<uint8_t>(12));
  std::vector<uint8_t> shortHeader = NogHeader("1", "2");
  shortHeader.pop_back();
  std::vector<uint8_t> unendedRows = NogHeader("1", "2");
  std::memset(&unendedRows[612], '7', 17);
  std::vector<uint8_t> unendedSize = NogHeader(std::string(101, '1'), "2");
  unendedSize[288] = '1';
  for (const auto& header : {shortHeader, unendedRows, unendedSize}) {
    WriteBytes(dir / "a.001", header);
    TNogMap2 map;
    EXPECT_FALSE(map.OpenRead(dir / "a.001"));
    EXPECT_EQ(map.Error().Text.rfind("Header ", 0), 0u) << map.Error().Text;
  }
  for (const char* size : {"nan", "0", "1e999"}) {
    WriteBytes(dir / "a.001", NogHeader(size, "2"));
    TNogMap2 map;
    EXPECT_FALSE(map.OpenRead(dir / "a.001"));
    EXPECT_EQ(map.Error().Code, TErrorCode::Header);
    EXPECT_NE(map.Error().Text.find("a.001 reading error (cell size is "), std::string::npos)
        << map.Error().Text;
  }
  WriteBytes(dir / "a.001", NogHeader("1", "2y"));
  TNogMap2 malformed;
  EXPECT_FALSE(malformed.OpenRead(dir / "a.001"));
  EXPECT_EQ(malformed.Error().Code, TErrorCode::Header);
  EXPECT_NE(malformed.Error().Text.find("a.001 reading error ('2y' is not a valid"),
            std::string::npos)
      << malformed.Error().Text;
}

TEST(NogMap, RewritingAHeaderKeepsTheBytesOutsideItsFields) {
  TempDir dir;
  const std::vector<uint8_t> original = NogHeader("25.000000000", "2");
  WriteBytes(dir / "a.001", original);
  TNogHeader header;
  ASSERT_TRUE(header.ReadHeader(dir / "a.001"));
  ASSERT_TRUE(header.WriteHeader(dir / "b.001", FilesInPlace()));
  // Each new text and its NUL replace the start of the old one, whose tail
  // stays behind the NUL.
  std::vector<uint8_t> expected = original;
  std::memcpy(&expected[187], "25.000", 7);
  std::memcpy(&expected[289], "6000100.500", 12);
  std::memcpy(&expected[340], "500000.250", 11);
  EXPECT_EQ(ReadBytes(dir / "b.001"), expected);
}
