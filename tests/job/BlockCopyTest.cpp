#include "job/BlockCopy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <thread>
#include <vector>

#include "TestRasters.h"
#include "dataset/MappedGrid.h"
#include "job/ConvertThread.h"
#include "dataset/MemoryBudget.h"
#include "raster/CellType.h"
#include "text/TextUtils.h"

using namespace mirava;
using namespace mirava::test;

// Every pair of cell types converts as the cell-by-cell path does, through
// a double, and equal types of eight bytes swap and reverse as whole cells.
TEST(BlockCopy, ConversionsMatchTheCellPath) {
  const double values[] = {0,   1,    -1,    2.5,   3.5,          -2.5,    127,     128,
                           255, 256,  -129,  32767, 32768,        65535,   65536,   -32769,
                           1e6, -1e6, 0.499, 1e12,  4294967295.0, 1.0 / 3, 16777217};
  std::vector<uint8_t> types;
  for (uint8_t t = 0; t < kCellTypeCount; ++t)
    if (CellTypeConvertible(t)) types.push_back(t);
  for (uint8_t from : types)
    for (uint8_t to : types)
      for (bool msbIn : {false, true})
        for (bool msbOut : {false, true})
          for (double v : values) {
            uint8_t src[8] = {}, viaBlock[8] = {}, viaCell[8] = {};
            EncodeCellExact(src, from, msbIn, v);
            CopyCellRun(viaBlock, 8, to, msbOut, src, 8, from, msbIn, 1);
            EncodeCellExact(viaCell, to, msbOut, DecodeCellExact(src, from, msbIn));
            EXPECT_EQ(std::memcmp(viaBlock, viaCell, 8), 0)
                << int(from) << "->" << int(to) << " value " << v;
          }
  const double run[3] = {1.0 / 3, -2.0 / 3, 1e300};
  double reversed[3] = {};
  CopyCellRun(reinterpret_cast<uint8_t*>(reversed), 8, ctFloat64, false,
              reinterpret_cast<const uint8_t*>(run + 2), -8, ctFloat64, false, 3);
  EXPECT_EQ(reversed[0], run[2]);
  EXPECT_EQ(reversed[2], run[0]);
}

TEST(BlockCopy, StridesAndReversal) {
  const uint16_t src[5] = {1, 2, 3, 4, 5};
  uint16_t dst[5] = {};
  CopyCellRun(reinterpret_cast<uint8_t*>(dst), 2, ctUnsigned16, false,
              reinterpret_cast<const uint8_t*>(src + 4), -2, ctUnsigned16, false, 5);
  EXPECT_EQ(dst[0], 5);
  EXPECT_EQ(dst[4], 1);
  CopyCellRun(reinterpret_cast<uint8_t*>(dst), 2, ctUnsigned16, true,
              reinterpret_cast<const uint8_t*>(src), 2, ctUnsigned16, false, 5);
  EXPECT_EQ(dst[1], 0x0200);

  // Pixels of three bytes reversed, for every length a row may end with.
  std::vector<uint8_t> pixels(3 * 40), reversed(3 * 40 + 1);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i);
  for (uint32_t count = 1; count <= 40; ++count) {
    reversed.assign(reversed.size(), 0xEE);
    CopyPixelRun(reversed.data(), 3, pixels.data() + 3 * (count - 1), -3, 3, count);
    for (uint32_t i = 0; i < count; ++i)
      for (uint32_t c = 0; c < 3; ++c)
        ASSERT_EQ(reversed[3 * i + c], pixels[3 * (count - 1 - i) + c]) << count << " " << i;
    EXPECT_EQ(reversed[3 * count], 0xEE) << "written past the run of " << count;
  }
}

