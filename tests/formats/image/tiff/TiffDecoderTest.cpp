// Inputs decoded into a scratch file while a reader takes their rows.
#include "formats/image/tiff/TiffDecoder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "../../../TestUtil.h"

namespace mirava {
namespace {

using namespace mirava::test;

// A reader that gives rows up as it goes: every row it reads is the row GDAL
// reads, the decoders stay within their distance ahead of it (or of the rows
// it waits for), and the pages it gave up leave the scratch file.
TEST(TiffDecoding, PacedBehindAReaderThatGivesRowsUp) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  TempDir dir;
  const std::string tif = dir / "in.tif", raw = dir / "in.raw";
  constexpr uint32_t kWidth = 300, kLength = 2000, kTile = 16, kStep = 37;
  ASSERT_EQ(test::Run("gdal_translate -q -r bilinear -outsize " + std::to_string(kWidth) + " " +
                      std::to_string(kLength) +
                      " -co COMPRESS=DEFLATE -co TILED=YES -co BLOCKXSIZE=16 -co BLOCKYSIZE=16 " +
                      Quote(Sample("logo.tif")) + " " + Quote(tif))
                .ExitCode,
            0);
  ASSERT_EQ(
      test::Run("gdal_translate -q -of ENVI -co INTERLEAVE=BIP " + Quote(tif) + " " + Quote(raw))
          .ExitCode,
      0);
  const uint64_t rowBytes = kWidth * 3;
  const std::vector<uint8_t> expected = ReadBytes(raw);
  ASSERT_EQ(expected.size(), kLength * rowBytes);

  TTiffDecoding decoding;
  // As little ahead as there can be: two rows of tiles.
  ASSERT_EQ(decoding.Start(tif, dir.str(), 0, 1).Text, "");
  const int fd = open(decoding.Decoded().ScratchName.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  unlink(decoding.Decoded().ScratchName.c_str());
  auto rowsMatch = [&](uint32_t first, uint32_t end) {
    std::vector<uint8_t> rows((end - first) * rowBytes);
    return pread(fd, rows.data(), rows.size(), static_cast<off_t>(first * rowBytes)) ==
               static_cast<ssize_t>(rows.size()) &&
           std::equal(rows.begin(), rows.end(), expected.begin() + first * rowBytes);
  };
  // What the file holds: the rows waited for and those ahead, a page on
  // either side.
  const uint64_t most = (kStep + 2 * kTile + kTile) * rowBytes + 2 * 4096;
  uint64_t held = 0;
  uint32_t first = 0;
  for (; first < kLength / 2; first += kStep) {
    decoding.Release(first);
    ASSERT_EQ(decoding.WaitFor(first + kStep).Text, "");
    ASSERT_TRUE(rowsMatch(first, first + kStep)) << "rows from " << first;
    struct stat info {};
    ASSERT_EQ(fstat(fd, &info), 0);
    held = std::max<uint64_t>(held, uint64_t(info.st_blocks) * 512);
  }
  EXPECT_LE(held, most);
  EXPECT_GT(held, 0u);
  // Far past the distance ahead: waited for, decoded.
  ASSERT_EQ(decoding.WaitFor(kLength).Text, "");
  EXPECT_TRUE(rowsMatch(first - kStep, kLength));
  close(fd);
}

// A file another process cuts short while its strips are decoded fails the
// strips past the cut with libtiff's reason; libtiff reads it through
// read(2), so no page of a mapping of its own can end the process.
TEST(TiffDecoding, AFileCutShortWhileDecodedFails) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  TempDir dir;
  const std::string tif = dir / "in.tif";
  ASSERT_EQ(test::Run("gdal_translate -q -r bilinear -outsize 300 2000 -co COMPRESS=DEFLATE "
                      "-co BLOCKYSIZE=8 " +
                      Quote(Sample("logo.tif")) + " " + Quote(tif))
                .ExitCode,
            0);
  TTiffDecoding decoding;
  ASSERT_EQ(decoding.Start(tif, dir.str(), 0, 1).Text, "");
  unlink(decoding.Decoded().ScratchName.c_str());
  ASSERT_EQ(decoding.WaitFor(16).Text, "");
  std::filesystem::resize_file(tif, std::filesystem::file_size(tif) / 2);
  decoding.Release(16);
  const TError error = decoding.WaitFor(2000);
  EXPECT_TRUE(error.Failed());
  EXPECT_NE(error.Text.find("Read error"), std::string::npos) << error.Text;
}

}  // namespace
}  // namespace mirava
