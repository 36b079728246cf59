#include "dataset/MappedGrid.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "TestUtil.h"
#include "raster/CellType.h"
#include "text/TextUtils.h"

using namespace mirava;
using mirava::test::TempDir;

namespace {

// Exposes the window state to the tests.
class TProbe : public TMappedGrid {
 public:
  uint64_t Offset() const { return WindowOffset; }
  uint32_t Window() const { return WindowSize; }
  uint32_t MaxWindow() const { return MaxWindowSize; }
};

}  // namespace

TEST(MappedGrid, EveryCellTypeRoundTripsInBothByteOrders) {
  TempDir dir;
  struct Case {
    uint8_t type;
    double values[3];
  } cases[] = {
      {ctUnsigned8, {0, 200, 255}},          {ctSigned8, {-128, -1, 127}},
      {ctSigned16, {-32768, -5, 32767}},     {ctUnsigned16, {0, 513, 65535}},
      {ctSigned32, {-2000000, 16777216, 7}}, {ctFloat32, {-1.5f, 3.25e10f, 0.000833333f}},
  };
  for (bool msb : {false, true})
    for (const Case& c : cases) {
      const std::string name = dir / ("grid" + std::to_string(c.type));
      {
        TMappedGrid grid;
        ASSERT_TRUE(grid.OpenRaster(name, 3, 2, c.type, 2, omCreate, msb, FilesInPlace()));
        for (uint32_t b = 0; b < 2; ++b)
          for (uint32_t col = 0; col < 3; ++col)
            EXPECT_TRUE(grid.WriteCell(col, 1, b, c.values[col]));
        ASSERT_TRUE(grid.CloseMapping());
      }
      EXPECT_EQ(std::filesystem::file_size(name), 3u * 2 * 2 * CellTypeWidth(c.type));
      TMappedGrid grid;
      ASSERT_TRUE(grid.OpenRaster(name, 3, 2, c.type, 2, omRead, msb, FilesInPlace()));
      for (uint32_t col = 0; col < 3; ++col) {
        double v = -99;
        ASSERT_TRUE(grid.ReadCell(col, 1, 1, v));
        EXPECT_EQ(v, c.values[col]) << int(c.type) << " msb " << msb;
        ASSERT_TRUE(grid.ReadCell(col, 0, 0, v));
        EXPECT_EQ(v, 0);
      }
    }
}