// Every cell width, both column directions, and blocks with and without
// edges the squares leave (and narrower than one square or one tile, or
// ending with a whole tile of squares), against the cell-by-cell
// definition. Nothing is written past a row: the next bytes may be another
// thread's.
TEST(BlockCopy, TransposeCellsOfEveryWidth) {
  for (uint32_t width : {1u, 2u, 3u, 4u, 6u, 8u, 12u, 16u})
    for (int direction : {1, -1})
      for (auto [rows, columns] : {std::pair{1u, 1u},
                                   {3u, 5u},
                                   {16u, 16u},
                                   {17u, 33u},
                                   {64u, 64u},
                                   {100u, 131u},
                                   {48u, 32u},
                                   {688u, 17u},
                                   {2100u, 70u}}) {
        SCOPED_TRACE(std::to_string(width) + " bytes, " + std::to_string(rows) + " x " +
                     std::to_string(columns) + (direction < 0 ? " backwards" : ""));
        // Input: `columns` rows of `rows` cells, each row 5 bytes longer than its cells.
        const int64_t srcRowStride = int64_t{rows} * width + 5;
        std::vector<uint8_t> src(columns * srcRowStride);
        for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>(i * 131 + i / 251);
        const int64_t dstRowStride = int64_t{columns} * width + 3;
        std::vector<uint8_t> dst(rows * dstRowStride, 0xEE);
        const uint8_t* first = src.data() + (direction < 0 ? int64_t{rows - 1} * width : 0);
        TransposeCells(dst.data(), dstRowStride, first, srcRowStride, direction * int64_t{width},
                       width, rows, columns);
        for (uint32_t k = 0; k < rows; ++k) {
          for (uint32_t j = 0; j < columns; ++j)
            ASSERT_EQ(std::memcmp(dst.data() + k * dstRowStride + j * width,
                                  first + j * srcRowStride + direction * int64_t{k} * width, width),
                      0)
                << "row " << k << " column " << j;
          for (int64_t b = int64_t{columns} * width; b < dstRowStride; ++b)
            ASSERT_EQ(dst[k * dstRowStride + b], 0xEE) << "written past row " << k;
        }
      }
}

namespace {

class TQuietHost : public TJobHost {
 public:
  void Synchronize(const std::function<void()>& p) override { p(); }
  void DisplayProgress(int, const std::string&, const std::string&) override {}
  void ShowError(const std::string&) override {}
  void JobFinished(TMyThread&) override { Done.set_value(); }
  std::promise<void> Done;
};

std::string Convert(const std::string& in, const std::string& out, int kind, bool blocks,
                    const std::vector<std::string>& creationOptions = {}, uint32_t stripeRows = 0,
                    uint64_t memory = 0, const std::vector<uint32_t>& bands = {}) {
  TQuietHost host;
  std::string message;
  {
    TMyThread job(host, in, out, kind,
                  {.MemoryLimit = memory,
                   .BlockCopy = blocks,
                   .StripeRows = stripeRows,
                   .CreationOptions = creationOptions,
                   .Bands = bands});
    host.Done.get_future().wait();
    message = job.Message();
  }
  return message;
}

// Converts `in` into `ext` files (named `prefix` + "cells" and + "blocks")
// by the cell path and by blocks, the job counting on `memory` bytes (0:
// what the machine offers) and turning in stripes of `stripeRows` rows
// (0: as the memory decides), and expects the same bytes.
// `blocksReference`: the reference takes the blocks in memory, where the
// cell path would lose bits.
void ExpectBlocksLikeCells(const TempDir& dir, const std::string& in, const std::string& ext,
                           int kind, uint64_t memory, bool blocksReference = false,
                           const std::string& prefix = "", uint32_t stripeRows = 0) {
  SCOPED_TRACE(in + " kind " + std::to_string(kind) + " into " + ext);
  const std::string cells = dir / (prefix + "cells"), blocks = dir / (prefix + "blocks");
  ASSERT_EQ(Convert(in, cells + ext, kind, blocksReference), "Successful Finish");
  const std::string message = Convert(in, blocks + ext, kind, true, {}, stripeRows, memory);
  ASSERT_EQ(message, "Successful Finish");
  const std::string data = ext == ".ers" ? "" : ext;
  EXPECT_EQ(ReadBytes(cells + data), ReadBytes(blocks + data));
}

}  // namespace

// The block copy writes exactly the bytes of the cell-by-cell path, for
// every cell type, byte order and kind, on rasters with odd sizes, into
// every format whose cells are the plain grid (NOG converts them to 16 bits).
TEST(BlockCopy, SameBytesAsTheCellByCellPath) {
  TempDir dir;
  struct Output {
    const char* Name;
    const char* Data;
  } outputs[] = {{"ers", ""}, {"osd", ""}, {"001", ".002"}};
  for (TestRaster raster : AllCellTypes())
    for (bool msb : {false, true}) {
      raster.Columns = 131;
      raster.Rows = 77;
      raster.Bands = 3;
      raster.MsbFirst = msb;
      if (raster.CellType == "Signed8BitInteger" || raster.CellType == "Unsigned8BitInteger")
        raster.Bands = 1;  // as NOG takes them
      WriteErs(dir / "in.ers", raster);
      for (const Output& o : outputs)
        for (int kind = 0; kind <= 5; ++kind) {
          SCOPED_TRACE(raster.CellType + " into " + o.Name + " kind " + std::to_string(kind));
          const std::string cells = dir / (std::string("cells.") + o.Name);
          const std::string blocks = dir / (std::string("blocks.") + o.Name);
          const std::string message = Convert(dir / "in.ers", cells, kind, false);
          ASSERT_EQ(Convert(dir / "in.ers", blocks, kind, true), message);
          if (message != "Successful Finish") continue;
          EXPECT_EQ(ReadBytes(dir / (std::string("cells") + o.Data)),
                    ReadBytes(dir / (std::string("blocks") + o.Data)));
        }
    }
}

// Quarter turns of inputs larger than the memory the job may count on, or
// than one mapped window, go through stripes: the same bytes as the
// cell-by-cell path for every cell type, byte order and band layout, out of
// core (through a scratch file, in blocks of output rows that do not divide
// the image) and in memory, with stripes of whole pages of every output
// row, stripes that divide neither the image nor a page and stripes of one
// row, outputs narrower than one tile, and tiles wide enough for two
// threads. (32-bit integers this
// large lose bits on the cell path; there the turn in memory is the
// reference.)
TEST(BlockCopy, StripedTurnsSameBytesAsTheCellByCellPath) {
  TempDir dir;
  struct Case {
    uint32_t Columns, Rows;
    uint32_t StripeBytes;  // bytes of each output row's part; 0: StripeRows rows
    uint32_t StripeRows;
    uint64_t Memory;
  } cases[] = {{45, 8200, 4096, 0, 1},  // a page a part: stripes of 4096, 2048, 1024 or 512 rows
               {1100, 300, 0, 100, 0},
               {1100, 300, 0, 100, 1},
               {61, 23, 0, 1, 1}};
  for (const Case& c : cases)
    for (TestRaster raster : AllCellTypes())
      for (bool msb : {false, true})
        for (uint32_t bands : {1u, 3u}) {
          raster.Columns = c.Columns;
          raster.Rows = c.Rows;
          raster.Bands = bands;
          raster.MsbFirst = msb;
          WriteErs(dir / "in.ers", raster);
          const bool exact = raster.CellType == "Signed32BitInteger";
          const uint32_t stripeRows = c.StripeBytes ? c.StripeBytes / raster.Width : c.StripeRows;
          for (std::string ext : {".ers", ".tif"}) {
            if (ext == ".tif" && raster.Width > 2) continue;
            SCOPED_TRACE(raster.CellType + " " + std::to_string(c.Columns) + " columns, " +
                         std::to_string(bands) + " bands" + (msb ? " MSB first" : "") +
                         (c.Memory ? " out of core" : " in memory"));
            for (int kind : {KindOf(TPlacement::Rotate90CCW), KindOf(TPlacement::Rotate90CW)})
              ExpectBlocksLikeCells(dir, dir / "in.ers", ext, kind, c.Memory, exact, "",
                                    stripeRows);
          }
        }
}

// Quarter turns of inputs that stay in memory share each block between two
// threads, in parts: the same bytes as the cell-by-cell path for every cell
// type, byte order and band layout (band-interleaved ER Mapper,
// pixel-interleaved TIFF of 1, 3 and 4 bands), where neither the blocks nor
// the parts divide the image; and where the output rows lie a multiple of
// 1 KiB apart (1024 input rows), so that they are turned into rows spread
// further apart and copied, in one block and (8-bit rows of 1 KiB) in blocks
// that do not divide the image.
TEST(BlockCopy, TurnsInTwoThreadsSameBytesAsTheCellByCellPath) {
  TempDir dir;
  for (uint32_t rows : {301u, 1024u})
    for (TestRaster raster : AllCellTypes())
      for (bool msb : {false, true})
        for (uint32_t bands : {1u, 3u, 4u}) {
          const bool bytes = raster.Width == 1 && bands == 1 && !msb;
          raster.Columns = rows == 301 ? 261 : bytes ? 1100 : 300;
          raster.Rows = rows;
          raster.Bands = bands;
          raster.MsbFirst = msb;
          WriteErs(dir / "in.ers", raster);
          for (std::string ext : {".ers", ".tif"}) {
            if (ext == ".tif" && raster.Width > 2) continue;
            SCOPED_TRACE(raster.CellType + " " + std::to_string(rows) + " rows, " +
                         std::to_string(bands) + " bands" + (msb ? " MSB first" : ""));
            for (int kind : {KindOf(TPlacement::Rotate90CCW), KindOf(TPlacement::Rotate90CW)}) {
              ExpectBlocksLikeCells(dir, dir / "in.ers", ext, kind, 0);
              // And from the pixel-interleaved TIFF, turned back.
              if (ext == ".tif")
                ExpectBlocksLikeCells(dir, dir / "blocks.tif", ".tif", kind, 0, false, "back-");
            }
          }
        }
}