TEST(MappedGrid, ByteOrderAndLayout) {
  TempDir dir;
  // Two rows of two columns, two bands, 16-bit: band 0's row, then band 1's.
  mirava::test::WriteBytes(dir / "g", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
  TMappedGrid lsb;
  ASSERT_TRUE(lsb.OpenRaster(dir / "g", 2, 2, ctUnsigned16, 2, omRead, false, FilesInPlace()));
  double v;
  ASSERT_TRUE(lsb.ReadCell(0, 0, 0, v));
  EXPECT_EQ(v, 513);
  ASSERT_TRUE(lsb.ReadCell(1, 1, 1, v));
  EXPECT_EQ(v, 16 * 256 + 15);
  // A band beyond the last reads the last band.
  ASSERT_TRUE(lsb.ReadCell(1, 1, 7, v));
  EXPECT_EQ(v, 16 * 256 + 15);
  TMappedGrid msb;
  ASSERT_TRUE(msb.OpenRaster(dir / "g", 2, 2, ctUnsigned16, 2, omRead, true, FilesInPlace()));
  ASSERT_TRUE(msb.ReadCell(0, 0, 0, v));
  EXPECT_EQ(v, 258);
  EXPECT_FALSE(msb.ReadCell(2, 0, 0, v));
  EXPECT_FALSE(msb.ReadCell(0, 2, 0, v));
  EXPECT_FALSE(msb.WriteCell(0, 0, 0, 1));  // read-only
}

TEST(MappedGrid, WritesRoundTiesToEvenAndWrap) {
  TempDir dir;
  TMappedGrid grid;
  ASSERT_TRUE(grid.OpenRaster(dir / "w", 4, 1, ctUnsigned8, 1, omCreate, false, FilesInPlace()));
  grid.WriteCell(0, 0, 0, 255.5f);
  grid.WriteCell(1, 0, 0, 2.5f);
  grid.WriteCell(2, 0, 0, 3.5f);
  grid.WriteCell(3, 0, 0, -1);
  double v;
  const float expected[] = {0, 2, 4, 255};
  for (uint32_t c = 0; c < 4; ++c) {
    grid.ReadCell(c, 0, 0, v);
    EXPECT_EQ(v, expected[c]);
  }
  TMappedGrid wide;
  ASSERT_TRUE(wide.OpenRaster(dir / "w16", 1, 1, ctUnsigned16, 1, omCreate, false, FilesInPlace()));
  wide.WriteCell(0, 0, 0, -1);
  wide.ReadCell(0, 0, 0, v);
  EXPECT_EQ(v, 65535);
  wide.WriteCell(0, 0, 0, NAN);
  wide.ReadCell(0, 0, 0, v);
  EXPECT_EQ(v, 0);
}

TEST(MappedGrid, SmallFilesAreMappedWholeAndTinyRastersOpen) {
  TempDir dir;
  mirava::test::WriteBytes(dir / "k", std::vector<uint8_t>(1000, 7));
  TProbe probe;
  ASSERT_TRUE(probe.OpenRaster(dir / "k", 10, 100, ctUnsigned8, 1, omRead, false, FilesInPlace()));
  EXPECT_EQ(probe.Window(), 1000u);
  EXPECT_EQ(probe.MaxWindow(), 1000u);
  // A 1 x 1 byte raster (smaller than the usual 8-byte minimum) opens.
  TMappedGrid one;
  ASSERT_TRUE(one.OpenRaster(dir / "one", 1, 1, ctUnsigned8, 1, omCreate, false, FilesInPlace()));
  EXPECT_TRUE(one.WriteCell(0, 0, 0, 42));
  double v;
  EXPECT_TRUE(one.ReadCell(0, 0, 0, v));
  EXPECT_EQ(v, 42);
}

TEST(MappedGrid, WindowNeverRunsPastTheFile) {
  TempDir dir;
  mirava::test::WriteBytes(dir / "k", std::vector<uint8_t>(1000, 7));
  TProbe probe;
  ASSERT_TRUE(probe.OpenMapping(dir / "k", omRead, 0, FilesInPlace()));
  EXPECT_EQ(probe.Reach(1000, 1), nullptr);
  EXPECT_EQ(probe.Error().Text, "Position outside of file");
  EXPECT_EQ(probe.Error().Code, TErrorCode::Internal);
  EXPECT_EQ(probe.Reach(996, 8), nullptr);
  EXPECT_EQ(probe.Error().Text, "The rest of file is smaller than needed num of bytes");
  const uint8_t* data = probe.Reach(992, 8);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data[7], 7);
}

TEST(MappedGrid, RefusesWhatCannotBeMapped) {
  TempDir dir;
  mirava::test::WriteBytes(dir / "empty", {});
  TMappedGrid empty;
  EXPECT_FALSE(
      empty.OpenRaster(dir / "empty", 1, 1, ctUnsigned8, 1, omRead, false, FilesInPlace()));
  EXPECT_EQ(empty.Error().Code, TErrorCode::IO);
  EXPECT_NE(empty.Error().SystemError, 0);

  TMappedGrid missing;
  EXPECT_FALSE(
      missing.OpenRaster(dir / "none", 1, 1, ctUnsigned8, 1, omRead, false, FilesInPlace()));
  EXPECT_EQ(missing.Error().Code, TErrorCode::IO);
  EXPECT_EQ(missing.Error().SystemError, ENOENT);
  EXPECT_EQ(missing.Error().NumberedText("Open Map Read Error="),
            "Open Map Read Error=2 No such file or directory");

  // A data file shorter than the grid is refused rather than reinterpreted.
  mirava::test::WriteBytes(dir / "short", std::vector<uint8_t>(9999, 1));
  TMappedGrid shortGrid;
  EXPECT_FALSE(
      shortGrid.OpenRaster(dir / "short", 100, 100, ctUnsigned8, 1, omRead, false, FilesInPlace()));
  EXPECT_NE(shortGrid.Error().Text.find("9999"), std::string::npos);
  // A longer one is read.
  TMappedGrid longer;
  EXPECT_TRUE(
      longer.OpenRaster(dir / "short", 99, 100, ctUnsigned8, 1, omRead, false, FilesInPlace()));

  // Types without a conversion are refused, never read as zeros.
  for (uint8_t type : {ctOneBit, ctThreeBytes, ctSixteenBytes, ctUnknown}) {
    TMappedGrid grid;
    EXPECT_FALSE(grid.OpenRaster(dir / "short", 10, 10, type, 1, omRead, false, FilesInPlace()));
    EXPECT_NE(grid.Error().Text.find("not supported"), std::string::npos);
  }
  // Sizes that overflow 64 bits are refused before anything is created.
  TMappedGrid huge;
  EXPECT_FALSE(huge.OpenRaster(dir / "huge", 0xFFFFFFFF, 0xFFFFFFFF, ctSigned32, 0xFFFFFFFF,
                               omCreate, false, FilesInPlace()));
  EXPECT_FALSE(mirava::test::Exists(dir / "huge"));
  // 2^31 x 2^31 cells fit 64 bits but no disk: refused when the file is
  // sized, and the started file removed.
  TMappedGrid vast;
  EXPECT_FALSE(vast.OpenRaster(dir / "vast", 0x7FFFFFFF, 0x7FFFFFFF, ctUnsigned8, 1, omCreate,
                               false, FilesInPlace()));
  EXPECT_NE(vast.Error().Code, TErrorCode::None);
  EXPECT_FALSE(mirava::test::Exists(dir / "vast"));
}