// Flips and kind 0 of inputs larger than the memory the job may count on
// read them top down whichever way their rows go, dropping what they are
// done with: the same bytes as the cell-by-cell path, with blocks that do
// not divide the image.
TEST(BlockCopy, FlipsOfInputsLargerThanMemorySameBytesAsTheCellByCellPath) {
  TempDir dir;
  for (TestRaster raster : AllCellTypes()) {
    raster.Columns = 131;
    raster.Rows = 301;
    raster.Bands = 3;
    WriteErs(dir / "in.ers", raster);
    for (std::string ext : {".ers", ".tif"}) {
      if (ext == ".tif" && raster.Width > 2) continue;
      SCOPED_TRACE(raster.CellType);
      for (int kind : {KindOf(TPlacement::None), KindOf(TPlacement::MirrorHorizontal),
                       KindOf(TPlacement::MirrorVertical), KindOf(TPlacement::Rotate180)})
        ExpectBlocksLikeCells(dir, dir / "in.ers", ext, kind, 1);
    }
  }
}

// Chosen bands (-b) that step evenly through the input go through the block
// paths: the same bytes as the cell-by-cell path for each kind, from
// band-interleaved and pixel-interleaved inputs, in memory and out of core;
// bands out of step keep to the cell path.
TEST(BlockCopy, ChosenBandsSameBytesAsTheCellByCellPath) {
  TempDir dir;
  TestRaster raster = AllCellTypes()[2];
  raster.Columns = 131;
  raster.Rows = 77;
  raster.Bands = 5;
  WriteErs(dir / "in.ers", raster);
  ASSERT_EQ(Convert(dir / "in.ers", dir / "in.tif", 0, true), "Successful Finish");
  const std::vector<std::vector<uint32_t>> choices = {{2, 1, 0}, {4}, {0, 2, 4}, {1, 2, 3}, {0, 2, 1}};
  for (const std::string& in : {dir / "in.ers", dir / "in.tif"})
    for (const std::vector<uint32_t>& bands : choices)
      for (uint64_t memory : {uint64_t{0}, uint64_t{1}})
        for (int kind = 0; kind <= 5; ++kind) {
          SCOPED_TRACE(in + " band " + std::to_string(bands[0] + 1) + " of " +
                       std::to_string(bands.size()) + " kind " + std::to_string(kind) +
                       (memory ? " out of core" : ""));
          ASSERT_EQ(Convert(in, dir / "cells.ers", kind, false, {}, 0, 0, bands),
                    "Successful Finish");
          ASSERT_EQ(Convert(in, dir / "blocks.ers", kind, true, {}, 0, memory, bands),
                    "Successful Finish");
          EXPECT_EQ(ReadBytes(dir / "cells"), ReadBytes(dir / "blocks"));
        }
}

// Where the cell path loses low bits of 32-bit integers, the blocks keep them.
TEST(BlockCopy, ThirtyTwoBitIntegersStayExact) {
  TempDir dir;
  TestRaster raster = AllCellTypes()[4];
  ASSERT_EQ(raster.CellType, "Signed32BitInteger");
  raster.Columns = 1;
  raster.Rows = 1;
  raster.Bands = 1;
  WriteErs(dir / "in.ers", raster);
  std::vector<uint8_t> exact = {0x01, 0x00, 0x00, 0x7F};  // 2130706433
  WriteBytes(dir / "in", exact);
  ASSERT_EQ(Convert(dir / "in.ers", dir / "out.ers", KindOf(TPlacement::Rotate90CW), true),
            "Successful Finish");
  EXPECT_EQ(ReadBytes(dir / "out"), exact);
}

namespace {

// An 8-bit ER Mapper raster over a sparse data file: large, yet quick to make.
void WriteSparseErs(const TempDir& dir, const std::string& name, uint32_t columns, uint32_t rows,
                    uint32_t bands) {
  WriteErs(dir / "small.ers", TestRaster{});
  std::string header = ReadText(dir / "small.ers");
  auto set = [&](const std::string& key, const std::string& from, uint32_t to) {
    header.replace(header.find(key + " = " + from), key.size() + 3 + from.size(),
                   key + " = " + std::to_string(to));
  };
  set("NrOfLines", "3", rows);
  set("NrOfCellsPerLine", "5", columns);
  set("NrOfBands", "2", bands);
  WriteText(dir / (name + ".ers"), header);
  ASSERT_EQ(test::Run("truncate -s " + std::to_string(uint64_t(columns) * rows * bands) + " " +
                      Quote(dir / name))
                .ExitCode,
            0);
}

}  // namespace

// Rasters larger than one 256 MiB window of a file being written, walked
// forwards and backwards.
TEST(BlockCopy, RastersLargerThanOneWindow) {
  TempDir dir;
  const uint32_t W = 20000, H = 16000;  // 320 MB, sparse
  ASSERT_NO_FATAL_FAILURE(WriteSparseErs(dir, "big", W, H, 1));
  // Marks at the four corners and in the middle of the file.
  struct Mark {
    uint32_t c, r;
    uint8_t v;
  } marks[] = {{0, 0, 11}, {W - 1, 0, 22}, {0, H - 1, 33}, {W - 1, H - 1, 44}, {12345, 9000, 55}};
  {
    FILE* f = fopen((dir / "big").c_str(), "r+b");
    for (const Mark& m : marks) {
      fseek(f, static_cast<long>(uint64_t(m.r) * W + m.c), SEEK_SET);
      fputc(m.v, f);
    }
    fclose(f);
  }
  for (int kind : {KindOf(TPlacement::MirrorVertical), KindOf(TPlacement::Rotate90CW),
                   KindOf(TPlacement::Rotate90CCW)}) {
    SCOPED_TRACE(kind);
    ASSERT_EQ(Convert(dir / "big.ers", dir / "out.ers", kind, true), "Successful Finish");
    const bool swap =
        kind == KindOf(TPlacement::Rotate90CW) || kind == KindOf(TPlacement::Rotate90CCW);
    const uint64_t outW = swap ? H : W;
    FILE* f = fopen((dir / "out").c_str(), "rb");
    for (const Mark& m : marks) {
      uint64_t i, j;  // where input (c, r) lands
      if (kind == KindOf(TPlacement::MirrorVertical)) {
        i = H - 1 - m.r;
        j = m.c;
      } else if (kind == KindOf(TPlacement::Rotate90CW)) {
        i = m.c;
        j = H - 1 - m.r;
      } else {
        i = W - 1 - m.c;
        j = m.r;
      }
      fseek(f, static_cast<long>(i * outW + j), SEEK_SET);
      EXPECT_EQ(fgetc(f), m.v) << m.c << "," << m.r;
    }
    fclose(f);
  }
}