// Rows are reached through 256 MiB windows; positions beyond 4 GiB work.
// The file is sparse, so this takes no disk space.
TEST(MappedGrid, WindowsCrossing256MiBAndPositionsBeyond4GiB) {
  TempDir dir;
  const std::string name = dir / "sparse";
  const uint32_t columns = 65536, rows = 70000;  // 4.27 GiB of bytes
  {
    int fd = ::open(name.c_str(), O_CREAT | O_RDWR, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(columns) * rows), 0);
    ::close(fd);
  }
  {
    TProbe grid;
    ASSERT_TRUE(
        grid.OpenRaster(name, columns, rows, ctUnsigned8, 1, omReadWrite, false, FilesInPlace()));
    EXPECT_EQ(grid.Window(), kMaxWindowSize);
    for (uint32_t row : {0u, 4095u, 4096u, 4097u, 65535u, 65536u, 69999u}) {
      ASSERT_TRUE(grid.WriteCell(columns - 1, row, 0, static_cast<float>(row % 251)));
      EXPECT_EQ(grid.Offset() % kWindowAlignment, 0u);
    }
    // Row 4096 starts exactly at 256 MiB: a new window starts there.
    double v;
    ASSERT_TRUE(grid.ReadCell(0, 4096, 0, v));
    EXPECT_EQ(grid.Offset(), 268435456u);
    ASSERT_TRUE(grid.ReadCell(0, 69999, 0, v));
    EXPECT_GT(grid.Offset(), 4294967296u);
    ASSERT_TRUE(grid.CloseMapping());
  }
  TProbe grid;
  ASSERT_TRUE(grid.OpenRaster(name, columns, rows, ctUnsigned8, 1, omRead, false, FilesInPlace()));
  for (uint32_t row : {0u, 4095u, 4096u, 4097u, 65535u, 65536u, 69999u}) {
    double v = -1;
    ASSERT_TRUE(grid.ReadCell(columns - 1, row, 0, v));
    EXPECT_EQ(v, static_cast<float>(row % 251)) << row;
  }
  // Blocks of rows walked backwards, then forwards, across the end of the
  // first window (read windows are larger, and end before row 65535), as
  // the quarter turns sweep their input.
  for (bool backwards : {true, false})
    for (uint32_t k = 0; k < 16; ++k) {
      const uint32_t first = backwards ? 65592 - 8 * k : 65480 + 8 * k;
      TCellBlock block;
      ASSERT_TRUE(grid.Block(first, 8, block)) << first;
      for (uint32_t row : {65535u, 65536u}) {
        if (row >= first && row < first + 8) {
          EXPECT_EQ(block.Data[(row - first) * block.RowStride + columns - 1], row % 251)
              << first << " " << row;
        }
      }
    }
  // The byte written at row 65536 sits past 4 GiB in the file itself.
  int fd = ::open(name.c_str(), O_RDONLY);
  uint8_t byte = 0;
  ASSERT_EQ(pread(fd, &byte, 1, static_cast<off_t>(columns) * 65537 - 1), 1);
  ::close(fd);
  EXPECT_EQ(byte, 65536 % 251);
}