// Rows too wide for 64 of them to be assembled in memory come in shorter
// blocks; marks on both sides of the block edges land where they belong.
TEST(BlockCopy, WideRowsInShorterBlocks) {
  TempDir dir;
  const uint32_t W = 90000, H = 130, B = 3;  // 270,000 bytes a row: 62 rows a block
  ASSERT_NO_FATAL_FAILURE(WriteSparseErs(dir, "wide", W, H, B));
  struct Mark {
    uint32_t c, r, b;
    uint8_t v;
  } marks[] = {{0, 0, 0, 11},   {W - 1, 61, 1, 22},  {1, 62, 2, 33},   {W - 2, 63, 0, 44},
               {7, 123, 1, 55}, {W - 1, 124, 2, 66}, {3, H - 1, 0, 77}};
  {
    FILE* f = fopen((dir / "wide").c_str(), "r+b");
    for (const Mark& m : marks) {
      fseek(f, static_cast<long>((uint64_t(m.r) * B + m.b) * W + m.c), SEEK_SET);
      fputc(m.v, f);
    }
    fclose(f);
  }
  for (int kind : {KindOf(TPlacement::None), KindOf(TPlacement::MirrorHorizontal),
                   KindOf(TPlacement::MirrorVertical), KindOf(TPlacement::Rotate180)}) {
    SCOPED_TRACE(kind);
    ASSERT_EQ(Convert(dir / "wide.ers", dir / "out.ers", kind, true), "Successful Finish");
    const bool flipH =
        kind == KindOf(TPlacement::MirrorHorizontal) || kind == KindOf(TPlacement::Rotate180);
    const bool flipV =
        kind == KindOf(TPlacement::MirrorVertical) || kind == KindOf(TPlacement::Rotate180);
    const std::vector<uint8_t> out = ReadBytes(dir / "out");
    ASSERT_EQ(out.size(), uint64_t(W) * H * B);
    size_t nonZero = 0;
    for (uint8_t v : out) nonZero += v != 0;
    EXPECT_EQ(nonZero, std::size(marks));
    for (const Mark& m : marks) {
      const uint64_t c = flipH ? W - 1 - m.c : m.c, r = flipV ? H - 1 - m.r : m.r;
      EXPECT_EQ(out[(r * B + m.b) * W + c], m.v) << m.c << "," << m.r;
    }
  }
}

// TIFF and BMP rows (interleaved samples, bottom-up BGR rows) and the
// decoded images of ECW and JPEG as blocks, both ways, against the
// cell-by-cell path.
TEST(BlockCopy, ImageFormatsSameBytesAsTheCellByCellPath) {
  TempDir dir;
  for (TestRaster raster : {AllCellTypes()[0], AllCellTypes()[3]}) {
    raster.Columns = 131;
    raster.Rows = 77;
    raster.Bands = raster.Width == 1 ? 3 : 1;
    WriteErs(dir / "in.ers", raster);
    for (const char* ext : {".tif", ".bmp", ".ecw", ".jpg"}) {
      if (raster.Width != 1 && std::string(ext) != ".tif") continue;
      for (int kind = 0; kind <= 5; ++kind) {
        SCOPED_TRACE(raster.CellType + ext + " kind " + std::to_string(kind));
        ASSERT_EQ(Convert(dir / "in.ers", dir / ("cells" + std::string(ext)), kind, false),
                  "Successful Finish");
        ASSERT_EQ(Convert(dir / "in.ers", dir / ("blocks" + std::string(ext)), kind, true),
                  "Successful Finish");
        EXPECT_EQ(ReadBytes(dir / ("cells" + std::string(ext))),
                  ReadBytes(dir / ("blocks" + std::string(ext))));
        // A created JPEG or ECW image takes a quarter turn from stripes too.
        if ((kind == 2 || kind == 3) && raster.Width == 1 && std::string(ext) != ".tif")
          ExpectBlocksLikeCells(dir, dir / "in.ers", ext, kind, 0, false, "striped-", 16);
        // And back out of them, into the plain grid and into TIFF (rows
        // written straight from the input where the layouts agree, padded
        // bottom-up BMP rows included).
        for (const char* back : {".ers", ".tif"}) {
          const std::string from = dir / ("blocks" + std::string(ext));
          ASSERT_EQ(Convert(from, dir / ("c" + std::string(back)), kind, false),
                    "Successful Finish");
          ASSERT_EQ(Convert(from, dir / ("b" + std::string(back)), kind, true),
                    "Successful Finish");
          const char* data = std::string(back) == ".ers" ? "" : back;
          EXPECT_EQ(ReadBytes(dir / ("c" + std::string(data))),
                    ReadBytes(dir / ("b" + std::string(data))));
        }
      }
    }
  }
}

namespace {

// Stops the job at the first hand-off past `StopAt` percent; each hand-off
// takes a while, so that every block of rows reports.
class TStoppingHost : public TQuietHost {
 public:
  // Hand-offs wait until the test holds the job.
  void Synchronize(const std::function<void()>& p) override {
    while (!Job) std::this_thread::yield();
    p();
  }
  void DisplayProgress(int percent, const std::string&, const std::string&) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(110));
    if (percent >= StopAt) Job.load()->Stop();
  }
  int StopAt = 0;
  std::atomic<TMyThread*> Job{nullptr};
};

}  // namespace

// A stop while a turn through a scratch file writes its output keeps the
// rows written so far, each whole and right, and says how many; a stop
// before that keeps none.
TEST(BlockCopy, StopDuringATurnThroughAScratchFile) {
  TempDir dir;
  TestRaster raster;
  raster.Columns = 300;
  raster.Rows = 500;
  raster.Bands = 1;
  WriteErs(dir / "in.ers", raster);
  ASSERT_EQ(Convert(dir / "in.ers", dir / "cells.ers", KindOf(TPlacement::Rotate90CW), false),
            "Successful Finish");
  const std::vector<uint8_t> reference = ReadBytes(dir / "cells");
  for (int stopAt : {60, 1}) {
    SCOPED_TRACE(stopAt);
    std::filesystem::remove(dir / "blocks");
    std::filesystem::remove(dir / "blocks.ers");
    TStoppingHost host;
    host.StopAt = stopAt;
    std::string message, state;
    {
      TMyThread job(host, dir / "in.ers", dir / "blocks.ers", KindOf(TPlacement::Rotate90CW),
                    {.MemoryLimit = 1, .StripeRows = 100});
      host.Job = &job;
      host.Done.get_future().wait();
      message = job.Message();
      state = job.OutputStateText();
    }
    EXPECT_EQ(message, "User Abort");
    const std::vector<uint8_t> written = ReadBytes(dir / "blocks");
    ASSERT_EQ(written.size(), reference.size());
    size_t rows = 0;
    while (rows < 300 &&
           std::equal(written.begin() + rows * 500, written.begin() + rows * 500 + 500,
                      reference.begin() + rows * 500))
      ++rows;
    if (stopAt == 1) {
      EXPECT_EQ(state,
                "Output " + (dir / "blocks.ers") + " was created but holds none of its 300 rows");
      continue;
    }
    EXPECT_GT(rows, 0u);
    EXPECT_LT(rows, 300u);
    EXPECT_EQ(state, "Output " + (dir / "blocks.ers") + " holds " + std::to_string(rows) +
                         " of 300 rows; the others are empty");
    EXPECT_TRUE(std::all_of(written.begin() + rows * 500, written.end(),
                            [](uint8_t cell) { return cell == 0; }));
  }
}

// Quarter turns of inputs larger than memory into outputs that are encoded
// a block of rows at a time (compressed or tiled TIFF) go through stripes
// and a scratch file too, instead of sweeping the input for every block:
// the cells of the turn in memory, for every cell type and byte order, with
// stripes that divide neither the image nor the tiles.
TEST(BlockCopy, StripedTurnsIntoEncodedTiffsKeepEveryCell) {
  TempDir dir;
  const std::vector<std::vector<std::string>> encodings = {
      {"COMPRESS=DEFLATE", "TILED=YES", "BLOCKXSIZE=32", "BLOCKYSIZE=16"},
      {"COMPRESS=LZW", "BLOCKYSIZE=7"}};
  for (TestRaster raster : AllCellTypes())
    for (bool msb : {false, true}) {
      raster.Columns = 130;
      raster.Rows = 211;
      raster.Bands = 3;
      raster.MsbFirst = msb;
      WriteErs(dir / "in.ers", raster);
      for (const auto& options : encodings)
        for (int kind : {KindOf(TPlacement::Rotate90CCW), KindOf(TPlacement::Rotate90CW)}) {
          SCOPED_TRACE(raster.CellType + (msb ? " MSB first, " : ", ") + options[0] + " kind " +
                       std::to_string(kind));
          ASSERT_EQ(Convert(dir / "in.ers", dir / "whole.tif", kind, true, options),
                    "Successful Finish");
          const std::string message =
              Convert(dir / "in.ers", dir / "striped.tif", kind, true, options, 50, 1);
          ASSERT_EQ(message, "Successful Finish");
          for (const char* name : {"whole", "striped"})
            ASSERT_EQ(
                Convert(dir / (std::string(name) + ".tif"),
                        dir / (std::string(name) + "-cells.ers"), KindOf(TPlacement::None), true),
                "Successful Finish");
          EXPECT_EQ(ReadBytes(dir / "whole-cells"), ReadBytes(dir / "striped-cells"));
        }
    }
}