// A created file filled in turns through staged ranges (written in the
// background), rows handed over from elsewhere in memory, and a cell
// written through the mapping: every byte lands where it belongs.
TEST(MappedGrid, StagedRangesAndHandedRowsLandInPlace) {
  TempDir dir;
  const uint32_t W = 1000, H = 300;
  TMappedGrid grid;
  ASSERT_TRUE(grid.OpenRaster(dir / "g", W, H, ctUnsigned8, 1, omCreate, false, FilesInPlace()));
  std::vector<uint8_t> source(W * 10);
  for (uint32_t r = 0; r < 10; ++r) std::memset(&source[r * W], 200 + r, W);
  for (uint32_t first = 0; first < H; first += 10) {
    if (first % 30 == 20) {
      const uint8_t* rows[10];
      for (uint32_t k = 0; k < 10; ++k) rows[k] = &source[(9 - k) * W];
      ASSERT_TRUE(grid.PutRows(first, 10, rows));
      continue;
    }
    TCellBlock block;
    ASSERT_TRUE(grid.Block(first, 10, block));
    for (uint32_t k = 0; k < 10; ++k)
      std::memset(block.Data + k * block.RowStride, (first + k) % 200, W);
  }
  ASSERT_TRUE(grid.WriteCell(5, 0, 0, 77));
  const uint8_t* none[1] = {source.data()};
  EXPECT_FALSE(grid.PutRows(H, 1, none));
  ASSERT_TRUE(grid.CloseMapping());

  const std::vector<uint8_t> bytes = mirava::test::ReadBytes(dir / "g");
  ASSERT_EQ(bytes.size(), uint64_t{W} * H);
  for (uint32_t r = 0; r < H; ++r) {
    const uint8_t expected = r % 30 >= 20 ? 200 + (9 - r % 10) : r % 200;
    ASSERT_EQ(bytes[r * W + 999], expected) << r;
    ASSERT_EQ(bytes[r * W + 5], r == 0 ? 77 : expected) << r;
  }
}

// Rows handed over go to the file in calls of at most kMaxWriteBytes, which
// may end inside a row: rows longer than one call, and more rows than one
// call takes, land whole and in place.
TEST(MappedGrid, HandedRowsSplitAcrossWriteCallsLandWhole) {
  TempDir dir;
  for (auto [W, H] : {std::pair{uint32_t(kMaxWriteBytes * 3 / 2 + 3), 3u}, {40001u, 64u}}) {
    SCOPED_TRACE(std::to_string(W) + " x " + std::to_string(H));
    TMappedGrid grid;
    ASSERT_TRUE(grid.OpenRaster(dir / "g", W, H, ctUnsigned8, 1, omCreate, false, FilesInPlace()));
    std::vector<std::vector<uint8_t>> source(H, std::vector<uint8_t>(W));
    std::vector<const uint8_t*> rows;
    for (uint32_t r = 0; r < H; ++r) {
      for (uint32_t i = 0; i < W; ++i) source[r][i] = static_cast<uint8_t>((i * 7 + r) % 251);
      rows.push_back(source[r].data());
    }
    ASSERT_TRUE(grid.PutRows(0, H, rows.data()));
    ASSERT_TRUE(grid.CloseMapping());
    const std::vector<uint8_t> bytes = mirava::test::ReadBytes(dir / "g");
    ASSERT_EQ(bytes.size(), uint64_t{W} * H);
    for (uint32_t r = 0; r < H; ++r)
      ASSERT_TRUE(std::equal(source[r].begin(), source[r].end(), bytes.begin() + uint64_t{r} * W))
          << "row " << r;
  }
}

// Another process may cut a mapped file short: what it lost reads as zeros
// instead of ending the process with SIGBUS, and the owner is told.
TEST(MappedGrid, AFileCutShortUnderItsMappingIsReportedNotFatal) {
  TempDir dir;
  const std::string name = dir / "cut";
  {
    std::vector<uint8_t> bytes(1 << 20, 7);
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
  }
  TakeMappedFileCut();
  TMappedFile file;
  ASSERT_TRUE(file.OpenMapping(name, omRead, 0, FilesInPlace()));
  const uint8_t* data = file.MapRange(0, 1 << 20);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data[(1 << 20) - 1], 7);
  EXPECT_FALSE(file.FileShrunk());
  ASSERT_EQ(truncate(name.c_str(), 4096), 0);
  EXPECT_TRUE(file.FileShrunk());
  EXPECT_EQ(data[100], 7);
  EXPECT_FALSE(file.FileCut());
  EXPECT_EQ(data[(1 << 20) - 1], 0);  // past the new end: SIGBUS, handled
  EXPECT_EQ(data[8192], 0);
  EXPECT_TRUE(file.FileCut());
  EXPECT_TRUE(TakeMappedFileCut());
  EXPECT_FALSE(TakeMappedFileCut());
  EXPECT_TRUE(file.CloseMapping());
}
